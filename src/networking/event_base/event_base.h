#pragma once

#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "redis/connection.h"
#include "redis/endpoint.h"
#include "json/value.h"

namespace networking::event_base {

// The service base: owns the Redis connection, the consumer name and the running flag, and
// publishes replies. Lives on the event loop; none of it is thread-safe.
class EventBase {
public:
  EventBase(std::string redis_url, std::string input_topic, std::string output_topic,
            std::string consumer_group);
  virtual ~EventBase();

  // Connects to redis_endpoint() on the awaiting task's executor, with redis_timeout for every
  // command. Throws std::invalid_argument for a bad URL or a TLS file that cannot be loaded,
  // redis::ConnectionError when the server cannot be reached, does not answer in time or fails
  // the TLS handshake, and redis::ResponseError when it refuses AUTH or SELECT.
  asio::awaitable<void> connect();
  // Where every connection of this service goes: redis_url parsed, with redis_tls and the
  // Sentinels' credentials applied. Under Sentinel, every endpoint it returns shares one
  // MasterLocator, so that all of the service's connections follow the master together.
  // Throws std::invalid_argument for a bad URL.
  redis::Endpoint redis_endpoint() const;
  // XADD output_topic * data <json.dumps text> [correlation_id <id>] [unique_id <id>], the
  // id fields only when not null. Throws std::runtime_error("Not connected to Redis") without
  // a client, and the client's errors.
  asio::awaitable<void> publish_message(const json::Value &data,
                                        std::optional<std::string> correlation_id,
                                        std::optional<std::string> unique_id);
  // Clears _is_running, awaits the replies of commands already sent (so acknowledgements
  // sent without waiting still count; at most redis_timeout), then closes the connection;
  // redis_client becomes null. Does nothing more when not connected; never throws for a
  // broken connection.
  virtual asio::awaitable<void> disconnect();
  // The base has nothing to clean up in the background: the connection is one socket on the
  // loop and replies need no expiry, so no thread is started. Returns true.
  bool _start_cleanup_thread();

  std::string redis_url;
  std::string input_topic;
  std::string output_topic;
  std::string consumer_group;
  // How long Redis may leave a command unanswered before the connection is broken.
  redis::Connection::Clock::duration redis_timeout = redis::Connection::kDefaultTimeout;
  // How a rediss:// connection checks the server and presents itself.
  redis::TlsOptions redis_tls;
  // Under Sentinel: the Sentinels' own credentials, if they require any.
  std::optional<std::string> sentinel_user;
  std::optional<std::string> sentinel_password;
  std::shared_ptr<redis::Connection> redis_client;
  // Unique per instance here (host, pid and a random suffix); a service that must find its own
  // pending entries again after a restart sets a stable one before connecting.
  std::string consumer_name;
  bool _is_running = false;

private:
  mutable std::shared_ptr<redis::MasterLocator> _locator;
};

} // namespace networking::event_base
