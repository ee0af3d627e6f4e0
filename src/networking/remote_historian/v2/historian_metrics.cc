#include "networking/remote_historian/v2/historian_metrics.h"

#include <chrono>
#include <utility>

namespace networking::remote_historian::v2 {

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

} // namespace

HistorianMetrics::HistorianMetrics(const std::vector<std::string> &streams)
    // A flush of one cycle's rows takes milliseconds to seconds; a merge at the stop, seconds
    // to minutes for long runs.
    : flush_seconds({0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30}),
      compaction_seconds({0.01, 0.05, 0.1, 0.5, 1, 5, 10, 30, 60, 300, 900}) {
  for (const std::string &name : streams)
    _streams.push_back(std::make_unique<StreamMetrics>(name));
  if (_streams.empty())
    _streams.push_back(std::make_unique<StreamMetrics>(""));
  process_start_time.set(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  _build_info.set(1);
  rows_buffered.set(0);
  bytes_buffered.set(0);
  callbacks.in_flight.set(0);
}

StreamMetrics &HistorianMetrics::stream(std::string_view name) {
  for (const auto &s : _streams)
    if (s->stream == name)
      return *s;
  return *_streams.front();
}

void HistorianMetrics::round_started() { _last_round.store(now_ns(), std::memory_order_relaxed); }

void HistorianMetrics::set_reading(bool reading) {
  if (reading)
    round_started();
  _reading.store(reading);
}

void HistorianMetrics::redis_succeeded() {
  if (_redis_ok.load(std::memory_order_relaxed))
    return;
  std::lock_guard lock(_mutex);
  _redis_ok = true;
  _redis_error.clear();
}

void HistorianMetrics::redis_failed(std::string_view error) {
  std::lock_guard lock(_mutex);
  _redis_ok = false;
  _redis_error = error;
}

void HistorianMetrics::set_sentinels(bool answering, std::string_view error) {
  std::lock_guard lock(_mutex);
  _sentinels_ok = answering;
  _sentinel_error = answering ? "" : error;
}

void HistorianMetrics::set_cluster(bool reachable, std::string_view error) {
  std::lock_guard lock(_mutex);
  _cluster_ok = reachable;
  _cluster_error = reachable ? "" : error;
}

metrics::Health HistorianMetrics::health(Clock::duration stale_after) const {
  if (!_reading.load())
    return {false, "not reading: starting or stopping"};
  {
    std::lock_guard lock(_mutex);
    if (!_redis_ok)
      return {false, "Redis command failed: " + _redis_error};
    if (!_sentinels_ok)
      return {false, "no Sentinel answers: " + _sentinel_error};
    if (!_cluster_ok)
      return {false, _cluster_error};
  }
  const auto since = std::chrono::nanoseconds(now_ns() - _last_round.load());
  if (since > stale_after)
    return {false,
            "read loop has not run for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(since).count()) +
                " s"};
  return {true, ""};
}

void HistorianMetrics::register_in(metrics::Registry &r) const {
  const std::string p = "event_historian_";
  for (const auto &s : _streams) {
    const metrics::Labels stream = {{"stream", s->stream}};
    r.add(p + "entries_read_total", "Stream entries read through the consumer group.", s->read,
          stream);
    r.add(p + "entries_acknowledged_total", "Stream entries acknowledged (XACK).", s->acknowledged,
          stream);
    r.add(p + "entries_failed_total",
          "Stream entries whose processing or acknowledgement failed; they stay pending.",
          s->failed, stream);
    r.add(p + "entries_claimed_total",
          "Stream entries taken over from other consumers of the group (XCLAIM).", s->claimed,
          stream);
    r.add(p + "consumer_group_lag",
          "Entries of the stream not yet delivered to the consumer group (XINFO GROUPS lag).",
          s->lag, stream);
  }
  r.add(p + "steps_processed_total", "Steps taken in as rows.", steps);
  r.add(p + "skill_starts_processed_total", "Skill-start events processed.", skill_starts);
  r.add(p + "training_results_processed_total", "Training results processed.", training_results);
  r.add(p + "rows_buffered", "Step rows waiting in memory to be written.", rows_buffered);
  r.add(p + "buffered_bytes",
        "Memory held by the buffered step rows (values, texts and raw JSON): "
        "what --max-buffered-bytes bounds.",
        bytes_buffered);
  r.add(p + "rows_written_total", "Rows written to part files.", rows_written,
        {{"dataset", "steps"}});
  r.add(p + "rows_written_total", "Rows written to part files.", cycle_rows_written,
        {{"dataset", "cycle_summary"}});
  r.add(p + "part_files_written_total", "Part files completed.", part_files_written,
        {{"dataset", "steps"}});
  r.add(p + "part_files_written_total", "Part files completed.", cycle_part_files_written,
        {{"dataset", "cycle_summary"}});
  r.add(p + "rows_dropped_total", "Rows lost to failed writes.", rows_dropped);
  r.add(p + "cycles_closed_total", "Training cycles closed by a training result.", cycles_closed);
  r.add(p + "consumers_removed_total",
        "Idle consumers without pending entries removed from the consumer group.",
        consumers_removed);
  r.add(p + "flush_seconds", "Time to write one batch of step rows as a part file.", flush_seconds);
  r.add(p + "compaction_seconds", "Time to merge a dataset's part files into its final file.",
        compaction_seconds);
  r.add(p + "callbacks_sent_total", "Cycle-metrics reports the job service accepted.",
        callbacks.sent);
  r.add(p + "callbacks_failed_total", "Cycle-metrics reports whose POST failed or timed out.",
        callbacks.failed);
  r.add(p + "callbacks_dropped_total",
        "Cycle-metrics reports dropped unsent: the queue was full, or the stop's time was up.",
        callbacks.dropped);
  r.add(p + "callbacks_in_flight", "Cycle-metrics reports queued or being sent.",
        callbacks.in_flight);
  r.add(p + "process_start_time_seconds", "Start time of the process, in Unix seconds.",
        process_start_time);
  r.add(p + "redis_master", "The Redis server read from (host:port).", redis_master);
  r.add(p + "redis_failovers_total",
        "Moves to another Redis master followed (under Sentinel): a failover, or a master that "
        "came back elsewhere.",
        redis_failovers);
  const std::string redirections = p + "redis_redirections_total";
  const std::string why = "Redis Cluster commands sent again: redirected (moved, ask), a slot "
                          "busy or down (tryagain, clusterdown), a node lost (lost).";
  r.add(redirections, why, redis_redirections.moved, {{"kind", "moved"}});
  r.add(redirections, why, redis_redirections.ask, {{"kind", "ask"}});
  r.add(redirections, why, redis_redirections.try_again, {{"kind", "tryagain"}});
  r.add(redirections, why, redis_redirections.cluster_down, {{"kind", "clusterdown"}});
  r.add(redirections, why, redis_redirections.lost, {{"kind", "lost"}});
  r.add(p + "redis_slot_map_refreshes_total", "Redis Cluster slot maps read.",
        redis_slot_map_refreshes);
  r.add(p + "redis_stream_moves_total",
        "Moves of a read stream's slot to another Redis Cluster master followed.",
        redis_stream_moves);
  r.add(p + "redis_node_up",
        "Redis Cluster nodes connected to: 1 while the connection is open, 0 while it is not.",
        redis_nodes);
  r.add(p + "bucket_requests_total", "Requests to the bucket of --output-url.", bucket.requests);
  r.add(p + "bucket_request_retries_total",
        "Requests to the bucket tried again (a 5xx or 429 answer, no answer in time, a lost "
        "connection).",
        bucket.retries);
  r.add(p + "bucket_request_failures_total",
        "Requests to the bucket that failed for good (refused, or every try failed).",
        bucket.failures);
  r.add(p + "bucket_uploaded_bytes_total", "Bytes of files sent to the bucket.",
        bucket.bytes_uploaded);
  r.add(p + "bucket_part_uploads_total", "Part files uploaded to the bucket.",
        bucket.parts_uploaded);
  r.add(p + "build_info", "The historian's version.", _build_info,
        {{"version", HISTORIAN_VERSION}});
}

} // namespace networking::remote_historian::v2
