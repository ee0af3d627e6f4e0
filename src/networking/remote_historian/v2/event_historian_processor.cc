#include "networking/remote_historian/v2/event_historian_processor.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loop/loop.h"
#include "networking/event_base/logger.h"
#include "networking/event_base/settings.h"
#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"
#include "networking/remote_historian/v2/output/output_lock.h"
#include "networking/remote_historian/v2/output/output_names.h"
#include "networking/remote_historian/v2/steps/step_input.h"
#include "networking/remote_historian/v2/steps/tape_value.h"
#include "parquet/io.h"
#include "parquet/parsed_file.h"
#include "redis/endpoint.h"
#include "redis/error.h"
#include "json/parse.h"
#include "json/utf8.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

constexpr const char *kArgumentNames[] = {
    "redis_url",  "input_topic",      "output_topic",           "consumer_group", "output_path",
    "skill_name", "include_raw_json", "training_results_topic", "total_cycles",   "callback_url",
    "job_id"};
constexpr std::size_t kArgumentCount = std::size(kArgumentNames);

std::string required_text(const json::Value &v, const char *name) {
  if (!v.is_string())
    throw TypeError(std::string("argument '") + name + "' must be text, not '" +
                    std::string(v.type_name()) + "'");
  return v.as_string();
}

std::optional<std::string> optional_text(const json::Value &v, const char *name) {
  if (v.is_null())
    return std::nullopt;
  return required_text(v, name);
}

std::optional<std::int64_t> optional_count(const json::Value &v, const char *name) {
  auto fail = [&](const std::string &why) {
    return TypeError(std::string("argument '") + name + "' " + why);
  };
  switch (v.kind()) {
  case json::Kind::kNull:
    return std::nullopt;
  case json::Kind::kBool:
    return v.as_bool() ? 1 : 0;
  case json::Kind::kInt:
    return v.as_int();
  case json::Kind::kDouble: {
    double d = std::trunc(v.as_double());
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
      throw fail("cannot be converted to an integer");
    return static_cast<std::int64_t>(d);
  }
  case json::Kind::kUint:
  case json::Kind::kBigInt:
    throw fail("is outside the 64-bit integer range");
  default:
    throw fail("must be an integer or null, not '" + std::string(v.type_name()) + "'");
  }
}

std::string host_name() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0)
    return "host";
  return host;
}

std::string join_path(const std::string &dir, const std::string &name) {
  return (fs::path(dir) / name).string();
}

} // namespace

ProcessorOptions ProcessorOptions::from_arguments(const json::Array &positional,
                                                  const json::Object &named) {
  if (positional.size() > kArgumentCount)
    throw TypeError("EventHistorianProcessor() takes at most 11 arguments (" +
                    std::to_string(positional.size()) + " given)");
  const json::Value *bound[kArgumentCount] = {};
  for (std::size_t i = 0; i < positional.size(); ++i)
    bound[i] = &positional[i];
  for (const auto &[key, value] : named) {
    std::size_t i = 0;
    while (i < kArgumentCount && key != kArgumentNames[i])
      ++i;
    if (i == kArgumentCount)
      throw TypeError("EventHistorianProcessor() got an unexpected keyword argument '" + key + "'");
    if (bound[i] != nullptr)
      throw TypeError("EventHistorianProcessor() got multiple values for argument '" + key + "'");
    bound[i] = &value;
  }
  ProcessorOptions o;
  if (bound[0])
    o.redis_url = required_text(*bound[0], kArgumentNames[0]);
  if (bound[1])
    o.input_topic = required_text(*bound[1], kArgumentNames[1]);
  if (bound[2])
    o.output_topic = required_text(*bound[2], kArgumentNames[2]);
  if (bound[3])
    o.consumer_group = required_text(*bound[3], kArgumentNames[3]);
  if (bound[4])
    o.output_path = required_text(*bound[4], kArgumentNames[4]);
  if (bound[5])
    o.skill_name = optional_text(*bound[5], kArgumentNames[5]);
  if (bound[6])
    o.include_raw_json = bound[6]->truthy();
  if (bound[7])
    o.training_results_topic = optional_text(*bound[7], kArgumentNames[7]);
  if (bound[8])
    o.total_cycles = optional_count(*bound[8], kArgumentNames[8]);
  if (bound[9])
    o.callback_url = optional_text(*bound[9], kArgumentNames[9]);
  if (bound[10])
    o.job_id = optional_text(*bound[10], kArgumentNames[10]);
  return o;
}

