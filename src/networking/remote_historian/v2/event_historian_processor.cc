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
#include "networking/remote_historian/v2/output/part_files.h"
#include "parquet/io.h"
#include "parquet/parsed_file.h"
#include "redis/endpoint.h"
#include "redis/error.h"
#include "json/parse.h"
#include "json/utf8.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

// How long the read loop polls for a reply it expects soon (a full batch came before it)
// before it lets the thread sleep. A local server answers within a few hundred microseconds;
// a slower one makes the loop stop polling after its first late reply.
constexpr std::chrono::microseconds kEagerPollWindow{500};

// Whether a worker parsing a batch's texts ahead of the loop gains more than it costs. With
// two cores, one is the loop's and the other the Redis server's: the worker then takes its
// time from the server, and waking it and moving each parsed document between the cores cost
// the loop more than the parses it is spared (measured: twice the CPU per entry, and a lower
// rate, for reads of 10 and of 1000 entries alike).
bool parse_ahead_pays() {
  static const bool pays = std::thread::hardware_concurrency() >= 4;
  return pays;
}

bool is_stream_pair(const redis::Reply &stream) {
  return stream.type == redis::Reply::Type::kArray && stream.elements.size() == 2 &&
         stream.elements[1].type == redis::Reply::Type::kArray;
}

bool is_entry_pair(const redis::Reply &entry) {
  return entry.type == redis::Reply::Type::kArray && entry.elements.size() == 2;
}

bool is_field_map(const redis::Reply &fields) {
  return fields.type == redis::Reply::Type::kArray && fields.elements.size() % 2 == 0;
}

// The envelope fields of an entry's field map (nullptr: absent); a repeated field gives its
// last value.
struct EnvelopeFields {
  const std::string *data = nullptr;
  const std::string *timestamp = nullptr;
  const std::string *correlation_id = nullptr;
  const std::string *unique_id = nullptr;
};

EnvelopeFields envelope_fields(const redis::Reply &fields) {
  EnvelopeFields found;
  for (std::size_t i = 0; i + 1 < fields.elements.size(); i += 2) {
    const std::string &name = fields.elements[i].str;
    const std::string *value = &fields.elements[i + 1].str;
    if (name == "data") {
      found.data = value;
    } else if (name == "timestamp") {
      found.timestamp = value;
    } else if (name == "correlation_id") {
      found.correlation_id = value;
    } else if (name == "unique_id") {
      found.unique_id = value;
    }
  }
  return found;
}

// The stream entries of one XREADGROUP reply, in order, up to its first malformed element.
struct ReadBatch {
  struct Entry {
    const std::string *stream_name;
    const redis::Reply *entry;
  };
  std::vector<Entry> entries;
  // Some stream gave a whole COUNT of entries.
  bool full = false;
  // The error of the first malformed element, raised once the entries before it are handled.
  const char *malformed = nullptr;
};

ReadBatch read_batch(const redis::Reply &reply, std::size_t count) {
  ReadBatch batch;
  for (const redis::Reply &stream : reply.elements) {
    if (!is_stream_pair(stream)) {
      batch.malformed = "reply element is not a (stream, entries) pair";
      return batch;
    }
    if (stream.elements[1].elements.size() >= count)
      batch.full = true;
    for (const redis::Reply &entry : stream.elements[1].elements) {
      if (!is_entry_pair(entry)) {
        batch.malformed = "stream entry is not an (id, fields) pair";
        return batch;
      }
      batch.entries.push_back({&stream.elements[0].str, &entry});
    }
  }
  return batch;
}

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

