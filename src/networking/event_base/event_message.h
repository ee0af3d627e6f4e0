#pragma once
#include <optional>
#include <string>
#include "json/value.h"
namespace networking::event_base {
struct EventMessage {
  std::string message_id;
  double timestamp = 0.0;
  json::Value data;
  std::optional<std::string> correlation_id;
  std::optional<std::string> unique_id;
};
}  // namespace networking::event_base
