#include "networking/event_base/event_base.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "redis/endpoint.h"
#include "redis/sentinel.h"
#include "json/write.h"

namespace networking::event_base {

namespace {

// "historian-<host>-<pid>-<6 hex digits>": the host and pid tell operators which process a
// consumer is; the random part keeps a restarted process with a reused pid apart.
std::string make_consumer_name() {
  std::array<char, 256> host{};
  if (gethostname(host.data(), host.size() - 1) != 0)
    host = {'h', 'o', 's', 't'};
  std::random_device random;
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, "%06x", static_cast<unsigned>(random() & 0xffffff));
  return "historian-" + std::string(host.data()) + "-" + std::to_string(getpid()) + "-" + suffix;
}

} // namespace

EventBase::EventBase(std::string redis_url, std::string input_topic, std::string output_topic,
                     std::string consumer_group)
    : redis_url(std::move(redis_url)), input_topic(std::move(input_topic)),
      output_topic(std::move(output_topic)), consumer_group(std::move(consumer_group)),
      consumer_name(make_consumer_name()) {}

EventBase::~EventBase() {
  if (redis_client)
    redis_client->close();
}

asio::awaitable<void> EventBase::connect() {
  redis::Endpoint endpoint = redis_endpoint();
  auto executor = co_await asio::this_coro::executor;
  redis_client = co_await redis::Connection::connect(executor, std::move(endpoint), redis_timeout);
}

redis::Endpoint EventBase::redis_endpoint() const {
  redis::Endpoint endpoint = redis::parse_url(redis_url);
  endpoint.tls_options = redis_tls;
  if (endpoint.uses_sentinel()) {
    endpoint.sentinel_user = sentinel_user;
    endpoint.sentinel_password = sentinel_password;
    if (!_locator)
      _locator = std::make_shared<redis::MasterLocator>(endpoint, redis_timeout);
    endpoint.locator = _locator;
  }
  return endpoint;
}

asio::awaitable<void> EventBase::publish_message(const json::Value &data,
                                                 std::optional<std::string> correlation_id,
                                                 std::optional<std::string> unique_id) {
  if (!redis_client)
    throw std::runtime_error("Not connected to Redis");
  std::vector<std::string> args = {"XADD", output_topic, "*", "data", json::dumps(data)};
  if (correlation_id) {
    args.push_back("correlation_id");
    args.push_back(std::move(*correlation_id));
  }
  if (unique_id) {
    args.push_back("unique_id");
    args.push_back(std::move(*unique_id));
  }
  auto client = redis_client; // disconnect() may run while the XADD is in flight
  co_await client->command(std::move(args));
}

asio::awaitable<void> EventBase::disconnect() {
  _is_running = false;
  if (!redis_client)
    co_return;
  auto client = std::exchange(redis_client, nullptr);
  // Acknowledgements sent without awaiting their replies still reach the server.
  co_await client->drain();
  client->close();
}

bool EventBase::_start_cleanup_thread() { return true; }

} // namespace networking::event_base
