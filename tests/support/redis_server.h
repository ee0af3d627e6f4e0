#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace support {

// A server that speaks TLS only, and asks every client for a certificate.
struct RedisTls {
  std::string cert_file; // the server's certificate and key
  std::string key_file;
  std::string ca_file; // the CAs of client certificates
  // A client certificate and key that the server accepts: the readiness check presents them
  // (and checks no server certificate, so a test may give the server a wrong one).
  std::string client_cert_file;
  std::string client_key_file;
};

struct RedisServerOptions {
  // Append-only persistence, so that data survives stop() and start().
  bool appendonly = false;
  // 0: a free port chosen at construction.
  std::uint16_t port = 0;
  // Further configuration, e.g. {"--requirepass", "secret"}.
  std::vector<std::string> extra_args;
  std::optional<RedisTls> tls = std::nullopt;
};

// A redis-server of the test's own on 127.0.0.1, with its data and log in a TempDir. The
// constructor starts it and returns once it answers PING (polled at most 50 times within
// 5 s); it throws std::runtime_error with one clear sentence when redis-server is not on PATH
// or does not come up, which fails the calling test. The server is killed if the thread that
// started it exits, so a crashed test leaves none behind.
class RedisServer {
public:
  explicit RedisServer(RedisServerOptions options = {});
  // A Sentinel, with these lines in its (writable) configuration file, e.g.
  // "sentinel monitor m 127.0.0.1 6390 2".
  struct SentinelConfig {
    std::vector<std::string> lines;
  };
  explicit RedisServer(SentinelConfig sentinel_config);
  ~RedisServer();
  RedisServer(const RedisServer &) = delete;
  RedisServer &operator=(const RedisServer &) = delete;

  // SIGCONT and SIGTERM to its pid, then waits for it to exit (SIGKILL after 10 s). No-op when
  // stopped.
  void stop();
  // Starts it again on the same port and directory. Requires: stopped.
  void start();
  // Options for the next start(), e.g. other TLS files.
  RedisServerOptions &options() { return _options; }
  // SIGSTOP: it keeps accepting connections on its port and answers nothing, as a hung host
  // does, until thaw() (SIGCONT). stop() thaws it first.
  void freeze();
  void thaw();

  bool running() const { return _pid > 0; }
  pid_t pid() const { return _pid; }
  std::uint16_t port() const { return _port; }
  // rediss:// under TLS.
  std::string url() const {
    return (_options.tls ? "rediss" : "redis") + std::string("://127.0.0.1:") +
           std::to_string(_port);
  }
  const TempDir &dir() const { return _dir; }
  // The server's log so far (for failure messages).
  std::string log() const;

private:
  void _wait_until_ready();

  RedisServerOptions _options;
  std::vector<std::string> _sentinel_config;
  TempDir _dir;
  std::string _executable;
  std::uint16_t _port = 0;
  pid_t _pid = -1;
};

// A port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t free_port();

} // namespace support
