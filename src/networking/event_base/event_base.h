#pragma once

#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "json/value.h"
#include "redis/connection.h"

namespace networking::event_base {

// The service base: owns the Redis connection, the consumer name and the running flag, and
// publishes replies. Lives on the event loop; none of it is thread-safe.
class EventBase {
 public:
  EventBase(std::string redis_url, std::string input_topic, std::string output_topic,
            std::string consumer_group);
  virtual ~EventBase();

  // Connects to redis_url. Throws std::invalid_argument for a bad URL and
  // redis::ConnectionError when the server cannot be reached.
  asio::awaitable<void> connect();
  // XADD output_topic * data <json text> [correlation_id <id>] [unique_id <id>].
  asio::awaitable<void> publish_message(const json::Value& data,
                                        std::optional<std::string> correlation_id,
                                        std::optional<std::string> unique_id);
  // Closes the connection; redis_client becomes null.
  virtual asio::awaitable<void> disconnect();
  bool _start_cleanup_thread();

  std::string redis_url;
  std::string input_topic;
  std::string output_topic;
  std::string consumer_group;
  std::shared_ptr<redis::Connection> redis_client;
  std::string consumer_name;  // unique per instance: host, pid and a random suffix
  bool _is_running = false;
};

}  // namespace networking::event_base
