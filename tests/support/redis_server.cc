#include "tests/support/redis_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "loop/loop.h"
#include "redis/connection.h"
#include "tests/support/process.h"

namespace support {

namespace {

constexpr int kPingAttempts = 50;
constexpr auto kPingWithin = std::chrono::milliseconds(5000);
constexpr auto kStopWithin = std::chrono::seconds(10);

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// One PING over a fresh connection, after AUTH when the server has a password; true when it
// answered +PONG. A server still loading its data answers -LOADING, which is not ready.
bool ping(std::uint16_t port, const std::string &password) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  timeval timeout{0, suseconds_t{200} * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address = loopback(port);
  bool ok = false;
  const std::string request =
      (password.empty() ? "" : "AUTH " + password + "\r\n") + std::string("PING\r\n");
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    std::string replies;
    char chunk[64];
    // Both replies, or whatever came before the receive time-out.
    while (std::count(replies.begin(), replies.end(), '\n') < (password.empty() ? 1 : 2)) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0)
        break;
      replies.append(chunk, static_cast<std::size_t>(n));
    }
    ok = replies.find("+PONG") != std::string::npos;
  }
  close(fd);
  return ok;
}

// ping() over TLS, through our own client: raw sockets cannot speak it.
bool ping_tls(std::uint16_t port, const std::string &password, const RedisTls &tls) {
  redis::Endpoint endpoint;
  endpoint.host = "127.0.0.1";
  endpoint.port = port;
  if (!password.empty())
    endpoint.password = password;
  endpoint.tls = true;
  endpoint.tls_options = {std::nullopt, tls.client_cert_file, tls.client_key_file, true};
  try {
    return loop::run([&]() -> asio::awaitable<bool> {
      const auto executor = co_await asio::this_coro::executor;
      auto c =
          co_await redis::Connection::connect(executor, endpoint, std::chrono::milliseconds(200));
      const redis::Reply pong = co_await c->command("PING");
      c->close();
      co_return pong.str == "PONG";
    }());
  } catch (const std::exception &) {
    return false;
  }
}

} // namespace

std::uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error("free_port: socket() failed");
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("free_port: bind() failed");
  }
  close(fd);
  return ntohs(address.sin_port);
}

RedisServer::RedisServer(RedisServerOptions options) : _options(std::move(options)) {
  _executable = find_on_path("redis-server");
  if (_executable.empty()) {
    throw std::runtime_error(
        "redis-server is not on PATH; the Redis tests need it (scripts/install-deps.sh "
        "installs it)");
  }
  _port = _options.port != 0 ? _options.port : free_port();
  start();
}

RedisServer::RedisServer(SentinelConfig sentinel_config)
    : _sentinel_config(std::move(sentinel_config.lines)) {
  _executable = find_on_path("redis-server");
  if (_executable.empty())
    throw std::runtime_error("redis-server is not on PATH; the Sentinel tests need it");
  _port = free_port();
  start();
}

RedisServer::~RedisServer() { stop(); }

void RedisServer::start() {
  if (running())
    throw std::logic_error("RedisServer::start: already running");
  std::vector<std::string> args = {_executable};
  if (!_sentinel_config.empty()) {
    // A Sentinel rewrites its configuration file as it learns the set, so it stays between
    // restarts.
    const std::string config = (_dir / "sentinel.conf").string();
    if (!std::ifstream(config)) {
      std::ofstream out(config);
      for (const std::string &line : _sentinel_config)
        out << line << "\n";
    }
    args.insert(args.end(), {config, "--sentinel"});
  }
  args.insert(args.end(),
              {"--port", _options.tls ? "0" : std::to_string(_port), "--bind", "127.0.0.1", "--dir",
               _dir.str(), "--logfile", (_dir / "redis.log").string(), "--daemonize", "no",
               "--protected-mode", "no"});
  if (_sentinel_config.empty())
    args.insert(args.end(), {"--save", "", "--appendonly", _options.appendonly ? "yes" : "no"});
  if (_options.tls) {
    const RedisTls &tls = *_options.tls;
    args.insert(args.end(), {"--tls-port", std::to_string(_port), "--tls-cert-file", tls.cert_file,
                             "--tls-key-file", tls.key_file, "--tls-ca-cert-file", tls.ca_file,
                             "--tls-auth-clients", "yes"});
  }
  args.insert(args.end(), _options.extra_args.begin(), _options.extra_args.end());
  _pid = spawn(args);
  _wait_until_ready();
}

void RedisServer::_wait_until_ready() {
  std::string password;
  const auto &args = _options.extra_args;
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--requirepass")
      password = args[i + 1];
  auto deadline = std::chrono::steady_clock::now() + kPingWithin;
  for (int attempt = 0; attempt < kPingAttempts; ++attempt) {
    if (_options.tls ? ping_tls(_port, password, *_options.tls) : ping(_port, password))
      return;
    int status = 0;
    if (waitpid(_pid, &status, WNOHANG) == _pid) {
      _pid = -1;
      throw std::runtime_error("redis-server exited at start-up on port " + std::to_string(_port) +
                               "; its log:\n" + log());
    }
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(kPingWithin / kPingAttempts);
  }
  stop();
  throw std::runtime_error("redis-server on port " + std::to_string(_port) +
                           " did not answer PING within 5 s; its log:\n" + log());
}

void RedisServer::freeze() {
  if (running())
    kill(_pid, SIGSTOP);
}

void RedisServer::thaw() {
  if (running())
    kill(_pid, SIGCONT);
}

void RedisServer::stop() {
  if (!running())
    return;
  thaw();
  kill(_pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + kStopWithin;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(_pid, &status, WNOHANG);
    if (done == _pid || (done < 0 && errno == ECHILD))
      break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(_pid, SIGKILL);
      waitpid(_pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  _pid = -1;
}

std::string RedisServer::log() const {
  std::ifstream in(_dir / "redis.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace support
