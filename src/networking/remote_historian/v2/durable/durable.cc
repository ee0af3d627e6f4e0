// Durable mode: an entry is acknowledged only once everything it caused is on disk: its row in
// a published part file, and the processor's state in a checkpoint that names, per stream, the
// last entry it holds. A restart takes up the checkpoint, sets aside the parts written after
// it and re-reads its own pending entries, so that a crash at any instant neither loses nor
// repeats a row.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loop/loop.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "parquet/io.h"

namespace networking::remote_historian::v2 {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Pending entries asked for per round trip while recovering, and ids per bulk XACK.
constexpr const char *kRecoveryCount = "1000";
constexpr std::size_t kIdsPerAck = 10000;
constexpr auto kFirstRetryDelay = std::chrono::milliseconds(500);
constexpr auto kLongestRetryDelay = std::chrono::milliseconds(30'000);

// Removes the parts of dir numbered next_index or above: they were written after the
// checkpoint, and the entries they came from will be processed again.
void set_aside_later_parts(const std::string &dir, std::int64_t next_index) {
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    const auto number = _part_number(entry.path().filename().string());
    if (number && *number >= next_index)
      fs::remove(entry.path(), ec);
  }
}

// A stop that was killed during the final merge leaves the final file beside (or instead of)
// its parts. While any part is left, the final file is merged again from them at the next stop;
// once they are gone, the final file is their merge and becomes the first part.
void take_back_final_file(const std::string &final_path, const std::string &parts_dir) {
  std::error_code ec;
  if (!fs::exists(final_path, ec))
    return;
  if (!_parts_in_merge_order(parts_dir).empty()) {
    fs::remove(final_path, ec);
    return;
  }
  fs::create_directories(parts_dir);
  const std::string first = (fs::path(parts_dir) / _part_file_name(0)).string();
  fs::rename(final_path, first);
  parquet::sync_directory_of(first);
}

bool contains(const std::vector<std::string> *ids, const std::string &id) {
  return ids && std::find(ids->begin(), ids->end(), id) != ids->end();
}

} // namespace

bool EventHistorianProcessor::_durable_resume(const std::string &base) {
  _checkpoint_file = (fs::path(output_path) / (base + ".checkpoint.json")).string();
  std::optional<Checkpoint> checkpoint = _load_checkpoint(*_checkpoint_file);
  if (!checkpoint)
    return false;
  _restore_checkpoint(std::move(*checkpoint));
  set_aside_later_parts(*_parts_dir, _part_index);
  set_aside_later_parts(*_cycle_parts_dir, _cycle_part_index);
  take_back_final_file(*_output_file, *_parts_dir);
  take_back_final_file(*_cycle_output_file, *_cycle_parts_dir);
  // Numbering goes on from the checkpoint's.
  _parts_scanned = true;
  _cycle_parts_scanned = true;
  logger().debug("[EventHistorian] Resuming from checkpoint %s as consumer '%s'",
                 _checkpoint_file->c_str(), consumer_name.c_str());
  return true;
}

Checkpoint EventHistorianProcessor::_checkpoint_state() const {
  Checkpoint c;
  c.consumer_name = consumer_name;
  c.output_file = _output_file.value_or("");
  c.cycle_output_file = _cycle_output_file.value_or("");
  c.part_index = _part_index;
  c.cycle_part_index = _cycle_part_index;
  c.current_skill_name = _current_skill_name;
  c.cycle_indices = _cycle_indices;
  c.skill_total_cycles = _skill_total_cycles;
  c.cycle_episode_rewards = _cycle_episode_rewards;
  c.cycle_episode_done = _cycle_episode_done;
  c.cycle_metadata_written = _cycle_metadata_written;
  c.last_cycle_average_reward = _last_cycle_average_reward;
  c.last_cycle_steps_per_sec = _last_cycle_steps_per_sec;
  c.obs_dim = _obs_dim;
  c.act_dim = _act_dim;
  c.obs_names = _obs_names;
  c.warned_obs_name_mismatch = _warned_obs_name_mismatch;
  c.schema = _schema;
  c.last_ids = _last_ids;
  c.failed_ids = _failed_ids;
  return c;
}

