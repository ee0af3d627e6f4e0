#include "tests/support/cluster_rig.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "loop/loop.h"
#include "redis/connection.h"

namespace support {

namespace {

bool can_bind(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

} // namespace

std::uint16_t free_cluster_port() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint16_t port = free_port();
    if (port <= 55535 && can_bind(static_cast<std::uint16_t>(port + 10000)))
      return port;
  }
  throw std::runtime_error("no free port pair for a cluster node");
}

namespace {

// One line of CLUSTER NODES.
struct NodeLine {
  std::string id;
  std::uint16_t port = 0;
  std::string flags;
  std::string master_id;
  std::vector<std::pair<int, int>> slots;
  bool has(const std::string &flag) const {
    return ("," + flags + ",").find("," + flag + ",") != std::string::npos;
  }
};

std::vector<NodeLine> parse_nodes(const std::string &text) {
  std::vector<NodeLine> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    NodeLine node;
    std::string address, ping, pong, epoch, link, slot;
    if (!(words >> node.id >> address >> node.flags >> node.master_id >> ping >> pong >> epoch >>
          link))
      continue;
    const std::size_t colon = address.rfind(':', address.find('@'));
    node.port = static_cast<std::uint16_t>(std::stoi(address.substr(colon + 1)));
    while (words >> slot) {
      if (slot.front() == '[')
        continue; // a migration under way
      const std::size_t dash = slot.find('-');
      const int first = std::stoi(slot.substr(0, dash));
      node.slots.emplace_back(first,
                              dash == std::string::npos ? first : std::stoi(slot.substr(dash + 1)));
    }
    lines.push_back(std::move(node));
  }
  return lines;
}

void run(const std::string &command, const std::string &log) {
  const std::string line = command + " >>" + log + " 2>&1 </dev/null";
  if (std::system(line.c_str()) != 0) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    throw std::runtime_error("'" + command + "' failed:\n" + text.str());
  }
}

} // namespace

redis::Reply command_at(std::uint16_t port, std::vector<std::string> args) {
  return loop::run([&]() -> asio::awaitable<redis::Reply> {
    redis::Endpoint at;
    at.host = "127.0.0.1";
    at.port = port;
    auto c = co_await redis::Connection::connect(co_await asio::this_coro::executor, at,
                                                 std::chrono::seconds(2));
    redis::Reply r;
    try {
      r = co_await c->command(std::move(args));
    } catch (...) {
      c->close();
      throw;
    }
    c->close();
    co_return r;
  }());
}

ClusterRig::ClusterRig() {
  std::string addresses;
  for (int i = 0; i < 6; ++i) {
    const std::uint16_t port = free_cluster_port();
    _nodes.push_back(std::make_unique<RedisServer>(
        RedisServerOptions{.port = port,
                           .extra_args = {"--cluster-enabled", "yes", "--cluster-node-timeout",
                                          "2000", "--repl-diskless-sync-delay", "0"}}));
    addresses += " 127.0.0.1:" + std::to_string(port);
  }
  run("redis-cli --cluster create" + addresses + " --cluster-replicas 1 --cluster-yes",
      (_dir / "redis-cli.log").string());
  wait_settled();
  // Each master with its replica linked.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    int linked = 0;
    for (const auto &node : _nodes) {
      const redis::Reply info = command_at(node->port(), {"INFO", "replication"});
      if (info.str.find("role:master") != std::string::npos &&
          info.str.find("connected_slaves:1") != std::string::npos)
        ++linked;
    }
    if (linked == 3)
      break;
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the cluster's replicas did not link within 30 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string ClusterRig::url() const {
  std::string seeds;
  for (int i = 0; i < 3; ++i)
    seeds += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(_nodes[i]->port());
  return "redis+cluster://" + seeds;
}

RedisServer &ClusterRig::node_at(std::uint16_t port) {
  for (auto &node : _nodes) {
    if (node->port() == port)
      return *node;
  }
  throw std::logic_error("no cluster node at that port");
}

namespace {

std::vector<NodeLine> view(const std::vector<std::unique_ptr<RedisServer>> &nodes,
                           std::uint16_t but) {
  for (const auto &node : nodes) {
    if (!node->running() || node->port() == but)
      continue;
    try {
      return parse_nodes(command_at(node->port(), {"CLUSTER", "NODES"}).str);
    } catch (const std::exception &) {
    }
  }
  throw std::runtime_error("no cluster node answers CLUSTER NODES");
}

} // namespace

std::uint16_t ClusterRig::master_of(std::uint16_t slot, std::uint16_t but) const {
  for (const NodeLine &node : view(_nodes, but)) {
    if (!node.has("master") || node.has("fail"))
      continue;
    for (const auto &[first, last] : node.slots) {
      if (slot >= first && slot <= last)
        return node.port;
    }
  }
  return 0;
}

std::optional<std::uint16_t> ClusterRig::replica_of(std::uint16_t master) const {
  const std::vector<NodeLine> nodes = view(_nodes, 0);
  for (const NodeLine &m : nodes) {
    if (m.port != master)
      continue;
    for (const NodeLine &r : nodes) {
      if (r.has("slave") && r.master_id == m.id && !r.has("fail"))
        return r.port;
    }
  }
  return std::nullopt;
}

