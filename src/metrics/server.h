#pragma once

// The metrics and health endpoint: GET /metrics and GET /healthz over HTTP/1.1, served by
// cpp-httplib on threads of its own. Its handlers only read (atomics, snapshots): a scrape
// never touches the service's loop, and a client that is slow or hostile holds at most one
// of the endpoint's few threads, for at most kConnectionDeadline. One request per connection.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace metrics {

// How long a client may take to send its request; one still sending its headers then gets 408
// and the connection is closed.
inline constexpr std::chrono::seconds kConnectionDeadline{10};

struct ListenAddress {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
};

// "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT"; without a host, 127.0.0.1 (loopback). Port 0
// takes any free port. Throws std::invalid_argument naming the text otherwise.
ListenAddress parse_listen_address(std::string_view text);

struct Health {
  bool ok = false;
  std::string reason; // one line, without its newline: why it is not ok
};

class Server {
public:
  using RenderMetrics = std::function<std::string()>;
  using CheckHealth = std::function<Health()>;

  // Listens at once and serves on its own threads until destroyed. Throws std::runtime_error
  // when the address cannot be bound. The functions run on the endpoint's threads.
  Server(const ListenAddress &address, RenderMetrics render, CheckHealth health);
  // Closes every open connection, however slow its client, and joins the threads.
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // The port listened on (the one chosen when the address asked for 0).
  std::uint16_t port() const { return _port; }

private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
  std::uint16_t _port = 0;
};

} // namespace metrics
