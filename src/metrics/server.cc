#include "metrics/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include <httplib.h>

namespace metrics {

namespace {

using Clock = std::chrono::steady_clock;

// Threads that serve connections: one slow client holds one of them.
constexpr std::size_t kServerThreads = 4;
// The longest wait for the next bytes of a request, and for a reply to be taken.
constexpr std::chrono::seconds kIoTimeout{5};
// No request here has a body.
constexpr std::size_t kMaxPayload = 1024;
constexpr const char *kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

} // namespace

ListenAddress parse_listen_address(std::string_view text) {
  const auto bad = [&] {
    return std::invalid_argument("--metrics-address: '" + std::string(text) + "' is not HOST:PORT");
  };
  ListenAddress address;
  std::string_view port = text;
  if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    std::string_view host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string_view::npos)
      throw bad(); // an IPv6 address goes in brackets
    if (!host.empty())
      address.host = std::string(host);
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535)
    throw bad();
  address.port = static_cast<std::uint16_t>(value);
  return address;
}

namespace {

// A connection's socket as cpp-httplib reads and writes it, with one difference from its own:
// besides the time-out of each read, the whole request must arrive by a deadline. A client
// that sends a byte every few seconds would otherwise hold its thread, and the stop, for ever.
class DeadlineStream : public httplib::Stream {
public:
  DeadlineStream(int fd, Clock::time_point deadline) : _fd(fd), _deadline(deadline) {}

  bool is_readable() const override { return _used < _filled || _wait(POLLIN, true); }
  bool is_writable() const override { return _wait(POLLOUT, false); }

  ssize_t read(char *ptr, size_t size) override {
    if (_used == _filled) {
      if (!_wait(POLLIN, true))
        return -1;
      const ssize_t n = ::recv(_fd, _buffer, sizeof _buffer, 0);
      if (n <= 0)
        return n;
      _used = 0;
      _filled = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, _filled - _used);
    std::memcpy(ptr, _buffer + _used, n);
    _used += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char *ptr, size_t size) override {
    if (!_wait(POLLOUT, false))
      return -1;
    return ::send(_fd, ptr, size, MSG_NOSIGNAL);
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    _address(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    _address(::getsockname, ip, port);
  }
  socket_t socket() const override { return _fd; }

  // A read failed because the request was not complete by the deadline.
  bool expired() const { return _expired; }

private:
  // Waits until the socket is ready for events, at most kIoTimeout, and for a read no later
  // than the deadline.
  bool _wait(short events, bool reading) const {
    auto until = Clock::now() + kIoTimeout;
    const bool by_deadline = reading && _deadline < until;
    if (by_deadline)
      until = _deadline;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) {
        _expired = _expired || by_deadline;
        return false;
      }
      pollfd p{_fd, events, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready > 0)
        return true;
      if (ready < 0 && errno != EINTR)
        return false;
    }
  }

  using NameFunction = int (*)(int, sockaddr *, socklen_t *);
  void _address(NameFunction name, std::string &ip, int &port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (name(_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
      if (address.ss_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
      } else if (address.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
      }
    }
    ip = text;
  }

  const int _fd;
  const Clock::time_point _deadline;
  mutable bool _expired = false;
  char _buffer[4096];
  std::size_t _used = 0;
  std::size_t _filled = 0;
};

} // namespace

// Serves every connection itself, one request each, through a DeadlineStream, and keeps the
// open ones so that a stop can close them at once.
struct Server::Impl : httplib::Server {
  bool process_and_close_socket(socket_t sock) override {
    bool served = false;
    bool admitted = false;
    {
      std::lock_guard lock(mutex);
      admitted = !stopping && open.insert(sock).second;
    }
    if (admitted) {
      DeadlineStream stream(sock, Clock::now() + kConnectionDeadline);
      current = &stream;
      bool closed = false;
      served = process_request(stream, true, closed, nullptr);
      current = nullptr;
      std::lock_guard lock(mutex);
      open.erase(sock);
    }
    // Closed only once no longer listed: a stop never shuts down a number reused meanwhile.
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
  }

  // Whether the request of this thread's connection missed its deadline.
  static bool deadline_passed() { return current && current->expired(); }

  static thread_local DeadlineStream *current;
  std::mutex mutex;
  std::set<int> open;
  bool stopping = false;
  std::thread listener;
};

thread_local DeadlineStream *Server::Impl::current = nullptr;

Server::Server(const ListenAddress &address, RenderMetrics render, CheckHealth health)
    : _impl(std::make_unique<Impl>()) {
  Impl &s = *_impl;
  s.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  s.set_payload_max_length(kMaxPayload);
  s.set_pre_routing_handler([](const httplib::Request &request, httplib::Response &response) {
    if (request.method == "GET" || request.method == "HEAD")
      return httplib::Server::HandlerResponse::Unhandled;
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("method not allowed\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request &, httplib::Response &response) {
    // cpp-httplib answers a request whose headers did not arrive with 400.
    if (Impl::deadline_passed()) {
      response.status = 408;
      response.set_content("request not complete within " +
                               std::to_string(kConnectionDeadline.count()) + " s\n",
                           "text/plain; charset=utf-8");
    }
    if (response.body.empty())
      response.set_content(response.status == 404 ? "not found: try /metrics or /healthz\n"
                                                  : "bad request\n",
                           "text/plain; charset=utf-8");
  });
  s.set_exception_handler(
      [](const httplib::Request &, httplib::Response &response, const std::exception_ptr &) {
        response.status = 500;
        response.set_content("internal error\n", "text/plain; charset=utf-8");
      });
  s.Get("/metrics",
        [render = std::move(render)](const httplib::Request &, httplib::Response &response) {
          response.set_content(render(), kMetricsType);
        });
  s.Get("/healthz",
        [health = std::move(health)](const httplib::Request &, httplib::Response &response) {
          const Health h = health();
          response.status = h.ok ? 200 : 503;
          response.set_content(h.ok ? "ok\n" : h.reason + "\n", "text/plain; charset=utf-8");
        });
  if (address.port == 0) {
    const int port = s.bind_to_any_port(address.host);
    if (port < 0)
      throw std::runtime_error("cannot listen on " + address.host + ":0");
    _port = static_cast<std::uint16_t>(port);
  } else {
    if (!s.bind_to_port(address.host, address.port))
      throw std::runtime_error("cannot listen on " + address.host + ":" +
                               std::to_string(address.port));
    _port = address.port;
  }
  s.listener = std::thread([&s] { s.listen_after_bind(); });
  // A stop before the listener runs would be lost, and the join would wait for ever.
  for (int i = 0; i < 5000 && !s.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Server::~Server() {
  Impl &s = *_impl;
  s.stop();
  {
    std::lock_guard lock(s.mutex);
    s.stopping = true;
    for (const int fd : s.open)
      ::shutdown(fd, SHUT_RDWR);
  }
  s.listener.join();
}

} // namespace metrics
