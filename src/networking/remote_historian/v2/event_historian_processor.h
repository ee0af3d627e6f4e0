#pragma once

// Consumes episode steps and writes a flattened parquet dataset.
//
// Threads: every member runs on the event-loop thread except _flush_rows (with _ensure_writer,
// _materialize_row and _coerce_vector) and _compact_parts, which run on a worker thread of
// loop::worker_pool() while the loop awaits them; only a durable run's checkpoint lets the loop
// go on reading meanwhile, into a fresh _pending_rows, with _flush_lock held until it is done
// (the flush touches nothing else the loop writes). The cycle-metrics POSTs run on the thread of
// _callbacks, which the loop never waits for except in disconnect. _obs_dim, _act_dim and
// _obs_names are written once on the loop thread before the first flush is submitted; the
// submission publishes them.

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
#include "networking/remote_historian/v2/callbacks/callback_sender.h"
#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/historian_metrics.h"
#include "networking/remote_historian/v2/ordered_map.h"
#include "networking/remote_historian/v2/output/output_lock.h"
#include "networking/remote_historian/v2/parse_ahead.h"
#include "networking/remote_historian/v2/pending_row.h"
#include "parquet/file_writer.h"
#include "parquet/schema.h"
#include "parquet/table.h"
#include "redis/reply.h"
#include "json/document.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

// What one step's payload gives its row, gathered before anything changes.
struct StepInput;

// A constructor argument of the wrong type, an unknown or repeated argument name.
class TypeError : public std::invalid_argument {
  using std::invalid_argument::invalid_argument;
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
  // The consumer name of a durable run's first start (later starts take it from the
  // checkpoint); by default a unique one is made up.
  std::optional<std::string> consumer_name;
  // Durable mode: the longest time handled entries wait for a checkpoint.
  std::chrono::milliseconds flush_interval{30'000};
  // Durable mode: where an entry that failed more than max_deliveries deliveries is copied,
  // with its error, before it is acknowledged. None: failed entries stay pending.
  std::optional<std::string> dead_letter_stream;
  std::int64_t max_deliveries = 5;
  // Not a constructor argument: the codec (and level) of every file, from the host's flags.
  parquet::WriterOptions writer_options;

  // Binds untyped arguments as a host's configuration gives them: positional values in the
  // order of the fields above, then named ones. Throws TypeError naming the argument for a
  // wrong type, too many positional values, an unknown name or a name given twice.
  static ProcessorOptions from_arguments(const json::Array &positional, const json::Object &named);
};

// Observation column names made unique against reserved (the fixed, action and raw JSON
// columns) and each other: a clashing name gets "_" + its position, extended until free;
// every other name is kept.
std::vector<std::string> _unique_observation_columns(std::vector<std::string> names,
                                                     const std::vector<std::string> &reserved);

class EventHistorianProcessor : public event_base::EventBase {
public:
  explicit EventHistorianProcessor(ProcessorOptions options = {});

  asio::awaitable<void> init();
  asio::awaitable<void> disconnect() override;
  // Merges the part files of parts_dir into final_path; logs a failure instead of raising.
  // Parts that do not read as Parquet are set aside as "<part>.corrupt" and the rest merged.
  // Returns false when a part was set aside or final_path could not be written. Row groups the
  // merge rebuilds are written with `writer` (codec, level); the file keeps the parts'
  // key-value metadata.
  static bool _compact_parts(const std::optional<std::string> &parts_dir,
                             const std::optional<std::string> &final_path,
                             const parquet::WriterOptions &writer = {});
  asio::awaitable<void> _create_consumer_group_for_topic(std::string topic,
                                                         std::string start_id = "0");
  asio::awaitable<void> start();

  // Requires: the caller holds _flush_lock (worker thread).
  void _ensure_writer();
  void _ensure_cycle_writer();
  void _write_cycle_metadata();
  void _write_cycle_summary(double average_reward, const std::string &skill_name);
  void _finalize_cycle_summary();
  asio::awaitable<void> _handle_training_result(const json::Object &payload);
  asio::awaitable<void> _fire_cycle_callback(std::string skill_name);
  // One cycle-metrics report: where it goes, its JSON text and the iteration it reports.
  struct CallbackReport {
    std::string url;
    std::string body;
    std::int64_t iteration;
  };
  CallbackReport _cycle_callback_report(const std::string &skill_name) const;
  // Hands the report to the sending thread; a full queue drops it with one warning.
  void _send_cycle_callback(const asio::any_io_executor &executor, CallbackReport report);

