#pragma once

// A master set as production runs it, on loopback: a master and two replicas, watched by three
// Sentinels that fail over after one second of silence. Header-only: the tests that use it link
// the Redis client already.

#include <signal.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loop/loop.h"
#include "redis/connection.h"
#include "tests/support/cluster_rig.h"
#include "tests/support/redis_server.h"

namespace support {

class SentinelRig {
public:
  static constexpr const char *kMaster = "main";

  SentinelRig() {
    const std::vector<std::string> common = {"--repl-diskless-sync-delay", "0"};
    _servers.push_back(
        std::make_unique<RedisServer>(RedisServerOptions{.port = 0, .extra_args = common}));
    for (int i = 0; i < 2; ++i) {
      std::vector<std::string> args = common;
      args.insert(args.end(), {"--replicaof", "127.0.0.1", std::to_string(_servers[0]->port())});
      _servers.push_back(
          std::make_unique<RedisServer>(RedisServerOptions{.port = 0, .extra_args = args}));
    }
    const std::string m = kMaster;
    for (int i = 0; i < 3; ++i) {
      _sentinels.push_back(std::make_unique<RedisServer>(RedisServer::SentinelConfig{
          {"sentinel monitor " + m + " 127.0.0.1 " + std::to_string(_servers[0]->port()) + " 2",
           "sentinel down-after-milliseconds " + m + " 1000",
           "sentinel failover-timeout " + m + " 5000"}}));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ready()) {
      if (std::chrono::steady_clock::now() > deadline)
        throw std::runtime_error("the Sentinels did not reach a quorum within 30 s");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // redis+sentinel://s1,s2,s3/main
  std::string url() const {
    std::string hosts;
    for (const auto &s : _sentinels)
      hosts += (hosts.empty() ? "" : ",") + std::string("127.0.0.1:") + std::to_string(s->port());
    return "redis+sentinel://" + hosts + "/" + kMaster;
  }
  // The URL of one server by itself.
  std::string server_url(std::uint16_t port) const {
    return "redis://127.0.0.1:" + std::to_string(port);
  }

  // One command to the server or Sentinel at port.
  static redis::Reply command(std::uint16_t port, std::vector<std::string> args) {
    return command_at(port, std::move(args));
  }

  // The master's port as the first Sentinel that answers names it (0: none answers).
  std::uint16_t master_port() const {
    for (const auto &s : _sentinels) {
      if (!s->running())
        continue;
      try {
        redis::Reply r = command(s->port(), {"SENTINEL", "GET-MASTER-ADDR-BY-NAME", kMaster});
        if (r.elements.size() == 2)
          return static_cast<std::uint16_t>(std::stoi(r.elements[1].str));
      } catch (const std::exception &) {
      }
    }
    return 0;
  }
  // Whether every Sentinel names port as the master.
  bool all_name(std::uint16_t port) const {
    for (const auto &s : _sentinels) {
      try {
        redis::Reply r = command(s->port(), {"SENTINEL", "GET-MASTER-ADDR-BY-NAME", kMaster});
        if (r.elements.size() != 2 || std::stoi(r.elements[1].str) != port)
          return false;
      } catch (const std::exception &) {
        return false;
      }
    }
    return true;
  }

  RedisServer &server_at(std::uint16_t port) {
    for (auto &s : _servers) {
      if (s->port() == port)
        return *s;
    }
    throw std::logic_error("no server at that port");
  }
  std::vector<std::unique_ptr<RedisServer>> &servers() { return _servers; }
  std::vector<std::unique_ptr<RedisServer>> &sentinels() { return _sentinels; }

  // Asks a Sentinel for a failover now.
  void failover() { command(_sentinels[0]->port(), {"SENTINEL", "FAILOVER", kMaster}); }

private:
  // Quorum reached and both replicas known to the Sentinels and linked to the master.
  bool ready() const {
    try {
      for (const auto &s : _sentinels) {
        redis::Reply r = command(s->port(), {"SENTINEL", "CKQUORUM", kMaster});
        if (r.str.rfind("OK", 0) != 0)
          return false;
      }
      redis::Reply replicas = command(_sentinels[0]->port(), {"SENTINEL", "REPLICAS", kMaster});
      if (replicas.elements.size() != 2)
        return false;
      redis::Reply info = command(_servers[0]->port(), {"INFO", "replication"});
      return info.str.find("connected_slaves:2") != std::string::npos;
    } catch (const std::exception &) {
      return false;
    }
  }

  std::vector<std::unique_ptr<RedisServer>> _servers;
  std::vector<std::unique_ptr<RedisServer>> _sentinels;
};

} // namespace support