void EventHistorianProcessor::_restore_checkpoint(Checkpoint c) {
  consumer_name = std::move(c.consumer_name);
  _output_file = std::move(c.output_file);
  _parts_dir = _parts_dir_for(*_output_file);
  _cycle_output_file = std::move(c.cycle_output_file);
  _cycle_parts_dir = _parts_dir_for(*_cycle_output_file);
  _part_index = c.part_index;
  _cycle_part_index = c.cycle_part_index;
  _current_skill_name = std::move(c.current_skill_name);
  _cycle_indices = std::move(c.cycle_indices);
  _skill_total_cycles = std::move(c.skill_total_cycles);
  _cycle_episode_rewards = std::move(c.cycle_episode_rewards);
  _cycle_episode_done = std::move(c.cycle_episode_done);
  _cycle_metadata_written = c.cycle_metadata_written;
  _last_cycle_average_reward = std::move(c.last_cycle_average_reward);
  _last_cycle_steps_per_sec = std::move(c.last_cycle_steps_per_sec);
  _obs_dim = c.obs_dim;
  _act_dim = c.act_dim;
  _obs_names = std::move(c.obs_names);
  _warned_obs_name_mismatch = c.warned_obs_name_mismatch;
  _schema = std::move(c.schema);
  _last_ids = std::move(c.last_ids);
  _failed_ids = std::move(c.failed_ids);
}

asio::awaitable<void> EventHistorianProcessor::_recover_pending(bool read_results) {
  _last_checkpoint = Clock::now();
  std::vector<std::string> streams = {input_topic};
  if (read_results && *training_results_topic != input_topic)
    streams.push_back(*training_results_topic);

  // This consumer's pending entries of every stream, then in entry-id order across them: the
  // order in which Redis received them.
  struct Pending {
    const std::string *stream;
    redis::Reply entry;
  };
  std::vector<Pending> pending;
  for (const std::string &stream : streams) {
    std::string after = "0";
    for (;;) {
      std::vector<std::string> read = {"XREADGROUP",  "GROUP", consumer_group,
                                       consumer_name, "COUNT", kRecoveryCount,
                                       "STREAMS",     stream,  after};
      redis::Reply reply = co_await redis_client->command(std::move(read));
      if (reply.type != redis::Reply::Type::kArray || reply.elements.empty() ||
          reply.elements[0].elements.size() != 2 || reply.elements[0].elements[1].elements.empty())
        break;
      for (redis::Reply &entry : reply.elements[0].elements[1].elements) {
        if (entry.type != redis::Reply::Type::kArray || entry.elements.size() != 2)
          throw std::runtime_error("pending entry is not an (id, fields) pair");
        after = entry.elements[0].str;
        pending.push_back({&stream, std::move(entry)});
      }
    }
  }
  std::stable_sort(pending.begin(), pending.end(), [](const Pending &a, const Pending &b) {
    return _entry_id_after(b.entry.elements[0].str, a.entry.elements[0].str);
  });

  const OrderedMap<std::vector<std::string>> failed_before = std::exchange(_failed_ids, {});
  int held = 0;
  int again = 0;
  for (const Pending &p : pending) {
    const std::string &id = p.entry.elements[0].str;
    const std::string *last = _last_ids.find(*p.stream);
    const bool in_checkpoint =
        last && !_entry_id_after(id, *last) && !contains(failed_before.find(*p.stream), id);
    // An entry deleted from the stream since comes back without its fields: nothing to do.
    StreamMetrics *counts = &metrics->stream(*p.stream);
    counts->read.add();
    if (in_checkpoint || p.entry.elements[1].type == redis::Reply::Type::kNil) {
      std::vector<std::string> ack = {"XACK", *p.stream, consumer_group, id};
      redis_client->send(
          ack, [counts, all = metrics](const std::exception_ptr &failure, const redis::Reply &) {
            (failure ? counts->failed : counts->acknowledged).add();
          });
      ++held;
      continue;
    }
    ++again;
    co_await _handle_entry(*p.stream, p.entry, {});
  }
  co_await redis_client->drain();
  if (!pending.empty())
    logger().debug("[EventHistorian] Recovered %d pending entries: %d held by the checkpoint, "
                   "%d processed again",
                   static_cast<int>(pending.size()), held, again);
  co_await _durable_tick();
}