  // Fits a vector to target_len (truncation logs a warning naming label) and returns its
  // elements as optional doubles.
  std::vector<std::optional<double>>
  _coerce_vector(const StepVector &vector, std::size_t target_len, std::string_view label) const;
  // Appends one pending row to the columns of table, in schema order.
  void _materialize_row(const PendingRow &row, parquet::Table &table) const;
  // Writes one batch as the next part file and returns its path ("" for no rows).
  // Requires: the caller holds _flush_lock.
  std::string _flush_rows(const RowBuffer &rows);
  // A part file written: its path and rows; no rows when nothing was written.
  struct WrittenPart {
    std::string path;
    std::size_t rows = 0;
  };
  // Writes the buffered rows as the next part file.
  asio::awaitable<WrittenPart> _drain_pending();
  // At the stop: a width that no step made known becomes 0, with one warning, so that the
  // buffered rows are written without that vector's columns instead of being lost.
  void _settle_unknown_widths();
  // Writes the buffer early once it holds _max_buffered_rows rows or _max_buffered_bytes bytes
  // (a durable checkpoint's rows being written count too); a width still unknown then is
  // settled as at the stop.
  asio::awaitable<void> _drain_if_full();
  // At the stop, once a final file is merged: its path and row count, at debug level.
  static void _log_final_file(const char *dataset, const std::string &path);
  // At the stop: gives the cycle-metrics reports left their time, then drops the rest with
  // one warning.
  asio::awaitable<void> _finish_callbacks();
  // Decodes a stream entry (id, field map) into a message: absent fields take their defaults,
  // every value must be UTF-8, "data" JSON and "timestamp" a number. Throws otherwise.
  // ahead: the data text's parse, when it was done ahead (ParseAhead).
  static event_base::EventMessage _decode_entry(const redis::Reply &entry,
                                                ParseAhead::Parsed ahead = {});
  // Returns no reply on every path; a failure propagates to the read loop.
  asio::awaitable<std::optional<json::Object>>
  process_message(const event_base::EventMessage &message);

  // Configuration.
  std::string output_path;
  std::optional<std::string> skill_name;
  bool include_raw_json = false;
  std::optional<std::string> run_id;
  std::optional<std::string> training_results_topic;
  std::optional<std::int64_t> total_cycles;
  std::optional<std::string> _callback_url;
  std::optional<std::string> _job_id;
  // When this many rows wait, they are written at once as an extra part, so that memory stays
  // bounded however long a cycle lasts. The final files are the same.
  std::size_t _max_buffered_rows = static_cast<std::size_t>(kDefaultMaxBufferedRows);
  // The same in bytes, so that wide steps are bounded as well as narrow ones.
  std::size_t _max_buffered_bytes = static_cast<std::size_t>(kDefaultMaxBufferedBytes);
  std::int64_t _read_count = kDefaultReadCount;
  // A read's entries are acknowledged together (see ProcessorOptions::read_count): per
  // stream, the entries of the current read handled so far. Loop thread only.
  bool _ack_per_read = false;
  std::vector<std::pair<std::string, std::vector<std::string>>> _read_acks;
  parquet::WriterOptions writer_options;
  // The options of one new file: writer_options with the key-value metadata that tells a
  // reader the run, the skill, this writer's version and (for the step files) the sensor
  // names as the steps gave them, before normalization.
  parquet::WriterOptions _file_options(bool with_sensor_names) const;