// Strict UTF-8 decoding of one envelope value.
const std::string &utf8(const std::string &bytes, const char *field) {
  if (!json::is_valid_utf8(bytes))
    throw std::invalid_argument(std::string("'utf-8' codec can't decode the ") + field + " field");
  return bytes;
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

EventHistorianProcessor::EventHistorianProcessor(ProcessorOptions options)
    : EventBase(std::move(options.redis_url), std::move(options.input_topic),
                std::move(options.output_topic), std::move(options.consumer_group)),
      output_path(std::move(options.output_path)), skill_name(std::move(options.skill_name)),
      include_raw_json(options.include_raw_json), run_id(event_base::settings().RUN_ID),
      training_results_topic(std::move(options.training_results_topic)),
      total_cycles(options.total_cycles), _job_id(std::move(options.job_id)),
      _max_buffered_rows(
          static_cast<std::size_t>(std::max<std::int64_t>(1, options.max_buffered_rows))),
      _max_buffered_bytes(
          static_cast<std::size_t>(std::max<std::int64_t>(1, options.max_buffered_bytes))),
      writer_options(std::move(options.writer_options)), _current_skill_name(skill_name) {
  if (options.callback_url && !options.callback_url->empty()) {
    std::string url = *options.callback_url;
    while (!url.empty() && url.back() == '/')
      url.pop_back();
    _callback_url = std::move(url);
  }
  if (options.consumer_name && !options.consumer_name->empty()) {
    consumer_name = std::move(*options.consumer_name);
    _consumer_name_given = true;
  }
  _durable = options.durable;
  _flush_interval = options.flush_interval;
  if (options.dead_letter_stream && !options.dead_letter_stream->empty())
    _dead_letter_stream = std::move(options.dead_letter_stream);
  _max_deliveries = options.max_deliveries;
  _read_count = options.read_count;
  _ack_per_read = !_durable && _read_count != kDefaultReadCount;
}

std::vector<std::string> EventHistorianProcessor::_read_streams() const {
  std::vector<std::string> streams = {input_topic};
  if (training_results_topic && !training_results_topic->empty() &&
      *training_results_topic != input_topic)
    streams.push_back(*training_results_topic);
  return streams;
}

void EventHistorianProcessor::_count_buffered() {
  metrics->rows_buffered.set(static_cast<double>(_pending_rows.size()));
  // What the byte bound counts: a durable checkpoint's rows stay in memory while written.
  metrics->bytes_buffered.set(static_cast<double>(_pending_rows.bytes() + _bytes_in_flight));
}

asio::awaitable<void> EventHistorianProcessor::_poll_group_lag() {
  const auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<redis::Connection> connection;
  while (_is_running) {
    try {
      if (!connection)
        connection = co_await redis::Connection::connect(executor, redis::parse_url(redis_url),
                                                         redis_timeout);
      for (const auto &stream : metrics->streams()) {
        std::vector<std::string> ask = {"XINFO", "GROUPS", stream->stream};
        const redis::Reply groups = co_await connection->command(std::move(ask));
        double lag = std::numeric_limits<double>::quiet_NaN();
        for (const redis::Reply &group : groups.elements) {
          const redis::Reply *name = nullptr;
          const redis::Reply *value = nullptr;
          for (std::size_t i = 0; i + 1 < group.elements.size(); i += 2) {
            if (group.elements[i].str == "name")
              name = &group.elements[i + 1];
            else if (group.elements[i].str == "lag")
              value = &group.elements[i + 1];
          }
          // A nil lag: Redis cannot tell it (entries deleted from the stream's middle).
          if (name && name->str == consumer_group && value &&
              value->type == redis::Reply::Type::kInteger)
            lag = static_cast<double>(value->integer);
        }
        stream->lag.set(lag);
      }
    } catch (const std::exception &) {
      // Redis not answering shows in the health check; the lag is unknown meanwhile.
      for (const auto &stream : metrics->streams())
        stream->lag.set(std::numeric_limits<double>::quiet_NaN());
    }
    for (int i = 0; i < 10 && _is_running; ++i)
      co_await loop::sleep_for(std::chrono::milliseconds(100));
  }
  if (connection)
    connection->close();
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

  // A durable run that was stopped before its final files were written goes on where its
  // checkpoint left it, with the names it chose then.
  const bool resumed = _durable && _durable_resume(base);
  if (!resumed) {
    const std::string stamp = std::to_string(std::time(nullptr));
    _output_file = _final_name(output_path, base, stamp);
    _parts_dir = _parts_dir_for(*_output_file);
    _cycle_output_file = _final_name(output_path, base + "_cycle_summary", stamp);
    _cycle_parts_dir = _parts_dir_for(*_cycle_output_file);
  }
  // Parts a killed run was still writing; its finished parts are kept and merged.
  _remove_part_temporaries(*_parts_dir);
  _remove_part_temporaries(*_cycle_parts_dir);
  _remove_merge_leftovers(output_path, base);
  const std::vector<std::string> orphans = _orphaned_parts_dirs(
      output_path, base,
      {fs::path(*_parts_dir).filename().string(), fs::path(*_cycle_parts_dir).filename().string()});
  if (!orphans.empty()) {
    std::string listed;
    for (const std::string &dir : orphans)
      listed += (listed.empty() ? "" : ", ") + dir;
    logger().warning("[EventHistorian] Parts of earlier runs were never merged: %s; merge each "
                     "into its final file with: event-historian compact PARTS_DIR",
                     listed.c_str());
  }
  // The first checkpoint holds the names and the consumer, so that a crash before any entry
  // was acknowledged still finds its pending entries. The consumer is named after the host and
  // the output base (which one process at a time holds), so that a later run of the same job
  // finds the entries that failed in an earlier one too.
  if (_durable && !resumed) {
    if (!_consumer_name_given)
      consumer_name = "historian-" + host_name() + "-" + base;
    _write_checkpoint(*_checkpoint_file, _checkpoint_state());
  }

  _is_initialized = true;
  logger().debug("[EventHistorian] Initialized output: %s", _output_file->c_str());
  logger().debug("[EventHistorian] Initialized cycle output: %s", _cycle_output_file->c_str());
  co_return;
}

asio::awaitable<void> EventHistorianProcessor::disconnect() {
  _is_running = false;
  _settle_unknown_widths();
  if (_durable) {
    co_await _durable_checkpoint();
    if (!_durably_complete()) {
      // What was written after the last checkpoint is set aside at the next start, and the
      // entries it came from are read again from Redis: nothing is merged now.
      logger().error("[EventHistorian] Stopped before everything was checkpointed; entries "
                     "since the last checkpoint stay pending. Start again with the same options "
                     "to finish the final files.");
      _incomplete_outputs.push_back(*_output_file);
      _incomplete_outputs.push_back(*_cycle_output_file);
      co_await _finish_callbacks();
      co_await EventBase::disconnect();
      co_return;
    }
  } else {
    co_await _drain_pending();
  }
  if (_writer) {
    _close_part(_writer);
    _writer_open = false;
  }
  _close_part(_cycle_writer);
  // The jobs are named apart from the co_await: GCC 12 loses lambda captures made inside one.
  bool complete = true;
  auto compact_steps = [this, &complete] {
    const auto started = std::chrono::steady_clock::now();
    complete = _compact_parts(_parts_dir, _output_file, writer_options);
    metrics->compaction_seconds.observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    _log_final_file("step", *_output_file);
  };
  co_await loop::run_blocking(std::move(compact_steps));
  if (!complete)
    _incomplete_outputs.push_back(*_output_file);
  complete = true;
  auto compact_cycles = [this, &complete] {
    const auto started = std::chrono::steady_clock::now();
    complete = _compact_parts(_cycle_parts_dir, _cycle_output_file, writer_options);
    metrics->compaction_seconds.observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    _log_final_file("cycle summary", *_cycle_output_file);
  };
  co_await loop::run_blocking(std::move(compact_cycles));
  if (!complete)
    _incomplete_outputs.push_back(*_cycle_output_file);
  co_await _finish_callbacks();
  // Both final files are complete: the run is over, and a new start begins a new one.
  if (_durable && _incomplete_outputs.empty()) {
    std::error_code ec;
    fs::remove(*_checkpoint_file, ec);
  }
  co_await EventBase::disconnect();
}

void EventHistorianProcessor::_log_final_file(const char *dataset, const std::string &path) {
  if (!logger().enabled(event_base::LogLevel::kDebug))
    return;
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    logger().debug("[EventHistorian] No final %s file written", dataset);
    return;
  }
  try {
    const auto file = parquet::ParsedFile::open(parquet::InputFile::open(path));
    logger().debug("[EventHistorian] Final %s file %s: %lld rows", dataset, path.c_str(),
                   static_cast<long long>(file.num_rows()));
  } catch (const std::exception &e) {
    logger().debug("[EventHistorian] Final %s file %s: unreadable: %s", dataset, path.c_str(),
                   e.what());
  }
}