asio::awaitable<void> EventHistorianProcessor::_durable_checkpoint() {
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  auto guard = co_await _flush_lock->lock();
  co_await _checkpoint_under_lock();
}

asio::awaitable<void> EventHistorianProcessor::_checkpoint_in_background() {
  try {
    auto guard = co_await _flush_lock->lock();
    co_await _checkpoint_under_lock();
    // Cleared before the lock goes: a stop waiting for the lock may end the processor.
    _checkpoint_running = false;
  } catch (const std::exception &e) {
    _checkpoint_running = false;
    logger().error("[EventHistorian] Checkpoint failed: %s", e.what());
  }
}

asio::awaitable<void> EventHistorianProcessor::_durable_tick(bool quiet) {
  const Clock::time_point now = Clock::now();
  if (_checkpoint_running || now < _retry_at)
    co_return;
  const auto interval = quiet ? _flush_interval / 10 : _flush_interval;
  if (!_checkpoint_due && (_unacked_count == 0 || now - _last_checkpoint < interval))
    co_return;
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  _checkpoint_running = true;
  asio::co_spawn(co_await asio::this_coro::executor, _checkpoint_in_background(), asio::detached);
}

asio::awaitable<void> EventHistorianProcessor::_checkpoint_under_lock() {
  const Clock::time_point now = Clock::now();
  // A stop always makes one more attempt.
  if (_is_running && now < _retry_at)
    co_return;
  auto retry_later = [this, now] {
    _retry_delay = std::clamp<std::chrono::milliseconds>(_retry_delay * 2, kFirstRetryDelay,
                                                         kLongestRetryDelay);
    _retry_at = now + _retry_delay;
  };
  // Rows still waiting for a width: no checkpoint can hold them yet.
  if (!_pending_rows.empty() && (!_obs_dim || !_act_dim))
    co_return;
  _write_unwritten_cycle_rows();
  if (!_unwritten_cycle_rows.empty()) {
    retry_later();
    co_return;
  }
  // One instant's rows, state, ids and reports. The rows belong to the job from here on,
  // even if this coroutine goes away.
  auto rows = std::make_shared<RowBuffer>(std::exchange(_pending_rows, {}));
  Checkpoint checkpoint = _checkpoint_state();
  OrderedMap<std::vector<std::string>> acks = std::exchange(_unacked, {});
  const std::size_t ack_count = std::exchange(_unacked_count, 0);
  std::vector<CallbackReport> reports = std::exchange(_callbacks_after_checkpoint, {});
  _checkpoint_due = false;
  _rows_in_flight = rows->size();
  _bytes_in_flight = rows->bytes();
  _acks_in_flight = ack_count;
  _count_buffered();

  bool flushed = false;
  std::string error;
  // Named apart from the co_await: GCC 12 loses lambda captures made inside one.
  auto write = [this, rows, &checkpoint, &flushed] {
    const auto started = Clock::now();
    if (!rows->empty()) {
      _flush_rows(*rows);
      metrics->flush_seconds.observe(std::chrono::duration<double>(Clock::now() - started).count());
    }
    flushed = true;
    // The flush took a part number, and the first one made the schema.
    checkpoint.part_index = _part_index;
    checkpoint.schema = _schema;
    _write_checkpoint(*_checkpoint_file, checkpoint);
  };
  try {
    co_await loop::run_blocking(std::move(write));
  } catch (const std::exception &e) {
    error = e.what();
  }
  _rows_in_flight = 0;
  _bytes_in_flight = 0;
  _acks_in_flight = 0;
  if (!error.empty()) {
    // Everything goes back in front of what came meanwhile; rows already in a part stay
    // there, and the next checkpoint covers them.
    retry_later();
    if (!flushed) {
      logger().error("[EventHistorian] Parquet flush of %d rows failed; retrying in %.1f s: %s",
                     static_cast<int>(rows->size()),
                     static_cast<double>(_retry_delay.count()) / 1000, error.c_str());
      for (PendingRow &row : _pending_rows)
        rows->push_back(std::move(row));
      _pending_rows = std::move(*rows);
      _count_buffered();
    } else {
      logger().error("[EventHistorian] Checkpoint %s could not be written; its entries stay "
                     "unacknowledged: %s",
                     _checkpoint_file->c_str(), error.c_str());
    }
    for (const auto &[stream, later] : _unacked) {
      std::vector<std::string> &ids = acks.get_or_insert(stream, {});
      ids.insert(ids.end(), later.begin(), later.end());
    }
    _unacked = std::move(acks);
    _unacked_count += ack_count;
    reports.insert(reports.end(), std::make_move_iterator(_callbacks_after_checkpoint.begin()),
                   std::make_move_iterator(_callbacks_after_checkpoint.end()));
    _callbacks_after_checkpoint = std::move(reports);
    _checkpoint_due = true;
    co_return;
  }
  _retry_delay = std::chrono::milliseconds(0);
  _retry_at = {};
  _last_checkpoint = now;
  // The checkpoint holds them: acknowledged in bulk, without waiting. A failed acknowledgement
  // leaves its entries pending, and the next start acknowledges them from the checkpoint.
  if (redis_client) {
    for (const auto &[stream, ids] : acks)
      for (std::size_t begin = 0; begin < ids.size(); begin += kIdsPerAck)
        _send_bulk_ack(stream, ids.begin() + static_cast<std::ptrdiff_t>(begin),
                       ids.begin() +
                           static_cast<std::ptrdiff_t>(std::min(ids.size(), begin + kIdsPerAck)));
  }
  // Sent once: a crash before they go loses them, but a restart never repeats them.
  const auto executor = co_await asio::this_coro::executor;
  for (CallbackReport &report : reports)
    _send_cycle_callback(executor, std::move(report));
}