namespace {

std::optional<std::string> without_trailing_slashes(const std::optional<std::string> &url) {
  if (!url || url->empty())
    return std::nullopt;
  std::string trimmed = *url;
  while (!trimmed.empty() && trimmed.back() == '/')
    trimmed.pop_back();
  return trimmed;
}

// The options of every file: the codec (and level) with the key-value metadata that tells a
// reader the run, the skill and this writer's version. The step files put the sensor names as
// the steps gave them, before normalization, in front of these.
parquet::WriterOptions file_options(parquet::WriterOptions options,
                                    const std::optional<std::string> &run_id,
                                    const std::optional<std::string> &skill_name) {
  auto &kv = options.key_value_metadata;
  if (run_id)
    kv.emplace_back("event_historian.run_id", *run_id);
  if (skill_name)
    kv.emplace_back("event_historian.skill_name", *skill_name);
  kv.emplace_back("event_historian.version", HISTORIAN_VERSION);
  return options;
}

} // namespace

EventHistorianProcessor::EventHistorianProcessor(ProcessorOptions options)
    : EventBase(std::move(options.redis_url), std::move(options.input_topic),
                std::move(options.output_topic), std::move(options.consumer_group)),
      output_path(std::move(options.output_path)), skill_name(std::move(options.skill_name)),
      include_raw_json(options.include_raw_json), run_id(event_base::settings().RUN_ID),
      training_results_topic(std::move(options.training_results_topic)),
      total_cycles(options.total_cycles),
      _buffer(options.max_buffered_rows, options.max_buffered_bytes),
      _cycles(skill_name, total_cycles, without_trailing_slashes(options.callback_url),
              std::move(options.job_id)),
      _reader(_shape, _buffer, _cycles, _episode_log, _steps, *metrics, include_raw_json, run_id),
      _acks(consumer_group, metrics, !options.durable && options.read_count != kDefaultReadCount),
      _takeover(options.claim_idle,
                options.dead_letter_stream && !options.dead_letter_stream->empty()
                    ? std::move(options.dead_letter_stream)
                    : std::nullopt,
                options.max_deliveries),
      _read_count(options.read_count) {
  redis_tls = std::move(options.redis_tls);
  sentinel_user = std::move(options.sentinel_user);
  sentinel_password = std::move(options.sentinel_password);
  const parquet::WriterOptions files = file_options(options.writer_options, run_id, skill_name);
  _steps.set_options(files);
  _cycle_summary.set_options(files);
  _cycle_summary.fix_schema(_cycle_schema());
  _cycle_summary.set_head(_cycle_metadata_row(skill_name, total_cycles));
  _episodes.set_options(files);
  _episodes.fix_schema(_episode_schema());
  _steps.collect_stats();
  _episodes.collect_stats();
  consumer_name_given = options.consumer_name && !options.consumer_name->empty();
  if (consumer_name_given)
    consumer_name = std::move(*options.consumer_name);
  if (options.durable)
    _ledger = std::make_unique<DurableLedger>(options.flush_interval);
  if (options.output_bucket)
    _bucket = std::make_unique<BucketOutput>(options.bucket_config.value_or(s3::Config{}),
                                             std::move(*options.output_bucket), metrics);
}

std::vector<std::string> EventHistorianProcessor::_read_streams() const {
  std::vector<std::string> streams = {input_topic};
  if (training_results_topic && !training_results_topic->empty() &&
      *training_results_topic != input_topic)
    streams.push_back(*training_results_topic);
  return streams;
}

