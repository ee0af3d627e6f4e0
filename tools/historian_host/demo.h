#pragma once

#include <optional>
#include <string>

namespace host {

struct DemoFlags {
  std::optional<std::string> redis_url; // none: start a throwaway redis-server
  std::string output_path = "./historian_output";
  int episodes_per_cycle = 4;
  int cycles = 3;
};

// Runs a synthetic training job through a real historian and prints the files it wrote.
// Returns the process exit status.
int run_demo(const DemoFlags &flags);

} // namespace host
