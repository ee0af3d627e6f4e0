#pragma once

// Consumes episode steps and writes flattened parquet datasets: the conductor of the parts that
// own the state (the step shape and buffer, the datasets on disk, the cycle state, the step
// reader, acknowledgement and, in durable mode, the ledger). It owns the lifecycle (init,
// start, disconnect), the read loop, process_message's dispatch, the flush lock and the order
// of effects between the parts.
//
// Threads: every member runs on the event-loop thread except the writes of step parts
// (StepRows) and the merges at the stop, which run on a worker thread of loop::worker_pool()
// while the loop awaits them; only a durable run's checkpoint lets the loop go on reading
// meanwhile, into a fresh buffer, with _flush_lock held until it is done (the write touches
// nothing else the loop writes). The cycle-metrics POSTs run on the thread of _callbacks, which
// the loop never waits for except in disconnect. The step shape's widths and names are written
// once on the loop thread before the first flush is submitted; the submission publishes them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <asio.hpp>

#include "loop/loop.h"
#include "networking/event_base/event_base.h"
#include "networking/event_base/event_message.h"
#include "networking/remote_historian/v2/acks/acknowledger.h"
#include "networking/remote_historian/v2/bucket/bucket_output.h"
#include "networking/remote_historian/v2/buffer/step_buffer.h"
#include "networking/remote_historian/v2/callbacks/callback_sender.h"
#include "networking/remote_historian/v2/claims/takeover.h"
#include "networking/remote_historian/v2/cycles/cycle_state.h"
#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/durable/durable_ledger.h"
#include "networking/remote_historian/v2/episodes/episode_log.h"
#include "networking/remote_historian/v2/historian_metrics.h"
#include "networking/remote_historian/v2/output/dataset.h"
#include "networking/remote_historian/v2/output/output_lock.h"
#include "networking/remote_historian/v2/parse_ahead.h"
#include "networking/remote_historian/v2/pending_row.h"
#include "networking/remote_historian/v2/rows/step_rows.h"
#include "networking/remote_historian/v2/shape/step_shape.h"
#include "networking/remote_historian/v2/steps/step_reader.h"
#include "parquet/file_writer.h"
#include "redis/reply.h"
#include "json/document.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

// A constructor argument of the wrong type, an unknown or repeated argument name.
class TypeError : public std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// A durable restart whose options would change what its files hold: the message names the
// option and the checkpoint's value. Thrown by init before anything is read or changed.
class CheckpointMismatch : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kDefaultRedisUrl = "redis://localhost:6379";
inline constexpr std::string_view kDefaultInputTopic = "korvo.episodes";
inline constexpr std::string_view kDefaultOutputTopic = "korvo.episodes";
inline constexpr std::string_view kDefaultConsumerGroup = "korvo-historian-group";
inline constexpr std::string_view kDefaultOutputPath = "./historian_output";
inline constexpr std::string_view kDefaultTrainingResultsTopic = "korvo.ppo.training_results";
// Rows buffered before they are written early as an extra part: about 0.9 GiB of rows of 64
// sensors and 8 actions.
inline constexpr std::int64_t kDefaultMaxBufferedRows = 1'000'000;
// Bytes the buffered rows may hold (held_bytes) before they are written early, whatever the
// width of a step: 1 GiB.
inline constexpr std::int64_t kDefaultMaxBufferedBytes = std::int64_t{1} << 30;

// Entries asked for per stream and read, unless the host says otherwise.
inline constexpr std::int64_t kDefaultReadCount = 10;