void EventHistorianProcessor::_count_buffered() {
  metrics->rows_buffered.set(static_cast<double>(_buffer.size()));
  // What the byte bound counts: a durable checkpoint's rows stay in memory while written.
  metrics->bytes_buffered.set(static_cast<double>(_buffer.bytes_held()));
}

StepRows EventHistorianProcessor::_step_rows() {
  return StepRows(_shape, _steps, *metrics, include_raw_json, _ledger != nullptr);
}

std::int64_t EventHistorianProcessor::rows_dropped() const {
  return _steps.rows_dropped() + _cycle_summary.rows_dropped() + _episodes.rows_dropped();
}

std::vector<std::string> EventHistorianProcessor::incomplete_outputs() const {
  std::vector<std::string> files;
  for (const Dataset *dataset : {&_steps, &_cycle_summary, &_episodes})
    if (!dataset->complete() && dataset->_output_file)
      files.push_back(*dataset->_output_file);
  return files;
}

asio::awaitable<void> EventHistorianProcessor::init() {
  // Every row and cycle file may carry these: a text the output cannot hold is refused here,
  // before any step is taken in.
  if (run_id)
    _check_column_text(*run_id, "run_id");
  if (skill_name)
    _check_column_text(*skill_name, "skill_name");
  fs::create_directories(output_path);
  std::string base = "v2_event_historian_" + _sanitize_filename(run_id);
  if (skill_name && !skill_name->empty())
    base += "_" + _sanitize_filename(skill_name);

  // Taken before any name is chosen or anything touched, and held until the processor goes:
  // a second historian on these names would reuse our part numbers or replace our files.
  const std::string lock_path = join_path(output_path, "." + base + ".lock");
  if (!_output_lock || _output_lock->path() != lock_path) {
    _output_lock.reset();
    _output_lock = OutputLock::try_acquire(lock_path);
    if (!_output_lock)
      throw std::runtime_error("another historian is writing " + base + " in " + output_path +
                               " (it holds " + lock_path + ")");
  }

  bool commit_local = false;
  if (_bucket) {
    _bucket->name(base, output_path);
    auto start = [this, &base, &commit_local] { commit_local = _bucket_start(base); };
    co_await loop::run_blocking(std::move(start));
  }
  // A durable run that was stopped before its final files were written goes on where its
  // checkpoint left it, with the names it chose then.
  const bool resumed = _ledger && _durable_resume(base);
  if (resumed && commit_local) {
    // Before recovery acknowledges what it holds.
    const Checkpoint held = _checkpoint_state();
    auto commit = [this, &held] {
      _bucket->upload_parts(
          {*_steps._parts_dir, *_cycle_summary._parts_dir, *_episodes._parts_dir});
      Checkpoint with_parts = held;
      _bucket->save(with_parts);
      _bucket->upload_checkpoint(with_parts);
    };
    co_await loop::run_blocking(std::move(commit));
  }
  const std::string stamp = std::to_string(std::time(nullptr));
  // A name that an object in the bucket holds is taken too.
  std::function<bool(const std::string &)> taken;
  if (_bucket)
    taken = [this](const std::string &path) { return _bucket->final_taken(path); };
  auto choose = [&] {
    if (!resumed) {
      _steps.choose_names(output_path, base, stamp, taken);
      _cycle_summary.choose_names(output_path, base + "_cycle_summary", stamp, taken);
    }
    // A run begun by a release without the episodes dataset gets one now.
    if (!_episodes.named())
      _episodes.choose_names(output_path, base + "_episodes", stamp, taken);
    if (_bucket)
      _bucket_adopt();
  };
  co_await loop::run_blocking(std::move(choose));
  // Parts a killed run was still writing; its finished parts are kept and merged.
  for (const Dataset *dataset : {&_steps, &_cycle_summary, &_episodes})
    dataset->remove_temporaries();
  _remove_merge_leftovers(output_path, base);
  const std::vector<std::string> orphans =
      _orphaned_parts_dirs(output_path, base,
                           {fs::path(*_steps._parts_dir).filename().string(),
                            fs::path(*_cycle_summary._parts_dir).filename().string(),
                            fs::path(*_episodes._parts_dir).filename().string()});
  if (!orphans.empty()) {
    std::string listed;
    for (const std::string &dir : orphans)
      listed += (listed.empty() ? "" : ", ") + dir;
    logger().warning("[EventHistorian] Parts of earlier runs were never merged: %s; merge each "
                     "into its final file with: event-historian compact PARTS_DIR",
                     listed.c_str());
  }
  // The consumer is named after the host and the output base (which one process at a time
  // holds), so that a later run of the same job finds the entries an earlier one left pending
  // (in either mode). The first checkpoint holds the names and the consumer, so that a crash
  // before any entry was acknowledged still finds its pending entries.
  if (!resumed && !consumer_name_given)
    consumer_name = "historian-" + host_name() + "-" + base;
  if (_ledger && !resumed) {
    const Checkpoint first = _checkpoint_state();
    _write_checkpoint(_ledger->checkpoint_file(), first);
    if (_bucket) {
      auto upload = [this, &first] { _bucket->upload_checkpoint(first); };
      co_await loop::run_blocking(std::move(upload));
    }
  }
  if (_bucket && !_ledger)
    _bucket->start_uploader(
        {*_steps._parts_dir, *_cycle_summary._parts_dir, *_episodes._parts_dir});

  _is_initialized = true;
  logger().debug("[EventHistorian] Initialized output: %s", _steps._output_file->c_str());
  logger().debug("[EventHistorian] Initialized cycle output: %s",
                 _cycle_summary._output_file->c_str());
  logger().debug("[EventHistorian] Initialized episodes output: %s",
                 _episodes._output_file->c_str());
  co_return;
}