asio::awaitable<void> EventHistorianProcessor::_hold_at_bound() {
  auto over = [this] { return _unacked_count + _acks_in_flight >= _max_buffered_rows; };
  if (!over())
    co_return;
  _settle_unknown_widths();
  while (over()) {
    co_await _durable_checkpoint();
    if (!_is_running || !over())
      co_return;
    co_await loop::sleep_for(std::chrono::milliseconds(100));
  }
}

void EventHistorianProcessor::_entry_handled(const std::string &stream, const std::string &id) {
  _unacked.get_or_insert(stream, {}).push_back(id);
  ++_unacked_count;
  _last_ids.set(stream, id);
}

asio::awaitable<void> EventHistorianProcessor::_entry_failed(const std::string &stream,
                                                             const redis::Reply &entry,
                                                             const std::string &error) {
  const std::string &id = entry.elements[0].str;
  if (std::vector<std::string> &failed = _failed_ids.get_or_insert(stream, {});
      !contains(&failed, id))
    failed.push_back(id);
  if (!_dead_letter_stream || !redis_client)
    co_return;
  try {
    std::vector<std::string> ask = {"XPENDING", stream, consumer_group, id, id, "1"};
    const redis::Reply pending = co_await redis_client->command(std::move(ask));
    if (pending.elements.empty() || pending.elements[0].elements.size() < 4)
      co_return;
    const long long deliveries = pending.elements[0].elements[3].integer;
    if (deliveries <= _max_deliveries)
      co_return;
    std::vector<std::string> copy = {"XADD", *_dead_letter_stream, "*"};
    const redis::Reply &fields = entry.elements[1];
    if (fields.type == redis::Reply::Type::kArray)
      for (const redis::Reply &field : fields.elements)
        copy.push_back(field.str);
    copy.insert(copy.end(), {"error", error, "source_stream", stream, "source_id", id});
    co_await redis_client->command(std::move(copy));
    std::vector<std::string> ack = {"XACK", stream, consumer_group, id};
    co_await redis_client->command(std::move(ack));
    // Found again: the awaits above may have let the map grow.
    if (std::vector<std::string> *ids = _failed_ids.find(stream))
      std::erase(*ids, id);
    logger().warning("[EventHistorian] Entry %s of %s failed on %lld deliveries; moved to %s",
                     id.c_str(), stream.c_str(), deliveries, _dead_letter_stream->c_str());
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Moving entry %s of %s to %s failed: %s", id.c_str(),
                   stream.c_str(), _dead_letter_stream->c_str(), e.what());
  }
}

bool EventHistorianProcessor::_durably_complete() const {
  return _pending_rows.empty() && _unwritten_cycle_rows.empty() && _unacked_count == 0 &&
         !_checkpoint_due;
}

} // namespace networking::remote_historian::v2
