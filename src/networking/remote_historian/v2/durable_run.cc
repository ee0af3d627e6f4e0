// Durable mode, as the conductor orders it: an entry is acknowledged only once everything it
// caused is on disk: its row in a published part file, and the state of every part in a
// checkpoint that names, per stream, the last entry it holds. A restart takes up the
// checkpoint, sets aside the parts written after it and re-reads its own pending entries, so
// that a crash at any instant neither loses nor repeats a row.

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loop/loop.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "parquet/encoding.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

using Clock = std::chrono::steady_clock;

// Ids per bulk XACK.
constexpr std::size_t kIdsPerAck = 10000;

} // namespace

bool EventHistorianProcessor::_durable_resume(const std::string &base) {
  _ledger->name_checkpoint(output_path, base);
  std::optional<Checkpoint> checkpoint = _load_checkpoint(_ledger->checkpoint_file());
  if (!checkpoint)
    return false;
  // A restart that would write its files otherwise than they were begun refuses, before it
  // changes anything (a checkpoint of an earlier release does not say).
  if (const json::Value *kept = checkpoint->find("file_options")) {
    const json::Value now = _file_options_share();
    if (!kept->is_object())
      checkpoint::bad("'file_options' is not an object");
    for (const auto &[option, value] : now.as_object()) {
      const json::Value *was = kept->as_object().find(option);
      if (was && json::dumps(*was) == json::dumps(value))
        continue;
      const std::string shown = !was               ? "unknown"
                                : was->is_null()   ? "unset"
                                : was->is_bool()   ? (was->as_bool() ? "on" : "off")
                                : was->is_string() ? was->as_string()
                                                   : json::dumps(*was);
      throw CheckpointMismatch("checkpoint " + _ledger->checkpoint_file() + " was written with --" +
                               option + " " + shown +
                               "; start again with that value to finish "
                               "its files");
    }
  }
  _restore_checkpoint(*checkpoint);
  logger().debug("[EventHistorian] Resuming from checkpoint %s as consumer '%s'",
                 _ledger->checkpoint_file().c_str(), consumer_name.c_str());
  return true;
}

json::Value EventHistorianProcessor::_file_options_share() const {
  const parquet::WriterOptions &files = _steps.options();
  json::Object o;
  o.insert("include-raw-json", json::Value(include_raw_json));
  o.insert("run-id", checkpoint::text_or_null(run_id));
  o.insert("skill-name", checkpoint::text_or_null(skill_name));
  o.insert("total-cycles", checkpoint::int_or_null(total_cycles));
  o.insert("compression", json::Value(std::string(parquet::codec_name(files.codec))));
  o.insert("compression-level", files.codec == parquet::Codec::kZstd
                                    ? json::Value(std::int64_t{files.zstd_level})
                                    : json::Value());
  return json::Value(std::move(o));
}

Checkpoint EventHistorianProcessor::_checkpoint_state() const {
  Checkpoint c;
  c.insert("consumer_name", json::Value(consumer_name));
  c.insert("file_options", _file_options_share());
  _steps.save(c);
  _cycle_summary.save(c);
  _episodes.save(c);
  _cycles.save(c);
  _episode_log.save(c);
  _shape.save(c);
  _ledger->save(c);
  if (_bucket)
    _bucket->save(c);
  return c;
}

void EventHistorianProcessor::_restore_checkpoint(const Checkpoint &c) {
  consumer_name = checkpoint::text_of(checkpoint::member(c, "consumer_name"), "consumer_name");
  _cycles.restore(c);
  _episode_log.restore(c);
  _shape.restore(c);
  _ledger->restore(c);
  _steps.restore(c);
  _cycle_summary.restore(c);
  // A checkpoint of a release without the episodes dataset has no share of it: init names it.
  if (c.find("episodes_output_file"))
    _episodes.restore(c);
}

asio::awaitable<void> EventHistorianProcessor::_recover_pending(bool read_results) {
  _ledger->started(Clock::now());
  const std::vector<OwnEntry> pending = co_await _own_pending_entries(read_results);
  const DurableLedger::IdLists failed_before = _ledger->take_failures();
  int held = 0;
  int again = 0;
  for (const OwnEntry &p : pending) {
    const std::string &id = p.entry.elements[0].str;
    metrics->stream(p.stream).read.add();
    // An entry deleted from the stream since comes back without its fields: nothing to do.
    if (_ledger->holds(p.stream, id, failed_before) ||
        p.entry.elements[1].type == redis::Reply::Type::kNil) {
      _acks.acknowledge_held(*redis_client, p.stream, id);
      _ledger->claim_settled(p.stream, id);
      ++held;
      continue;
    }
    ++again;
    co_await _handle_entry(p.stream, p.entry, {});
  }
  _ledger->claims_recovered();
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
    _ledger->set_running(false);
  } catch (const std::exception &e) {
    _ledger->set_running(false);
    logger().error("[EventHistorian] Checkpoint failed: %s", e.what());
  }
}