  // State.
  bool _is_initialized = false;
  // Held from init until the processor goes, so no other historian writes these names
  // meanwhile. Declared before the writers: it is let go only after them.
  std::unique_ptr<OutputLock> _output_lock;
  std::unique_ptr<parquet::FileWriter> _writer;
  std::optional<parquet::Schema> _schema;
  std::unique_ptr<parquet::FileWriter> _cycle_writer;
  std::optional<parquet::Schema> _cycle_schema;
  std::optional<std::int64_t> _obs_dim;
  std::optional<std::int64_t> _act_dim;
  std::optional<std::vector<std::string>> _obs_names;
  std::optional<std::vector<std::string>> _obs_raw_names; // _obs_names before normalization
  bool _warned_obs_name_mismatch = false;
  // Steps read straight from their parsed text; the others were read from a Value tree.
  std::uint64_t _steps_read_in_place = 0;
  // Appended to and swapped only on the loop thread, never across a co_await: no lock needed.
  RowBuffer _pending_rows;
  // Storage of the buffered rows' vectors.
  ValueArena _value_arena;
  std::unique_ptr<loop::AsyncLock> _flush_lock;
  // The columns of a durable run's flushes, kept between checkpoints with their memory: a
  // checkpoint every second or so would otherwise have the kernel hand out and zero the same
  // tens of megabytes each time. Used only with _flush_lock held.
  parquet::Table _checkpoint_columns;
  std::optional<std::string> _output_file;
  std::optional<std::string> _cycle_output_file;
  std::optional<std::string> _parts_dir;
  std::optional<std::string> _cycle_parts_dir;
  std::int64_t _part_index = 0;
  std::int64_t _cycle_part_index = 0;
  std::optional<std::string> _current_skill_name;
  OrderedMap<std::int64_t> _cycle_indices;
  OrderedMap<std::int64_t> _skill_total_cycles;
  OrderedMap<double> _cycle_episode_rewards;
  OrderedMap<bool> _cycle_episode_done;
  bool _cycle_metadata_written = false;
  OrderedMap<double> _last_cycle_average_reward;
  OrderedMap<json::Value> _last_cycle_steps_per_sec;
  // Rows lost to failed writes: step rows of dropped batches and cycle summary rows. Read by
  // the host once the run is over.
  std::atomic<std::int64_t> _rows_dropped{0};
  // Final files that compaction could not produce, or produced without some of their parts.
  std::vector<std::string> _incomplete_outputs;
  // The counters of the metrics endpoint, which holds them too: it may outlive the processor.
  const std::shared_ptr<HistorianMetrics> metrics =
      std::make_shared<HistorianMetrics>(_read_streams());
  // Set by the host when the metrics endpoint is on: start() then polls the consumer group's
  // lag once a second on a connection of its own.
  // Called once start() has made the consumer groups, just before the first read (the
  // service manager's readiness).
  std::function<void()> on_started;
  bool poll_group_lag = false;
  // The cycle-metrics reports not yet sent, in cycle order; disconnect gives them at most
  // kCallbackTimeout.
  CallbackSender _callbacks{kCallbackQueueCapacity, kCallbackTimeout, metrics->callbacks};

