#pragma once

// A Redis Cluster as production runs it, on loopback: six redis-servers in cluster mode, made
// into three masters with one replica each by redis-cli, each node failing over after two
// seconds of silence. Needs redis-server and redis-cli (redis-tools) on PATH.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "redis/reply.h"
#include "tests/support/redis_server.h"

namespace support {

// One command to the server at port on 127.0.0.1, on a connection of its own (2 s time-out).
// Throws as the Redis client does.
redis::Reply command_at(std::uint16_t port, std::vector<std::string> args);

// A free port on 127.0.0.1 whose cluster bus port (port + 10000) is free too.
std::uint16_t free_cluster_port();

class ClusterRig {
public:
  // Starts the nodes, creates the cluster and returns once every node reports cluster_state:ok
  // and every master has its replica linked (at most 30 s, else std::runtime_error).
  ClusterRig();

  // redis+cluster:// with the three first nodes as seeds.
  std::string url() const;
  std::vector<std::unique_ptr<RedisServer>> &nodes() { return _nodes; }
  RedisServer &node_at(std::uint16_t port);

  // As the first running node other than `but` sees it: the master serving slot, the replica
  // of a master, a node's id.
  std::uint16_t master_of(std::uint16_t slot, std::uint16_t but = 0) const;
  std::optional<std::uint16_t> replica_of(std::uint16_t master) const;
  std::string id_of(std::uint16_t port) const;

  // CLUSTER FAILOVER on the replica; returns once it is a master.
  void failover(std::uint16_t replica);
  // Waits until the master's replica has taken every write the master has (10 s at most).
  void wait_replicated(std::uint16_t master) const;
  // SIGKILL; the node stays down.
  void kill(std::uint16_t port);
  // Moves `count` slots from the master `from` to the master `to` with redis-cli --cluster
  // reshard (it moves the lowest-numbered slots of `from`, with their keys).
  void reshard(std::uint16_t from, std::uint16_t to, int count);
  // The steps of a migration done by hand: the slot marked importing on `to` and migrating on
  // `from`; the keys moved with MIGRATE; the slot given to `to` everywhere.
  void begin_migration(std::uint16_t slot, std::uint16_t from, std::uint16_t to);
  void migrate_key(std::uint16_t from, std::uint16_t to, const std::string &key);
  void finish_migration(std::uint16_t slot, std::uint16_t from, std::uint16_t to);

  // A key prefix + "{tag-N}" + suffix whose slot (as a node computes it) is in [first,
  // first + within): the stream of a test that moves those slots.
  std::string key_in_slots(const std::string &prefix, const std::string &suffix,
                           std::uint16_t first, std::uint16_t within) const;
  // The masters serving slots, in port order.
  std::vector<std::uint16_t> masters() const;
  // The lowest slot a master serves.
  std::uint16_t first_slot_of(std::uint16_t master) const;

  // Every running node reports cluster_state:ok and names the same master for every slot.
  bool settled() const;
  // Waits for settled() (std::runtime_error after the time-out).
  void wait_settled(int seconds = 30) const;

private:
  std::vector<std::unique_ptr<RedisServer>> _nodes;
  TempDir _dir;
};

} // namespace support