// The eleven constructor arguments with their defaults.
struct ProcessorOptions {
  std::string redis_url{kDefaultRedisUrl};
  std::string input_topic{kDefaultInputTopic};
  std::string output_topic{kDefaultOutputTopic};
  std::string consumer_group{kDefaultConsumerGroup};
  std::string output_path{kDefaultOutputPath};
  std::optional<std::string> skill_name;
  bool include_raw_json = false;
  std::optional<std::string> training_results_topic{std::string(kDefaultTrainingResultsTopic)};
  std::optional<std::int64_t> total_cycles;
  std::optional<std::string> callback_url;
  std::optional<std::string> job_id;
  // Beyond the constructor's arguments: the host's settings.
  std::int64_t max_buffered_rows = kDefaultMaxBufferedRows;
  std::int64_t max_buffered_bytes = kDefaultMaxBufferedBytes;
  // Entries asked for per stream and read. With any other count than the default, the default
  // mode acknowledges a read's entries together once they are handled, one XACK per stream;
  // with the default, each entry as soon as it is handled. Durable mode keeps its own rules.
  std::int64_t read_count = kDefaultReadCount;
  // Durable mode: an entry is acknowledged only once a synced checkpoint holds its effects,
  // and a restart goes on from the checkpoint, re-reading its own pending entries.
  bool durable = false;
  // The consumer name (a durable run's first start's: later starts take it from the
  // checkpoint); by default "historian-<host>-<output base>", the same at every start.
  std::optional<std::string> consumer_name;
  // Durable mode: the longest time handled entries wait for a checkpoint.
  std::chrono::milliseconds flush_interval{30'000};
  // Where an entry delivered more than max_deliveries times (failed that often, or taken over
  // from another consumer after that many) is copied, with its error, before it is
  // acknowledged. None: such entries stay pending.
  std::optional<std::string> dead_letter_stream;
  std::int64_t max_deliveries = 5;
  // How long an entry of another consumer of the group waits before this one takes it over
  // (and how long an idle consumer without pending entries stays before it is removed); none:
  // never. Must exceed claim_idle_floor(), which the host checks.
  std::optional<std::chrono::milliseconds> claim_idle;
  // Not a constructor argument: the codec (and level) of every file, from the host's flags.
  parquet::WriterOptions writer_options;
  // Not constructor arguments: the bucket the files go to (--output-url), output_path then
  // being where they are staged, and how to reach it.
  std::optional<s3::Location> output_bucket;
  std::optional<s3::Config> bucket_config;
  // Not a constructor argument: how a rediss:// connection checks the server and presents
  // itself, from the host's flags.
  redis::TlsOptions redis_tls;
  // Not constructor arguments: the Sentinels' own credentials, from a file the host reads.
  std::optional<std::string> sentinel_user;
  std::optional<std::string> sentinel_password;

  // Binds untyped arguments as a host's configuration gives them: positional values in the
  // order of the fields above, then named ones. Throws TypeError naming the argument for a
  // wrong type, too many positional values, an unknown name or a name given twice.
  static ProcessorOptions from_arguments(const json::Array &positional, const json::Object &named);
};

class EventHistorianProcessor : public event_base::EventBase {
public:
  explicit EventHistorianProcessor(ProcessorOptions options = {});

  asio::awaitable<void> init();
  asio::awaitable<void> disconnect() override;
  asio::awaitable<void> _create_consumer_group_for_topic(std::string topic,
                                                         std::string start_id = "0");
  asio::awaitable<void> start();
  // Returns no reply on every path; a failure propagates to the read loop.
  asio::awaitable<std::optional<json::Object>>
  process_message(const event_base::EventMessage &message);
  // Decodes a stream entry (id, field map) into a message: absent fields take their defaults,
  // every value must be UTF-8, "data" JSON and "timestamp" a number. Throws otherwise.
  // ahead: the data text's parse, when it was done ahead (ParseAhead).
  static event_base::EventMessage _decode_entry(const redis::Reply &entry,
                                                ParseAhead::Parsed ahead = {});

  // The step dataset's writing: rows to its next part (worker thread, _flush_lock held).
  StepRows _step_rows();
  void _ensure_writer() { _step_rows()._ensure_writer(); }
  std::string _flush_rows(const RowBuffer &rows) { return _step_rows()._flush_rows(rows); }
  // A part file written: its path and rows; no rows when nothing was written.
  struct WrittenPart {
    std::string path;
    std::size_t rows = 0;
  };
  // Writes the buffered rows as the next part file.
  asio::awaitable<WrittenPart> _drain_pending();
  // Writes the buffer early once it holds as many rows or bytes as its bounds allow (a durable
  // checkpoint's rows being written count too); a width still unknown then is settled as at
  // the stop.
  asio::awaitable<void> _drain_if_full();

  // Training cycles (training_cycles.cc).
  void _ensure_cycle_writer();
  // Opens the cycle summary's part, with its metadata row at the head of the first.
  void _write_cycle_metadata() { _ensure_cycle_writer(); }
  // The summary row of a closed cycle, with the rows of the episodes it counted.
  void _write_cycle_summary(double average_reward, const std::string &skill_name,
                            parquet::Table episodes = {});
  // Writes the rows as the next part of the episodes dataset; throws when that fails.
  void _write_episode_rows(const parquet::Table &episodes);
  // At the stop: the episodes still held go to the episodes dataset (a durable run then covers
  // them with one more checkpoint).
  void _write_remaining_episodes();
  // Closes the current skill's cycle and writes its summary row; steps_per_sec: the training
  // result's, kept for the cycle's report.
  void _finalize_cycle_summary(const json::Value &steps_per_sec);
  asio::awaitable<void> _handle_training_result(const json::Object &payload);
  asio::awaitable<void> _fire_cycle_callback(std::string skill_name);
  // Hands the report to the sending thread; a full queue drops it with one warning.
  void _send_cycle_callback(const asio::any_io_executor &executor, CallbackReport report);
  // At the stop: gives the cycle-metrics reports left their time, then drops the rest with
  // one warning.
  asio::awaitable<void> _finish_callbacks();

