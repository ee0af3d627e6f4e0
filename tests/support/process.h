#pragma once

// Child processes of the tests: servers that run until killed, and commands run to their end.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace support {

// The path of an executable named name in a PATH directory; empty when there is none.
std::string find_on_path(const std::string &name);

// Starts argv[0] (a path) with argv, standard input from /dev/null and, when output_file is
// not empty, standard output and error appended to it (else inherited). The child is SIGKILLed
// when the thread that started it exits, so a crashed test leaves none behind. Throws
// std::runtime_error when it cannot be forked; a failed exec shows as exit status 127.
pid_t spawn(const std::vector<std::string> &argv, const std::string &output_file = "");

// SIGKILL, then waits for it to exit. No-op for pid <= 0.
void kill_and_reap(pid_t pid);

struct RunResult {
  int exit_status = -1; // -1 when killed by a signal or at the deadline
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv (argv[0] a path) in cwd (here when empty) to its end, with standard input from
// /dev/null, collecting its standard output and error; SIGKILLs it at the deadline. Throws
// std::runtime_error when it cannot be started.
RunResult run(const std::vector<std::string> &argv, std::chrono::seconds deadline,
              const std::string &cwd = "");

} // namespace support