asio::awaitable<void> EventHistorianProcessor::disconnect() {
  _is_running = false;
  _shape._settle_unknown_widths(_buffer.size());
  if (_ledger) {
    co_await _durable_checkpoint();
    if (!_durably_complete()) {
      // What was written after the last checkpoint is set aside at the next start, and the
      // entries it came from are read again from Redis: nothing is merged now.
      logger().error("[EventHistorian] Stopped before everything was checkpointed; entries "
                     "since the last checkpoint stay pending. Start again with the same options "
                     "to finish the final files.");
      for (Dataset *dataset : {&_steps, &_cycle_summary, &_episodes})
        dataset->mark_incomplete();
      co_await _finish_callbacks();
      co_await EventBase::disconnect();
      co_return;
    }
  } else {
    co_await _drain_pending();
  }
  if (_bucket) {
    // The upload under way, if any, ends first; the stop's own uploads follow the merge.
    auto stop = [this] { _bucket->stop_uploader(); };
    co_await loop::run_blocking(std::move(stop));
  }
  _steps.close_part();
  _cycle_summary.close_part();
  _write_remaining_episodes();
  // The jobs are named apart from the co_await: GCC 12 loses lambda captures made inside one.
  for (Dataset *dataset : {&_steps, &_cycle_summary, &_episodes}) {
    auto compact = [this, dataset] {
      const auto started = std::chrono::steady_clock::now();
      dataset->compact();
      metrics->compaction_seconds.observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    };
    co_await loop::run_blocking(std::move(compact));
  }
  if (_bucket) {
    auto publish = [this] { _bucket_publish(); };
    co_await loop::run_blocking(std::move(publish));
  }
  co_await _finish_callbacks();
  // Both final files are complete: the run is over, and a new start begins a new one.
  if (_ledger && incomplete_outputs().empty()) {
    std::error_code ec;
    fs::remove(_ledger->checkpoint_file(), ec);
  }
  co_await EventBase::disconnect();
}