  // Durable mode (durable_run.cc).
  // Loads the checkpoint of output base `base` if there is one and takes up its state and
  // names, setting aside what was written after it. Returns whether there was one.
  bool _durable_resume(const std::string &base);
  // With a bucket, at the start: a durable run takes up the bucket's checkpoint (its parts
  // downloaded) or clears what a run that committed nothing left on disk; a default run takes
  // in part objects an earlier run left. Blocking. Returns true when a checkpoint on disk is to
  // be resumed that the bucket does not hold yet: it is committed there before recovery.
  bool _bucket_start(const std::string &base);
  // After the names: part objects of earlier runs never merged are named in a warning.
  void _bucket_adopt();
  // At the stop, once the final files are merged: each uploaded, then the parts deleted (a
  // durable run's checkpoint marked finished first). A final file that cannot be uploaded
  // leaves its dataset incomplete, and the checkpoint in place. Blocking.
  void _bucket_publish();
  // The checkpoint, assembled from each part's share.
  Checkpoint _checkpoint_state() const;
  // The options that decide what the files hold, as a checkpoint keeps them.
  json::Value _file_options_share() const;
  void _restore_checkpoint(const Checkpoint &checkpoint);
  // Handles this consumer's pending entries of both streams in entry-id order: those the
  // checkpoint holds are acknowledged, the others processed again.
  asio::awaitable<void> _recover_pending(bool read_results);
  // After the Redis master moved: this consumer's pending entries on the new master are
  // looked at again. Acknowledgements the old master took but never passed on bring entries
  // back as pending: the durable mode acknowledges those its checkpoint holds; every other
  // entry is handled (again: the default mode may write it twice).
  asio::awaitable<void> _recheck_pending(bool read_results);
  // Writes what is buffered, then the checkpoint, then acknowledges the entries it covers.
  // Does nothing more (and keeps the entries pending) when any of it cannot be done yet.
  // Awaits a checkpoint already under way first.
  asio::awaitable<void> _durable_checkpoint();
  // The same, with _flush_lock held: the rows, the state and the ids are taken together
  // before the first suspension, so entries handled while they are written belong to the
  // next checkpoint.
  asio::awaitable<void> _checkpoint_under_lock();
  asio::awaitable<void> _checkpoint_in_background();
  // Starts a checkpoint beside the read loop when the ledger says one should start.
  asio::awaitable<void> _durable_tick(bool quiet = false);
  // Reading waits here while as many entries as --max-buffered-rows are unacknowledged, which
  // a flush that succeeds beside a checkpoint that fails would otherwise let grow.
  asio::awaitable<void> _hold_at_bound();

  // Entries of other consumers and entries that keep failing (takeover.cc).
  // An entry whose processing failed stays pending; past max_deliveries deliveries it goes to
  // the dead-letter stream instead (in both modes).
  asio::awaitable<void> _entry_failed(const std::string &stream, const redis::Reply &entry,
                                      const std::string &error);
  // Copies the entry with its error to the dead-letter stream and acknowledges it. Throws when
  // either fails.
  asio::awaitable<void> _move_to_dead_letters(const std::string &stream, const redis::Reply &entry,
                                              const std::string &error);
  // When one is due, between reads: takes over the entries other consumers left idle for the
  // claim time and handles them as this consumer's own, then removes the consumers left idle
  // without pending entries. Logs its failures.
  asio::awaitable<void> _claim_round();
  // Claims and handles up to limit idle entries of stream; returns how many it claimed.
  asio::awaitable<std::size_t> _claim_idle_entries(const std::string &stream, std::size_t limit);
  // Claims the candidates of one page and handles those XCLAIM returns. A durable run first
  // writes a checkpoint that notes them and claims nothing when it cannot. Returns how many
  // were claimed, or none when no checkpoint could be written.
  asio::awaitable<std::optional<std::size_t>>
  _claim_entries(const std::string &stream, const std::vector<Takeover::Candidate> &candidates);
  asio::awaitable<void> _remove_idle_consumers(const std::string &stream);
  // An entry delivered to this consumer and not acknowledged, as a start reads it again.
  struct OwnEntry {
    std::string stream;
    redis::Reply entry;
  };
  // This consumer's pending entries of the streams it reads, in entry-id order across them.
  asio::awaitable<std::vector<OwnEntry>> _own_pending_entries(bool read_results);
  // Default mode, at the start: handles this consumer's pending entries again, which an
  // earlier run read and did not acknowledge (at least once).
  asio::awaitable<void> _handle_own_pending(bool read_results);
  // Whether everything handled is in a checkpoint and nothing waits to be written.
  bool _durably_complete() const;
  void _write_cycle_row(const CycleRow &row);
  // Tries the rows again; logs one error line when they still fail.
  void _write_unwritten_cycle_rows();

