// The read loop: XREADGROUP rounds with the next read sent ahead, each entry decoded, processed
// and handed to acknowledgement, and the consumer group's lag polled beside it.

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "loop/loop.h"
#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"
#include "json/parse.h"
#include "json/utf8.h"

namespace networking::remote_historian::v2 {

namespace {

// How long the read loop polls for a reply it expects soon (a full batch came before it)
// before it lets the thread sleep. A local server answers within a few hundred microseconds;
// a slower one makes the loop stop polling after its first late reply.
constexpr std::chrono::microseconds kEagerPollWindow{500};

// This consumer's pending entries asked for per round trip at the start.
constexpr const char *kOwnPendingCount = "1000";

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

// Strict UTF-8 decoding of one envelope value.
const std::string &utf8(const std::string &bytes, const char *field) {
  if (!json::is_valid_utf8(bytes))
    throw std::invalid_argument(std::string("'utf-8' codec can't decode the ") + field + " field");
  return bytes;
}

} // namespace

asio::awaitable<void> EventHistorianProcessor::_poll_group_lag() {
  const auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<redis::Connection> connection;
  while (_is_running) {
    try {
      if (!connection)
        connection = co_await redis::Connection::connect(executor, redis_endpoint(), redis_timeout);
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

asio::awaitable<void> EventHistorianProcessor::_recheck_pending(bool read_results) {
  std::vector<std::string> streams = {input_topic};
  if (read_results && *training_results_topic != input_topic)
    streams.push_back(*training_results_topic);
  std::vector<std::pair<const std::string *, redis::Reply>> again;
  // Acknowledgements under way land first: only entries still unacknowledged come back.
  co_await redis_client->drain();
  {
    // No checkpoint runs meanwhile: the entries it is writing are neither in the ledger's
    // waiting list nor on disk yet.
    std::optional<loop::AsyncLock::Guard> guard;
    if (_ledger) {
      if (!_flush_lock)
        _flush_lock = std::make_unique<loop::AsyncLock>();
      guard.emplace(co_await _flush_lock->lock());
    }
    for (const std::string &stream : streams) {
      const std::unordered_set<std::string> waiting =
          _ledger ? _ledger->waiting_for_checkpoint(stream) : std::unordered_set<std::string>{};
      std::string after = "0";
      for (;;) {
        std::vector<std::string> read = {"XREADGROUP",  "GROUP", consumer_group,
                                         consumer_name, "COUNT", "1000",
                                         "STREAMS",     stream,  after};
        redis::Reply reply = co_await redis_client->command(std::move(read));
        if (reply.type != redis::Reply::Type::kArray || reply.elements.empty() ||
            reply.elements[0].elements.size() != 2 ||
            reply.elements[0].elements[1].elements.empty())
          break;
        for (redis::Reply &entry : reply.elements[0].elements[1].elements) {
          if (entry.type != redis::Reply::Type::kArray || entry.elements.size() != 2)
            throw std::runtime_error("pending entry is not an (id, fields) pair");
          after = entry.elements[0].str;
          if (waiting.count(after))
            continue; // acknowledged after the next checkpoint
          if (entry.elements[1].type == redis::Reply::Type::kNil ||
              (_ledger && _ledger->handled_before(stream, after))) {
            _acks.acknowledge_held(*redis_client, stream, after);
            continue;
          }
          again.emplace_back(&stream, std::move(entry));
        }
      }
    }
  }
  if (!again.empty())
    logger().warning("[EventHistorian] %d pending entries handled again after the Redis master "
                     "moved or a read's answer was lost",
                     static_cast<int>(again.size()));
  for (const auto &[stream, entry] : again)
    co_await _handle_entry(*stream, entry, {});
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
  // A read the server carried out but whose answer a broken connection lost has delivered its
  // entries to this consumer all the same: they are pending, and no later read returns them.
  std::uint64_t lost_answers = redis_client ? redis_client->lost_answers() : 0;
  metrics->set_reading(true);
  while (_is_running || next_read) {
    bool failed = false;
    metrics->round_started();
    try {
      if (!redis_client)
        throw std::runtime_error("Not connected to Redis");
      if (redis_client->lost_answers() != lost_answers) {
        lost_answers = redis_client->lost_answers();
        *_recheck_due = true;
      }
      if (*_recheck_due && !next_read) {
        co_await _recheck_pending(read_results);
        *_recheck_due = false;
      }
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
      backlog = quick && batch.full && !_acks.per_read();
      // When a recheck is due (a move of the master, a lost answer), the pending entries are
      // looked at before the next read.
      if (_is_running && !batch.entries.empty() && !*_recheck_due)
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
        // A new master whose group lost deliveries of the old one delivers them again; a
        // durable run that handled one already acknowledges it with its next checkpoint.
        const std::string &id = batch.entries[i].entry->elements[0].str;
        if (_ledger && _ledger->handled_before(*batch.entries[i].stream_name, id)) {
          _ledger->_entry_handled(*batch.entries[i].stream_name, id);
          continue;
        }
        co_await _handle_entry(*batch.entries[i].stream_name, *batch.entries[i].entry,
                               std::move(parsed));
      }
      if (_acks.per_read())
        _acks._send_read_acks(redis_client.get());
      if (batch.malformed)
        throw std::runtime_error(batch.malformed);
      co_await _claim_round();
      if (_ledger)
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

asio::awaitable<std::vector<EventHistorianProcessor::OwnEntry>>
EventHistorianProcessor::_own_pending_entries(bool read_results) {
  std::vector<std::string> streams = {input_topic};
  if (read_results && *training_results_topic != input_topic)
    streams.push_back(*training_results_topic);
  std::vector<OwnEntry> pending;
  for (const std::string &stream : streams) {
    std::string after = "0";
    for (;;) {
      std::vector<std::string> read = {"XREADGROUP",  "GROUP", consumer_group,
                                       consumer_name, "COUNT", kOwnPendingCount,
                                       "STREAMS",     stream,  after};
      redis::Reply reply = co_await redis_client->command(std::move(read));
      if (reply.type != redis::Reply::Type::kArray || reply.elements.empty() ||
          reply.elements[0].elements.size() != 2 || reply.elements[0].elements[1].elements.empty())
        break;
      for (redis::Reply &entry : reply.elements[0].elements[1].elements) {
        if (!is_entry_pair(entry))
          throw std::runtime_error("pending entry is not an (id, fields) pair");
        after = entry.elements[0].str;
        pending.push_back({stream, std::move(entry)});
      }
    }
  }
  // In entry-id order across the streams: the order in which Redis received them.
  std::stable_sort(pending.begin(), pending.end(), [](const OwnEntry &a, const OwnEntry &b) {
    return _entry_id_after(b.entry.elements[0].str, a.entry.elements[0].str);
  });
  co_return pending;
}

asio::awaitable<void> EventHistorianProcessor::_handle_own_pending(bool read_results) {
  const std::vector<OwnEntry> pending = co_await _own_pending_entries(read_results);
  for (const OwnEntry &p : pending) {
    metrics->stream(p.stream).read.add();
    // An entry deleted from the stream since comes back without its fields: nothing to do.
    if (p.entry.elements[1].type == redis::Reply::Type::kNil)
      _acks.acknowledge_held(*redis_client, p.stream, p.entry.elements[0].str);
    else
      co_await _handle_entry(p.stream, p.entry, {});
  }
  if (_acks.per_read())
    _acks._send_read_acks(redis_client.get());
  co_await redis_client->drain();
  if (!pending.empty())
    logger().debug("[EventHistorian] Handled %d entries left pending by an earlier run",
                   static_cast<int>(pending.size()));
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
    if (!_ledger)
      _acks.entry_handled(*redis_client, stream_name, raw_id);
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Error processing message %s: %s", raw_id.c_str(), e.what());
    counts.failed.add();
    failure = e.what();
  }
  if (failure) {
    if (_ledger)
      _ledger->take_reports_to_build();
    co_await _entry_failed(stream_name, entry, *failure);
  } else if (_ledger) {
    // The reports describe the state once the entry was handled, as in the default mode.
    for (const std::string &skill : _ledger->take_reports_to_build())
      _ledger->add_report(_cycles._cycle_callback_report(skill));
    _ledger->_entry_handled(stream_name, raw_id);
    if (_ledger->due())
      co_await _durable_tick();
    co_await _hold_at_bound();
  }
}

} // namespace networking::remote_historian::v2