asio::awaitable<void> EventHistorianProcessor::_drain_if_full() {
  if (!_buffer.full())
    co_return;
  _shape._settle_unknown_widths(_buffer.size());
  co_await _drain_pending();
}

asio::awaitable<EventHistorianProcessor::WrittenPart> EventHistorianProcessor::_drain_pending() {
  if (!_shape.known())
    co_return WrittenPart{};
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  auto guard = co_await _flush_lock->lock();
  if (_buffer.empty())
    co_return WrittenPart{};
  // The batch belongs to the flush job from here on, even if this coroutine goes away.
  std::shared_ptr<RowBuffer> rows = _buffer.take();
  // A durable run keeps the rows of a failed flush and tries again, spaced, while reading
  // waits: their entries are not acknowledged, so nothing is lost even if it never succeeds.
  auto delay = std::chrono::milliseconds(500);
  _count_buffered();
  for (;;) {
    std::string error;
    // Named apart from the co_await: GCC 12 loses lambda captures made inside one.
    auto flush = [this, rows] { return _flush_rows(*rows); };
    const auto started = std::chrono::steady_clock::now();
    try {
      // Assigned apart from the co_await: GCC 12 mishandles one inside a braced initializer.
      WrittenPart written;
      written.path = co_await loop::run_blocking(std::move(flush));
      written.rows = rows->size();
      metrics->flush_seconds.observe(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      if (_ledger)
        _ledger->mark_due();
      co_return written;
    } catch (const std::exception &e) {
      error = e.what();
    }
    if (!_ledger) {
      _steps.count_dropped(static_cast<std::int64_t>(rows->size()));
      metrics->rows_dropped.add(rows->size());
      logger().error("[EventHistorian] Parquet flush of %d rows failed; rows dropped: %s",
                     static_cast<int>(rows->size()), error.c_str());
      co_return WrittenPart{};
    }
    if (!_is_running) {
      logger().error("[EventHistorian] Parquet flush of %d rows failed; rows kept pending: %s",
                     static_cast<int>(rows->size()), error.c_str());
      _buffer.put_back(std::move(*rows));
      _count_buffered();
      co_return WrittenPart{};
    }
    logger().error("[EventHistorian] Parquet flush of %d rows failed; retrying in %.1f s: %s",
                   static_cast<int>(rows->size()), static_cast<double>(delay.count()) / 1000,
                   error.c_str());
    // Woken early by a stop, which then makes one last attempt.
    const auto until = std::chrono::steady_clock::now() + delay;
    while (_is_running && std::chrono::steady_clock::now() < until)
      co_await loop::sleep_for(std::chrono::milliseconds(100));
    delay = std::min<std::chrono::milliseconds>(delay * 2, std::chrono::seconds(30));
  }
}

asio::awaitable<std::optional<json::Object>>
EventHistorianProcessor::process_message(const event_base::EventMessage &message) {
  if (!_is_initialized) {
    logger().warning("[EventHistorian] Not initialized; skipping message");
    co_return std::nullopt;
  }
  // Most steps are read straight from the parsed text; the rest take the tree below.
  json::Value materialized;
  const json::Value *data = &message.data;
  if (message.document) {
    if (_reader._process_step_in_place(*message.document, message.timestamp, message.message_id)) {
      co_await _drain_if_full();
      co_return std::nullopt;
    }
    materialized = message.document->to_value();
    data = &materialized;
  }
  const json::Value &payload_value = data->truthy() ? *data : intake::empty_object();
  if (!payload_value.is_object()) {
    logger().warning("[EventHistorian] Invalid step payload: %s",
                     std::string(payload_value.type_name()).c_str());
    co_return std::nullopt;
  }
  const json::Object &payload = payload_value.as_object();
  switch (intake::payload_kind(payload.find("type"), payload.find("training_result"))) {
  case intake::PayloadKind::kSkillStart:
    _cycles._handle_skill_start(payload);
    metrics->skill_starts.add();
    co_return std::nullopt;
  case intake::PayloadKind::kTrainingResult:
    co_await _handle_training_result(payload);
    co_return std::nullopt;
  case intake::PayloadKind::kStep:
    break;
  }
  _reader.read_tree_step(payload_value, message.timestamp, message.message_id);
  co_await _drain_if_full();
  co_return std::nullopt;
}

asio::awaitable<void>
EventHistorianProcessor::_create_consumer_group_for_topic(std::string topic, std::string start_id) {
  if (!redis_client)
    throw std::runtime_error("Not connected to Redis");
  bool exists = false;
  // Built apart from the co_await: GCC 12 miscompiles braced lists inside one.
  std::vector<std::string> create = {"XGROUP",       "CREATE", topic,
                                     consumer_group, start_id, "MKSTREAM"};
  try {
    co_await redis_client->command(std::move(create));
  } catch (const redis::ResponseError &e) {
    if (std::string_view(e.what()).find("BUSYGROUP") == std::string_view::npos)
      throw;
    exists = true;
  }
  if (exists) {
    logger().debug("[EventHistorian] Consumer group '%s' already exists for topic '%s'",
                   consumer_group.c_str(), topic.c_str());
  } else {
    logger().debug("[EventHistorian] Created consumer group '%s' for topic '%s'",
                   consumer_group.c_str(), topic.c_str());
  }
}

void EventHistorianProcessor::_follow_master() {
  if (redis_client->cluster()) {
    _follow_cluster();
    return;
  }
  metrics->redis_master.set({{"address", redis_client->endpoint().address()}});
  const std::shared_ptr<redis::MasterLocator> &locator = redis_client->locator();
  if (!locator)
    return;
  std::weak_ptr<HistorianMetrics> counts = metrics;
  const std::string name = redis_client->endpoint().master_name;
  locator->on_switch = [counts, name, moved = _recheck_due](const redis::HostPort &from,
                                                            const redis::HostPort &to) {
    *moved = true;
    logger().warning("[EventHistorian] Redis master '%s' moved from %s to %s", name.c_str(),
                     from.address().c_str(), to.address().c_str());
    if (auto m = counts.lock()) {
      m->redis_failovers.add();
      m->redis_master.set({{"address", to.address()}});
    }
  };
  locator->on_sentinels = [counts](bool answering, const std::string &error) {
    if (answering)
      logger().warning("[EventHistorian] A Sentinel answers again");
    else
      logger().error("[EventHistorian] No Sentinel answers: %s", error.c_str());
    if (auto m = counts.lock())
      m->set_sentinels(answering, error);
  };
}

asio::awaitable<void> EventHistorianProcessor::start() {
  co_await connect();
  logger().debug("[EventHistorian] Connected to Redis at %s", redis::masked_url(redis_url).c_str());
  _follow_master();
  co_await _create_consumer_group_for_topic(input_topic, "0");
  const bool read_results = training_results_topic && !training_results_topic->empty();
  if (read_results)
    co_await _create_consumer_group_for_topic(*training_results_topic, "$");
  _is_running = true;
  logger().debug("[EventHistorian] Started event processing for consumer '%s'",
                 consumer_name.c_str());
  if (on_started)
    on_started();
  _start_cleanup_thread();
  if (poll_group_lag) {
    const auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(executor, _poll_group_lag(), asio::detached);
  }
  if (redis_client->cluster())
    asio::co_spawn(co_await asio::this_coro::executor, _watch_cluster(), asio::detached);

  std::exception_ptr escaped;
  try {
    if (_ledger)
      co_await _recover_pending(read_results);
    else
      co_await _handle_own_pending(read_results);
    co_await _read_loop(read_results);
  } catch (...) {
    escaped = std::current_exception();
  }
  _is_running = false;
  co_await disconnect();
  if (escaped)
    std::rethrow_exception(escaped);
}

} // namespace networking::remote_historian::v2