asio::awaitable<void> EventHistorianProcessor::_durable_tick(bool quiet) {
  if (!_ledger->should_start(Clock::now(), quiet))
    co_return;
  if (!_flush_lock)
    _flush_lock = std::make_unique<loop::AsyncLock>();
  _ledger->set_running(true);
  asio::co_spawn(co_await asio::this_coro::executor, _checkpoint_in_background(), asio::detached);
}

asio::awaitable<void> EventHistorianProcessor::_checkpoint_under_lock() {
  const Clock::time_point now = Clock::now();
  // A stop always makes one more attempt.
  if (_is_running && _ledger->waiting_to_retry(now))
    co_return;
  // Rows still waiting for a width: no checkpoint can hold them yet.
  if (!_buffer.empty() && !_shape.known())
    co_return;
  _write_unwritten_cycle_rows();
  if (!_ledger->unwritten_cycle_rows().empty()) {
    _ledger->retry_later(now);
    co_return;
  }
  // One instant's rows, state, ids and reports. The rows belong to the job from here on,
  // even if this coroutine goes away.
  std::shared_ptr<RowBuffer> rows = _buffer.take_in_flight();
  Checkpoint checkpoint = _checkpoint_state();
  DurableLedger::Taken taken = _ledger->take();
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
    _steps.save(checkpoint);
    // With a bucket, every part is there and confirmed before the checkpoint that names it.
    if (_bucket) {
      _bucket->upload_parts(
          {*_steps._parts_dir, *_cycle_summary._parts_dir, *_episodes._parts_dir});
      _bucket->save(checkpoint);
    }
    _write_checkpoint(_ledger->checkpoint_file(), checkpoint);
    if (_bucket)
      _bucket->upload_checkpoint(checkpoint);
  };
  try {
    co_await loop::run_blocking(std::move(write));
  } catch (const std::exception &e) {
    error = e.what();
  }
  _buffer.landed();
  if (!error.empty()) {
    // Everything goes back in front of what came meanwhile; rows already in a part stay
    // there, and the next checkpoint covers them.
    _ledger->give_back(std::move(taken), now);
    if (!flushed) {
      logger().error("[EventHistorian] Parquet flush of %d rows failed; retrying in %.1f s: %s",
                     static_cast<int>(rows->size()), _ledger->retry_delay_seconds(), error.c_str());
      _buffer.put_back(std::move(*rows));
      _count_buffered();
    } else {
      logger().error("[EventHistorian] Checkpoint %s could not be written; its entries stay "
                     "unacknowledged: %s",
                     _ledger->checkpoint_file().c_str(), error.c_str());
    }
    co_return;
  }
  _ledger->succeeded(now);
  // The checkpoint holds them: acknowledged in bulk, without waiting. A failed acknowledgement
  // leaves its entries pending, and the next start acknowledges them from the checkpoint.
  if (redis_client) {
    for (const auto &[stream, ids] : taken.acks)
      for (std::size_t begin = 0; begin < ids.size(); begin += kIdsPerAck)
        _acks._send_bulk_ack(
            *redis_client, stream, ids.begin() + static_cast<std::ptrdiff_t>(begin),
            ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), begin + kIdsPerAck)));
  }
  // Sent once: a crash before they go loses them, but a restart never repeats them.
  const auto executor = co_await asio::this_coro::executor;
  for (CallbackReport &report : taken.reports)
    _send_cycle_callback(executor, std::move(report));
}

asio::awaitable<void> EventHistorianProcessor::_hold_at_bound() {
  auto over = [this] { return _ledger->at_bound(_buffer.max_rows()); };
  if (!over())
    co_return;
  _shape._settle_unknown_widths(_buffer.size());
  while (over()) {
    co_await _durable_checkpoint();
    if (!_is_running || !over())
      co_return;
    co_await loop::sleep_for(std::chrono::milliseconds(100));
  }
}

bool EventHistorianProcessor::_durably_complete() const {
  return _buffer.empty() && _ledger->complete();
}

} // namespace networking::remote_historian::v2