  // Once the run is over: rows lost to failed writes (step rows of dropped batches and cycle
  // summary rows), and the final files that compaction could not produce, or produced without
  // some of their parts.
  std::int64_t rows_dropped() const;
  std::vector<std::string> incomplete_outputs() const;

  // Configuration.
  std::string output_path;
  // The consumer name was given; otherwise init names the consumer after the host and the
  // output base.
  bool consumer_name_given = false;
  std::optional<std::string> skill_name;
  bool include_raw_json = false;
  std::optional<std::string> run_id;
  std::optional<std::string> training_results_topic;
  std::optional<std::int64_t> total_cycles;

  // The counters of the metrics endpoint, which holds them too: it may outlive the processor.
  const std::shared_ptr<HistorianMetrics> metrics =
      std::make_shared<HistorianMetrics>(_read_streams());
  // Called once start() has made the consumer groups, just before the first read (the
  // service manager's readiness).
  std::function<void()> on_started;
  // Set by the host when the metrics endpoint is on: start() then polls the consumer group's
  // lag once a second on a connection of its own.
  bool poll_group_lag = false;

  // The parts, each owning its state.
  bool _is_initialized = false;
  // Held from init until the processor goes, so no other historian writes these names
  // meanwhile. Declared before the datasets: it is let go only after them.
  std::unique_ptr<OutputLock> _output_lock;
  StepShape _shape;
  StepBuffer _buffer;
  Dataset _steps{"step", ""};
  Dataset _cycle_summary{"cycle summary", "cycle_"};
  Dataset _episodes{"episodes", "episodes_"};
  CycleState _cycles;
  EpisodeLog _episode_log;
  StepReader _reader;
  Acknowledger _acks;
  Takeover _takeover;
  // Durable mode only.
  std::unique_ptr<DurableLedger> _ledger;
  // With --output-url only.
  std::unique_ptr<BucketOutput> _bucket;
  // Serializes the writes of parts and checkpoints; made at the first.
  std::unique_ptr<loop::AsyncLock> _flush_lock;
  // The cycle-metrics reports not yet sent, in cycle order; disconnect gives them at most
  // kCallbackTimeout.
  CallbackSender _callbacks{kCallbackQueueCapacity, kCallbackTimeout, metrics->callbacks};

private:
  // The input stream, then the training-results stream when it is another one.
  std::vector<std::string> _read_streams() const;
  // Sets the consumer-group lag gauges once a second until the read loop ends; a Redis that
  // does not report the lag leaves them out.
  asio::awaitable<void> _poll_group_lag();
  // Logs and counts the moves of the Redis master, and shows where it is, in the metrics.
  void _follow_master();
  // Under Redis Cluster: logs and counts the moves of the read streams' slots to other masters,
  // which the read loop follows as a move of the master.
  void _follow_cluster();
  // Under Redis Cluster, once a second while running: the router's counts and nodes to the
  // metrics, and the health (unhealthy while a read stream's slot has no reachable master).
  asio::awaitable<void> _watch_cluster();
  // Set when the master moved or a connection broke with answers owed; the read loop then
  // rechecks this consumer's pending entries.
  std::shared_ptr<bool> _recheck_due = std::make_shared<bool>(false);
  // Publishes the buffer's size to the metrics.
  void _count_buffered();
  asio::awaitable<void> _read_loop(bool read_results);
  // Decodes, processes and acknowledges one stream entry; logs its failure.
  asio::awaitable<void> _handle_entry(const std::string &stream_name, const redis::Reply &entry,
                                      ParseAhead::Parsed ahead);
  // XREADGROUP's COUNT.
  std::int64_t _read_count = kDefaultReadCount;
};

} // namespace networking::remote_historian::v2
