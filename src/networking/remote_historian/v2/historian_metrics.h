#pragma once

// What the historian counts for its metrics endpoint, and what its health check reads.
//
// Threads: the loop thread updates the counters of intake, acknowledgement and cycles, a worker
// thread those of writing, the callback thread those of the reports; the endpoint's threads
// only read. Every value is an atomic; the reason of an unhealthy state is a string under a
// mutex, written only when the state changes.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/registry.h"
#include "metrics/server.h"

namespace networking::remote_historian::v2 {

// The entries of one stream, and its consumer group's lag.
struct StreamMetrics {
  explicit StreamMetrics(std::string name) : stream(std::move(name)) {}
  const std::string stream;
  metrics::Counter read;
  metrics::Counter acknowledged;
  // Entries whose processing or acknowledgement failed: they stay pending in Redis.
  metrics::Counter failed;
  // Entries taken over from other consumers of the group (XCLAIM).
  metrics::Counter claimed;
  metrics::Gauge lag; // unknown until polled, and with a Redis that does not report it
};

// The reports to the job service: sent, failed (a POST that failed or timed out) and dropped
// (a full queue, or left at the stop), and those queued or being sent.
struct CallbackMetrics {
  metrics::Counter sent;
  metrics::Counter failed;
  metrics::Counter dropped;
  metrics::Gauge in_flight;
};

class HistorianMetrics {
public:
  // streams: the streams the historian reads, in the order of their labels.
  explicit HistorianMetrics(const std::vector<std::string> &streams);

  // The counters of a stream read; a stream not named at construction counts in the first.
  StreamMetrics &stream(std::string_view name);
  const std::vector<std::unique_ptr<StreamMetrics>> &streams() const { return _streams; }

  metrics::Counter steps;
  metrics::Counter skill_starts;
  metrics::Counter training_results;
  metrics::Gauge rows_buffered;
  metrics::Gauge bytes_buffered;
  metrics::Counter rows_written;
  metrics::Counter part_files_written;
  metrics::Counter cycle_rows_written;
  metrics::Counter cycle_part_files_written;
  metrics::Counter rows_dropped;
  metrics::Counter cycles_closed;
  // Idle consumers without pending entries removed from the group.
  metrics::Counter consumers_removed;
  metrics::Histogram flush_seconds;
  metrics::Histogram compaction_seconds;
  CallbackMetrics callbacks;
  metrics::Gauge process_start_time; // Unix seconds
  // The Redis master read from (host:port, never credentials) and the moves to another one
  // followed under Sentinel.
  metrics::Info redis_master;
  metrics::Counter redis_failovers;
  // Under Redis Cluster: commands sent again elsewhere, by cause (moved, ask, tryagain,
  // clusterdown, lost: a node lost or no longer the master), refreshes of the slot map, moves
  // of a read stream to another master, and each node connected to (1) or not (0).
  struct Redirections {
    metrics::Counter moved, ask, try_again, cluster_down, lost;
  } redis_redirections;
  metrics::Counter redis_slot_map_refreshes;
  metrics::Counter redis_stream_moves;
  metrics::GaugeSet redis_nodes;
  // With --output-url: requests to the bucket, those tried again and those that failed for
  // good, the bytes sent, and the part files uploaded.
  struct Bucket {
    metrics::Counter requests, retries, failures, bytes_uploaded, parts_uploaded;
  } bucket;

  // Health, from the read loop: a round began; reading began or ended; a Redis command
  // succeeded or failed (error: its message).
  void round_started();
  void set_reading(bool reading);
  void redis_succeeded();
  void redis_failed(std::string_view error);
  // Under Sentinel: whether any Sentinel answered the last question (error: why none did).
  void set_sentinels(bool answering, std::string_view error);
  // Under Redis Cluster: whether every read stream's slot has a master connected to (error:
  // which has none).
  void set_cluster(bool reachable, std::string_view error);
  // Healthy while the read loop runs, began a round within stale_after, the last Redis
  // command it awaited succeeded, (under Sentinel) a Sentinel answers: without one, a failover
  // would not be followed, and (under Cluster) every read stream's slot has a reachable master.
  metrics::Health health(std::chrono::steady_clock::duration stale_after) const;

  // Every instrument above, named event_historian_*, plus the build's version.
  void register_in(metrics::Registry &registry) const;

private:
  std::vector<std::unique_ptr<StreamMetrics>> _streams;
  metrics::Gauge _build_info;
  std::atomic<std::int64_t> _last_round{0}; // steady clock, nanoseconds since its epoch
  std::atomic<bool> _reading{false};
  std::atomic<bool> _redis_ok{true};
  mutable std::mutex _mutex;
  std::string _redis_error; // under _mutex
  std::atomic<bool> _sentinels_ok{true};
  std::string _sentinel_error; // under _mutex
  std::atomic<bool> _cluster_ok{true};
  std::string _cluster_error; // under _mutex
};

} // namespace networking::remote_historian::v2