void EventHistorianProcessor::_settle_unknown_widths() {
  if (_pending_rows.empty() || (_obs_dim && _act_dim))
    return;
  // Rows wait for both widths; a run whose steps never carried one of the vectors (an
  // observation-only run) would otherwise lose every row here.
  const char *missing = !_obs_dim && !_act_dim ? "observation or action"
                        : !_obs_dim            ? "observation"
                                               : "action";
  logger().warning("[EventHistorian] No step carried an %s vector; writing %d rows without %s "
                   "columns",
                   missing, static_cast<int>(_pending_rows.size()), missing);
  _obs_dim = _obs_dim.value_or(0);
  _act_dim = _act_dim.value_or(0);
}

asio::awaitable<void> EventHistorianProcessor::_finish_callbacks() {
  const std::size_t unsent = co_await _callbacks.finish();
  metrics->callbacks.dropped.add(unsent);
  if (unsent > 0)
    logger().warning("[EventHistorian] %d cycle metrics callbacks dropped: not sent within %d s "
                     "of the stop",
                     static_cast<int>(unsent), static_cast<int>(kCallbackTimeout.count()));
}

asio::awaitable<void> EventHistorianProcessor::_drain_if_full() {
  if (_pending_rows.size() + _rows_in_flight < _max_buffered_rows &&
      _pending_rows.bytes() + _bytes_in_flight < _max_buffered_bytes)
    co_return;
  _settle_unknown_widths();
  co_await _drain_pending();
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

asio::awaitable<void> EventHistorianProcessor::start() {
  co_await connect();
  logger().debug("[EventHistorian] Connected to Redis at %s", redis::masked_url(redis_url).c_str());
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

  std::exception_ptr escaped;
  try {
    if (_durable)
      co_await _recover_pending(read_results);
    co_await _read_loop(read_results);
  } catch (...) {
    escaped = std::current_exception();
  }
  _is_running = false;
  co_await disconnect();
  if (escaped)
    std::rethrow_exception(escaped);
}

asio::awaitable<void> EventHistorianProcessor::_read_loop(bool read_results) {
  using Clock = std::chrono::steady_clock;
  // Set after a read that returned a full batch quickly: a backlog is waiting, so the next
  // reply is due within a round trip and the loop polls for it instead of sleeping.
  bool backlog = false;
  std::vector<std::string> read = {
      "XREADGROUP", "GROUP", consumer_group, consumer_name, "COUNT", std::to_string(_read_count),
      "BLOCK",      "1",     "STREAMS",      input_topic};
  const bool two = read_results && *training_results_topic != input_topic;
  if (two)
    read.push_back(*training_results_topic);
  read.push_back(">");
  if (two)
    read.push_back(">");
  // The next read is sent as soon as a batch has arrived, so that the server prepares it
  // while the loop handles this one: the round trip overlaps the work instead of following
  // it. Each entry is still acknowledged only once handled, so the read only comes earlier
  // on the wire. After a stop, the read under way is still collected and its entries
  // handled: they have been delivered to us.
  std::shared_ptr<redis::Connection::Ahead> next_read;
  metrics->set_reading(true);
  while (_is_running || next_read) {
    bool failed = false;
    metrics->round_started();
    try {
      if (!redis_client)
        throw std::runtime_error("Not connected to Redis");
      const Clock::time_point sent = Clock::now();
      if (backlog)
        loop::poll_eagerly_until(sent + kEagerPollWindow);
      backlog = false;
      redis::Reply reply;
      try {
        if (next_read)
          reply = co_await redis_client->collect(std::exchange(next_read, nullptr));
        else
          reply = co_await redis_client->command(read);
      } catch (const std::exception &e) {
        metrics->redis_failed(e.what());
        throw;
      }
      metrics->redis_succeeded();
      if (reply.type != redis::Reply::Type::kNil && reply.type != redis::Reply::Type::kArray)
        throw std::runtime_error("unexpected reply to XREADGROUP");
      const bool quick = Clock::now() - sent <= kEagerPollWindow;
      const ReadBatch batch = read_batch(reply, static_cast<std::size_t>(_read_count));
      for (const ReadBatch::Entry &e : batch.entries)
        metrics->stream(*e.stream_name).read.add();
      backlog = quick && batch.full && !_ack_per_read;
      if (_is_running && !batch.entries.empty())
        next_read = redis_client->send_ahead(read);
      // The texts go to a worker to be parsed while the loop handles the entries before them,
      // when the machine has a core for it. Declared after the reply, so that it is finished
      // before the texts go.
      std::optional<ParseAhead> ahead;
      if (parse_ahead_pays() && batch.entries.size() >= 2) {
        std::vector<const std::string *> texts;
        texts.reserve(batch.entries.size());
        for (const ReadBatch::Entry &e : batch.entries) {
          const redis::Reply &fields = e.entry->elements[1];
          texts.push_back(is_field_map(fields) ? envelope_fields(fields).data : nullptr);
        }
        ahead.emplace(texts);
        ahead->start();
      }
      for (std::size_t i = 0; i < batch.entries.size(); ++i) {
        ParseAhead::Parsed parsed = ahead ? ahead->take(i) : ParseAhead::Parsed{};
        co_await _handle_entry(*batch.entries[i].stream_name, *batch.entries[i].entry,
                               std::move(parsed));
      }
      if (_ack_per_read)
        _send_read_acks();
      if (batch.malformed)
        throw std::runtime_error(batch.malformed);
      if (_durable)
        co_await _durable_tick(batch.entries.empty());
      if (!batch.entries.empty())
        _count_buffered();
    } catch (const std::exception &e) {
      logger().error("[EventHistorian] Error reading messages: %s", e.what());
      failed = true;
    }
    if (failed)
      co_await loop::sleep_for(std::chrono::milliseconds(100));
  }
  metrics->set_reading(false);
  // The last acknowledgements are still in flight; their failures are logged per entry.
  if (redis_client) {
    try {
      co_await redis_client->drain();
    } catch (const std::exception &) {
      // Each failed acknowledgement has already been logged by its own handler.
    }
  }
}

void EventHistorianProcessor::_send_read_acks() {
  // Without a connection the entries stay pending, and their acknowledgements wait here.
  if (!redis_client)
    return;
  for (auto &[stream, ids] : _read_acks) {
    if (!ids.empty())
      _send_bulk_ack(stream, ids.begin(), ids.end());
    ids.clear();
  }
}

void EventHistorianProcessor::_send_bulk_ack(const std::string &stream,
                                             std::vector<std::string>::const_iterator first,
                                             std::vector<std::string>::const_iterator last) {
  std::vector<std::string> ack = {"XACK", stream, consumer_group};
  ack.insert(ack.end(), first, last);
  const auto count = static_cast<std::size_t>(last - first);
  // Sent without waiting: the reply is collected with the next read's round trip. The handler
  // holds the counters: it may run as the connection closes, after the processor.
  StreamMetrics *acked = &metrics->stream(stream);
  redis_client->send(ack, [count, acked, all = metrics,
                           name = stream](const std::exception_ptr &error, const redis::Reply &) {
    if (!error) {
      acked->acknowledged.add(count);
      return;
    }
    acked->failed.add(count);
    try {
      std::rethrow_exception(error);
    } catch (const std::exception &e) {
      all->redis_failed(e.what());
      logger().error("[EventHistorian] Acknowledging %d entries of %s failed: %s",
                     static_cast<int>(count), name.c_str(), e.what());
    }
  });
}

event_base::EventMessage EventHistorianProcessor::_decode_entry(const redis::Reply &entry,
                                                                ParseAhead::Parsed ahead) {
  const std::string &raw_id = entry.elements[0].str;
  const redis::Reply &fields = entry.elements[1];
  if (!is_field_map(fields))
    throw std::invalid_argument("entry fields are not a field map");
  const auto [data, timestamp, correlation_id, unique_id] = envelope_fields(fields);
  event_base::EventMessage message;
  // The parser itself refuses text that is not UTF-8.
  if (data == nullptr) {
    message.data = json::Object{};
  } else {
    ParseAhead::Parsed parsed = ahead.done ? std::move(ahead) : ParseAhead::parse(*data);
    if (parsed.document) {
      message.document = std::make_shared<const json::Document>(std::move(*parsed.document));
    } else {
      message.data = json::parse(*data);
    }
  }
  if (timestamp) {
    auto ts = _parse_float_text(utf8(*timestamp, "timestamp"));
    if (!ts)
      throw std::invalid_argument("could not convert string to float: '" + *timestamp + "'");
    message.timestamp = *ts;
  }
  if (correlation_id && !utf8(*correlation_id, "correlation_id").empty())
    message.correlation_id = *correlation_id;
  if (unique_id && !utf8(*unique_id, "unique_id").empty())
    message.unique_id = *unique_id;
  message.message_id = utf8(raw_id, "entry identifier");
  return message;
}

asio::awaitable<void> EventHistorianProcessor::_handle_entry(const std::string &stream_name,
                                                             const redis::Reply &entry,
                                                             ParseAhead::Parsed ahead) {
  const std::string &raw_id = entry.elements[0].str;
  StreamMetrics &counts = metrics->stream(stream_name);
  std::optional<std::string> failure;
  try {
    event_base::EventMessage message = _decode_entry(entry, std::move(ahead));
    std::optional<json::Object> result = co_await process_message(message);
    if (result) {
      std::optional<std::string> reply_id = message.unique_id;
      if (!reply_id) {
        if (const json::Value *sim_id = result->find("sim_id"))
          reply_id = _text_or_null(sim_id);
      }
      co_await publish_message(json::Value(std::move(*result)), message.correlation_id, reply_id);
    }
    if (!redis_client)
      throw std::runtime_error("Not connected to Redis");
    // A durable run acknowledges the entry once a checkpoint holds its effects (below).
    if (_ack_per_read) {
      auto stream = std::find_if(_read_acks.begin(), _read_acks.end(),
                                 [&stream_name](const auto &s) { return s.first == stream_name; });
      if (stream == _read_acks.end())
        stream = _read_acks.insert(stream, {stream_name, {}});
      stream->second.push_back(raw_id);
    } else if (!_durable) {
      // Sent without waiting: the reply is collected with the next read's round trip. The
      // handler holds the counters: it may run as the connection closes, after the processor.
      StreamMetrics *acked = &counts;
      redis_client->send(
          {"XACK", stream_name, consumer_group, raw_id},
          [raw_id, acked, all = metrics](const std::exception_ptr &error, const redis::Reply &) {
            if (!error) {
              acked->acknowledged.add();
              return;
            }
            acked->failed.add();
            try {
              std::rethrow_exception(error);
            } catch (const std::exception &e) {
              all->redis_failed(e.what());
              logger().error("[EventHistorian] Error processing message %s: %s", raw_id.c_str(),
                             e.what());
            }
          });
    }
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Error processing message %s: %s", raw_id.c_str(), e.what());
    counts.failed.add();
    failure = e.what();
  }
  if (!_durable)
    co_return;
  if (failure) {
    _callbacks_to_build.clear();
    co_await _entry_failed(stream_name, entry, *failure);
  } else {
    // The reports describe the state once the entry was handled, as in the default mode.
    for (const std::string &skill : _callbacks_to_build)
      _callbacks_after_checkpoint.push_back(_cycle_callback_report(skill));
    _callbacks_to_build.clear();
    _entry_handled(stream_name, raw_id);
    if (_checkpoint_due)
      co_await _durable_tick();
    co_await _hold_at_bound();
  }
}

} // namespace networking::remote_historian::v2