std::string ClusterRig::id_of(std::uint16_t port) const {
  return command_at(port, {"CLUSTER", "MYID"}).str;
}

std::vector<std::uint16_t> ClusterRig::masters() const {
  std::vector<std::uint16_t> ports;
  for (const NodeLine &node : view(_nodes, 0)) {
    if (node.has("master") && !node.has("fail") && !node.slots.empty())
      ports.push_back(node.port);
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

std::uint16_t ClusterRig::first_slot_of(std::uint16_t master) const {
  int lowest = -1;
  for (const NodeLine &node : view(_nodes, 0)) {
    if (node.port != master)
      continue;
    for (const auto &range : node.slots) {
      if (lowest < 0 || range.first < lowest)
        lowest = range.first;
    }
  }
  if (lowest < 0)
    throw std::runtime_error("that node serves no slot");
  return static_cast<std::uint16_t>(lowest);
}

std::string ClusterRig::key_in_slots(const std::string &prefix, const std::string &suffix,
                                     std::uint16_t first, std::uint16_t within) const {
  for (int n = 0; n < 1'000'000; ++n) {
    const std::string key = prefix + "{tag-" + std::to_string(n) + "}" + suffix;
    const redis::Reply slot = command_at(_nodes[0]->port(), {"CLUSTER", "KEYSLOT", key});
    if (slot.integer >= first && slot.integer < first + within)
      return key;
  }
  throw std::runtime_error("no key found in those slots");
}

void ClusterRig::failover(std::uint16_t replica) {
  command_at(replica, {"CLUSTER", "FAILOVER"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (command_at(replica, {"ROLE"}).elements.at(0).str != "master") {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("CLUSTER FAILOVER did not promote the replica within 10 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ClusterRig::wait_replicated(std::uint16_t master) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const std::string info = command_at(master, {"INFO", "replication"}).str;
    const std::size_t own = info.find("master_repl_offset:");
    const std::size_t replica = info.find(",offset=");
    if (own != std::string::npos && replica != std::string::npos &&
        std::stoll(info.substr(own + 19)) == std::stoll(info.substr(replica + 8)))
      return;
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the replica did not catch up within 10 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ClusterRig::kill(std::uint16_t port) {
  RedisServer &node = node_at(port);
  ::kill(node.pid(), SIGKILL);
  node.stop(); // reaps it
}

void ClusterRig::reshard(std::uint16_t from, std::uint16_t to, int count) {
  run("redis-cli --cluster reshard 127.0.0.1:" + std::to_string(from) + " --cluster-from " +
          id_of(from) + " --cluster-to " + id_of(to) + " --cluster-slots " + std::to_string(count) +
          " --cluster-yes",
      (_dir / "redis-cli.log").string());
}

void ClusterRig::begin_migration(std::uint16_t slot, std::uint16_t from, std::uint16_t to) {
  const std::string s = std::to_string(slot);
  command_at(to, {"CLUSTER", "SETSLOT", s, "IMPORTING", id_of(from)});
  command_at(from, {"CLUSTER", "SETSLOT", s, "MIGRATING", id_of(to)});
}

void ClusterRig::migrate_key(std::uint16_t from, std::uint16_t to, const std::string &key) {
  command_at(from, {"MIGRATE", "127.0.0.1", std::to_string(to), "", "0", "5000", "KEYS", key});
}

void ClusterRig::finish_migration(std::uint16_t slot, std::uint16_t from, std::uint16_t to) {
  const std::string s = std::to_string(slot);
  const std::string id = id_of(to);
  command_at(to, {"CLUSTER", "SETSLOT", s, "NODE", id});
  command_at(from, {"CLUSTER", "SETSLOT", s, "NODE", id});
  for (const auto &node : _nodes) {
    if (node->running() && node->port() != to && node->port() != from) {
      try {
        command_at(node->port(), {"CLUSTER", "SETSLOT", s, "NODE", id});
      } catch (const std::exception &) {
        // A replica refuses; it learns the owner from its master.
      }
    }
  }
}

bool ClusterRig::settled() const {
  std::optional<std::vector<std::uint16_t>> owners;
  for (const auto &node : _nodes) {
    if (!node->running())
      continue;
    try {
      if (command_at(node->port(), {"CLUSTER", "INFO"}).str.find("cluster_state:ok") ==
          std::string::npos)
        return false;
      std::vector<std::uint16_t> mine(16384, 0);
      for (const NodeLine &line : parse_nodes(command_at(node->port(), {"CLUSTER", "NODES"}).str)) {
        if (!line.has("master") || line.has("fail"))
          continue;
        for (const auto &[first, last] : line.slots) {
          for (int s = first; s <= last; ++s)
            mine[static_cast<std::size_t>(s)] = line.port;
        }
      }
      if (owners && *owners != mine)
        return false;
      owners = std::move(mine);
    } catch (const std::exception &) {
      return false;
    }
  }
  return owners.has_value();
}

void ClusterRig::wait_settled(int seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!settled()) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the cluster did not settle within " + std::to_string(seconds) +
                               " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

} // namespace support
