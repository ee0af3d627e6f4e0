// Reading from a Redis Cluster: the moves of the read streams' slots, and what the router
// counts, shown in the metrics and the health check.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "loop/loop.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "redis/cluster.h"
#include "redis/connection.h"

namespace networking::remote_historian::v2 {

void EventHistorianProcessor::_follow_cluster() {
  const std::shared_ptr<redis::Cluster> &cluster = redis_client->cluster();
  struct Owner {
    std::string stream;
    std::uint16_t slot;
    std::optional<redis::HostPort> master;
  };
  auto owners = std::make_shared<std::vector<Owner>>();
  for (const std::string &stream : _read_streams()) {
    const std::uint16_t slot = redis::key_slot(stream);
    owners->push_back({stream, slot, cluster->master_of(slot)});
  }
  std::weak_ptr<redis::Cluster> weak = cluster;
  std::weak_ptr<HistorianMetrics> counts = metrics;
  cluster->on_map_changed = [weak, owners, counts, moved = _recheck_due] {
    auto router = weak.lock();
    if (!router)
      return;
    for (Owner &owner : *owners) {
      std::optional<redis::HostPort> now = router->master_of(owner.slot);
      if (!now || now == owner.master)
        continue;
      if (owner.master) {
        // The new master's group may lack acknowledgements and deliveries the old one took.
        *moved = true;
        logger().warning("[EventHistorian] Redis Cluster slot %d of stream '%s' moved from %s "
                         "to %s",
                         static_cast<int>(owner.slot), owner.stream.c_str(),
                         owner.master->address().c_str(), now->address().c_str());
        if (auto m = counts.lock())
          m->redis_stream_moves.add();
      }
      owner.master = std::move(now);
    }
  };
}

asio::awaitable<void> EventHistorianProcessor::_watch_cluster() {
  const std::shared_ptr<redis::Cluster> cluster = redis_client->cluster();
  const std::shared_ptr<HistorianMetrics> m = metrics;
  const std::vector<std::string> streams = _read_streams();
  // The router's counts as last copied.
  std::uint64_t moved = 0, ask = 0, try_again = 0, cluster_down = 0, lost = 0, refreshes = 0;
  auto copy = [](const std::atomic<std::uint64_t> &from, std::uint64_t &seen,
                 metrics::Counter &to) {
    const std::uint64_t now = from.load();
    to.add(now - seen);
    seen = now;
  };
  while (_is_running) {
    const redis::Cluster::Counts &c = cluster->counts();
    copy(c.moved, moved, m->redis_redirections.moved);
    copy(c.ask, ask, m->redis_redirections.ask);
    copy(c.try_again, try_again, m->redis_redirections.try_again);
    copy(c.cluster_down, cluster_down, m->redis_redirections.cluster_down);
    copy(c.lost_node, lost, m->redis_redirections.lost);
    copy(c.refreshes, refreshes, m->redis_slot_map_refreshes);
    const std::vector<redis::Cluster::NodeState> nodes = cluster->nodes();
    metrics::GaugeSet::Samples up;
    for (const redis::Cluster::NodeState &node : nodes)
      up.push_back(
          {{{"address", node.address.address()}, {"role", node.master ? "master" : "replica"}},
           node.connected ? 1.0 : 0.0});
    m->redis_nodes.set(std::move(up));
    std::string unreachable;
    for (const std::string &stream : streams) {
      const std::uint16_t slot = redis::key_slot(stream);
      const std::optional<redis::HostPort> master = cluster->master_of(slot);
      std::string why;
      if (!master) {
        why = "has no master";
      } else {
        for (const redis::Cluster::NodeState &node : nodes) {
          if (node.address == *master && !node.connected)
            why = "has its master " + master->address() + " unreachable";
        }
      }
      if (!why.empty() && unreachable.empty())
        unreachable =
            "Redis Cluster slot " + std::to_string(slot) + " of stream '" + stream + "' " + why;
    }
    m->set_cluster(unreachable.empty(), unreachable);
    for (int i = 0; i < 10 && _is_running; ++i)
      co_await loop::sleep_for(std::chrono::milliseconds(100));
  }
}

} // namespace networking::remote_historian::v2