  // Durable mode (durable/durable.cc).
  bool _durable = false;
  std::chrono::milliseconds _flush_interval{30'000};
  std::optional<std::string> _dead_letter_stream;
  std::int64_t _max_deliveries = 5;
  std::optional<std::string> _checkpoint_file;
  // The consumer name came from the options, not made up.
  bool _consumer_name_given = false;
  // Per stream: the last entry handled, the entries handled since the last checkpoint (to be
  // acknowledged after the next) and the entries that failed and stay pending.
  OrderedMap<std::string> _last_ids;
  OrderedMap<std::vector<std::string>> _unacked;
  std::size_t _unacked_count = 0;
  OrderedMap<std::vector<std::string>> _failed_ids;
  // Something was written that the next checkpoint must cover (a part, a cycle row).
  bool _checkpoint_due = false;
  std::chrono::steady_clock::time_point _last_checkpoint{};
  // A failed checkpoint or write is tried again from then on, no sooner.
  std::chrono::steady_clock::time_point _retry_at{};
  std::chrono::milliseconds _retry_delay{0};
  // Cycle summary rows of a durable run whose write failed, to be written (in order) before
  // the next checkpoint.
  struct CycleRow {
    std::int64_t cycle_index;
    double average_reward;
    std::string skill;
  };
  std::vector<CycleRow> _unwritten_cycle_rows;
  // Cycle-metrics reports of a durable run: the skills whose cycle closed in the entry being
  // handled, and the reports built once it was, sent after the next checkpoint.
  std::vector<std::string> _callbacks_to_build;
  std::vector<CallbackReport> _callbacks_after_checkpoint;
  void _write_cycle_row(const CycleRow &row);
  // Tries the rows again; logs one error line when they still fail.
  void _write_unwritten_cycle_rows();

  // Loads the checkpoint of output base `base` if there is one and takes up its state and
  // names, setting aside what was written after it. Returns whether there was one.
  bool _durable_resume(const std::string &base);
  Checkpoint _checkpoint_state() const;
  void _restore_checkpoint(Checkpoint checkpoint);
  // Handles this consumer's pending entries of both streams in entry-id order: those the
  // checkpoint holds are acknowledged, the others processed again.
  asio::awaitable<void> _recover_pending(bool read_results);
  // Writes what is buffered, then the checkpoint, then acknowledges the entries it covers.
  // Does nothing more (and keeps the entries pending) when any of it cannot be done yet.
  // Awaits a checkpoint already under way first.
  asio::awaitable<void> _durable_checkpoint();
  // The same, with _flush_lock held: the rows, the state and the ids are taken together
  // before the first suspension, so entries handled while they are written belong to the
  // next checkpoint.
  asio::awaitable<void> _checkpoint_under_lock();
  asio::awaitable<void> _checkpoint_in_background();
  // Starts a checkpoint beside the read loop when one is due or the flush interval has
  // passed, unless one is under way or a failed one waits for its retry time. After a read
  // that found the streams empty (quiet), a tenth of the interval is enough: what a burst
  // left is acknowledged soon after it ends, and parts come at most ten times as often.
  asio::awaitable<void> _durable_tick(bool quiet = false);
  bool _checkpoint_running = false;
  // Rows (and their bytes) and entries taken by the checkpoint under way; they count toward
  // the bounds.
  std::size_t _rows_in_flight = 0;
  std::size_t _bytes_in_flight = 0;
  std::size_t _acks_in_flight = 0;
  // Reading waits here while as many entries as --max-buffered-rows are unacknowledged, which
  // a flush that succeeds beside a checkpoint that fails would otherwise let grow.
  asio::awaitable<void> _hold_at_bound();
  void _entry_handled(const std::string &stream, const std::string &id);
  asio::awaitable<void> _entry_failed(const std::string &stream, const redis::Reply &entry,
                                      const std::string &error);
  // Whether everything handled is in a checkpoint and nothing waits to be written.
  bool _durably_complete() const;

private:
  // The input stream, then the training-results stream when it is another one.
  std::vector<std::string> _read_streams() const;
  // Sets the consumer-group lag gauges once a second until the read loop ends; a Redis that
  // does not report the lag leaves them out.
  asio::awaitable<void> _poll_group_lag();
  // Publishes the buffer's size to the metrics.
  void _count_buffered();
  asio::awaitable<void> _read_loop(bool read_results);
  // Sends the acknowledgements gathered in _read_acks without waiting, one XACK per stream.
  void _send_read_acks();
  // Acknowledges ids of stream in one XACK without waiting; the reply is counted and a failure
  // logged when it comes (the entries then stay pending).
  void _send_bulk_ack(const std::string &stream, std::vector<std::string>::const_iterator first,
                      std::vector<std::string>::const_iterator last);
  // Decodes, processes and acknowledges one stream entry; logs its failure.
  asio::awaitable<void> _handle_entry(const std::string &stream_name, const redis::Reply &entry,
                                      ParseAhead::Parsed ahead);
  void _handle_skill_start(const json::Object &payload);
  // Reads a step payload (a mapping) into input: every rule of which source gives which value.
  // Ref: `const json::Value *` into a tree, or a value read in place from a parsed text, which
  // may decline a payload before anything has changed (step_processing.cc). Never suspends.
  template <class Ref> void _read_step(Ref payload, StepInput &input);
  // Reads and commits a plain step straight from its parsed text. Returns false, having
  // changed nothing, for a payload it leaves to the tree (not a plain step, or a rare shape
  // such as repeated keys or texts where numbers are expected).
  bool _process_step_in_place(const json::Document &document, double message_timestamp);
  // The rest of a step, once read: widths, schema names, conversions, episode accounting and
  // the row.
  void _commit_step(StepInput &input, double message_timestamp);

  // Mirrors whether _writer is open, for the loop thread while a flush may run.
  std::atomic<bool> _writer_open{false};
  // Raw sensor-name list of the previous step and its normalized form: consecutive steps
  // almost always carry the same list, so it is normalized once.
  std::vector<std::string> _raw_names_cache;
  std::vector<std::string> _normalized_names_cache;
  bool _raw_names_distinct = true;
  const std::vector<std::string> &_normalized_names(const std::vector<std::string_view> &raw);
  // Observations of more names than this are wide: out of order, their members are looked up
  // through an index rather than a scan per name, and their key order is kept.
  static constexpr std::size_t kWideObservation = 16;
  // The keys, in order, of the last wide observation whose keys came in another order than
  // _raw_names_cache, checked distinct, and for each key the position of its name (kNoName: no
  // name has it). A step with the same keys in the same order places its members without a
  // lookup. Cleared when the names change.
  static constexpr std::uint32_t kNoName = ~std::uint32_t{0};
  std::vector<std::string> _key_order;
  std::vector<std::uint32_t> _key_slots;
  template <class Ref> bool _same_key_order(const Ref &mapping) const;
  // Requires: the step's names are _raw_names_cache.
  template <class Ref> void _keep_key_order(const Ref &mapping);
  // Whether each parts directory has been scanned for the parts of an earlier run.
  bool _parts_scanned = false;
  bool _cycle_parts_scanned = false;
};

} // namespace networking::remote_historian::v2
