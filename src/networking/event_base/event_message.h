#pragma once
#include "json/document.h"
#include "json/value.h"
#include <memory>
#include <optional>
#include <string>
namespace networking::event_base {
struct EventMessage {
  std::string message_id;
  double timestamp = 0.0;
  // The decoded data field. When `document` is set it holds that same data instead, still
  // as parsed text, and `data` stays null: readers that need the tree take document->to_value().
  json::Value data;
  std::shared_ptr<const json::Document> document;
  std::optional<std::string> correlation_id;
  std::optional<std::string> unique_id;
};
} // namespace networking::event_base
