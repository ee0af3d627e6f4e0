#pragma once
#include <optional>
#include <string>
namespace networking::event_base {
// Process-wide settings; the host program fills them before constructing services.
struct Settings {
  std::optional<std::string> RUN_ID;
};
Settings &settings();
} // namespace networking::event_base
