// Training cycles, as the conductor orders them: a training result closes the current skill's
// cycle (the cycle state), writes its summary row (the cycle summary dataset, or the durable
// ledger until a checkpoint), writes the cycle's steps and reports the cycle to the job
// service. Everything here runs on the loop thread; the reports are sent by _callbacks on its
// own thread.

#include <stdexcept>
#include <string>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

void EventHistorianProcessor::_ensure_cycle_writer() {
  if (!_cycle_summary.named())
    throw std::runtime_error("Historian cycle schema not initialized");
  _cycle_summary.open_part();
}

void EventHistorianProcessor::_write_cycle_summary(double average_reward, const std::string &skill,
                                                   parquet::Table episodes) {
  CycleRow row{_cycles.cycle_index(skill), average_reward, skill};
  if (!_ledger) {
    // The episodes' part first: a failure there loses those rows (counted, logged), not the
    // cycle's.
    try {
      _write_episode_rows(episodes);
    } catch (const std::exception &e) {
      logger().error("[EventHistorian] Episode rows write failed; %d rows dropped: %s",
                     static_cast<int>(episodes.num_rows()), e.what());
    }
    _write_cycle_row(row);
    return;
  }
  // A durable run keeps the rows and writes them before its next checkpoint, in order.
  _ledger->queue_cycle_rows({std::move(row), std::move(episodes)});
  _write_unwritten_cycle_rows();
}

void EventHistorianProcessor::_write_unwritten_cycle_rows() {
  std::vector<DurableLedger::CycleRows> &rows = _ledger->unwritten_cycle_rows();
  try {
    while (!rows.empty()) {
      _write_episode_rows(rows.front().episodes);
      rows.front().episodes = {};
      _write_cycle_row(rows.front().row);
      rows.erase(rows.begin());
      _ledger->mark_due();
    }
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Cycle summary write failed; %d rows kept for the next "
                   "attempt: %s",
                   static_cast<int>(rows.size()), e.what());
  }
}

void EventHistorianProcessor::_write_episode_rows(const parquet::Table &episodes) {
  if (episodes.num_rows() == 0)
    return;
  try {
    if (!_episodes.named())
      throw std::runtime_error("Historian episodes schema not initialized");
    _episodes.open_part();
    _episodes.write(episodes);
    _episodes.close_part();
  } catch (...) {
    _episodes.discard_part();
    if (!_ledger) {
      _episodes.count_dropped(static_cast<std::int64_t>(episodes.num_rows()));
      metrics->rows_dropped.add(episodes.num_rows());
    }
    throw;
  }
}

void EventHistorianProcessor::_write_cycle_row(const CycleRow &row) {
  try {
    _ensure_cycle_writer();
    // The first part's row brings the metadata row with it.
    const bool head_came = _cycle_summary.head_in_part();
    _cycle_summary._writer->write_table(_cycle_row(row));
    _cycle_summary.close_part();
    metrics->cycle_rows_written.add(head_came ? 2 : 1);
    metrics->cycle_part_files_written.add();
  } catch (...) {
    // Only this row is lost: its part goes, and a metadata row that went with it is written
    // into the next part.
    _cycle_summary.discard_part();
    if (!_ledger) {
      _cycle_summary.count_dropped(1);
      metrics->rows_dropped.add();
    }
    throw;
  }
}

void EventHistorianProcessor::_finalize_cycle_summary(const json::Value &steps_per_sec) {
  CycleState::Closed closed = _cycles.close_cycle(steps_per_sec);
  metrics->cycles_closed.add();
  parquet::Table episodes = _episode_log.close(closed.episodes, _cycles._cycle_episode_rewards,
                                               closed.row.cycle_index, closed.row.skill);
  _write_cycle_summary(closed.row.average_reward, closed.row.skill, std::move(episodes));
  _cycles.forget_episodes(closed.episodes);
}

void EventHistorianProcessor::_write_remaining_episodes() {
  parquet::Table episodes =
      _episode_log.remaining(_cycles._cycle_episode_done, _cycles._cycle_episode_rewards);
  if (episodes.num_rows() == 0)
    return;
  try {
    _write_episode_rows(episodes);
    // The part is written after the last checkpoint: one more covers it, so that a restart
    // after a crash in the merge neither writes these episodes again nor sets the part aside.
    if (_ledger)
      _write_checkpoint(_ledger->checkpoint_file(), _checkpoint_state());
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Writing the %d episodes still open at the stop failed: %s",
                   static_cast<int>(episodes.num_rows()), e.what());
    if (_ledger) {
      _episodes.count_dropped(static_cast<std::int64_t>(episodes.num_rows()));
      metrics->rows_dropped.add(episodes.num_rows());
    }
    _episodes.mark_incomplete();
  }
}

asio::awaitable<void>
EventHistorianProcessor::_handle_training_result(const json::Object &payload) {
  const json::Value *result = payload.find("training_result");
  const json::Value *status =
      result && result->is_object() ? result->as_object().find("status") : nullptr;
  metrics->training_results.add();
  if (status && status->truthy() && !(status->is_string() && status->as_string() == "success"))
    co_return;
  const std::string key = _cycles.skill_key();
  const json::Value *steps_per_sec = payload.find("steps_per_sec");
  _finalize_cycle_summary(steps_per_sec ? *steps_per_sec : json::Value());
  const long long cycle = _cycles.cycle_index(key);
  const WrittenPart written = co_await _drain_pending();
  if (written.rows > 0) {
    logger().debug("[EventHistorian] Cycle %lld closed: %zu rows written to %s", cycle,
                   written.rows, written.path.c_str());
  } else {
    logger().debug("[EventHistorian] Cycle %lld closed: no rows written", cycle);
  }
  if (_cycles.reports_wanted()) {
    // A durable run reports a cycle once a checkpoint holds it: never twice, even when a crash
    // makes it process the training result again.
    if (_ledger) {
      _ledger->report_after_checkpoint(key);
    } else {
      const auto executor = co_await asio::this_coro::executor;
      asio::co_spawn(executor, _fire_cycle_callback(key), asio::detached);
    }
  }
}

asio::awaitable<void> EventHistorianProcessor::_fire_cycle_callback(std::string skill) {
  // The report describes the state once the handler has returned to the loop.
  const auto executor = co_await asio::this_coro::executor;
  co_await asio::post(executor, asio::use_awaitable);
  _send_cycle_callback(executor, _cycles._cycle_callback_report(skill));
}

void EventHistorianProcessor::_send_cycle_callback(const asio::any_io_executor &executor,
                                                   CallbackReport report) {
  if (_callbacks.send(executor, std::move(report.url), std::move(report.body)))
    return;
  metrics->callbacks.dropped.add();
  logger().warning("[EventHistorian] Cycle metrics callback for iteration %lld dropped: the "
                   "job service is not keeping up (%d reports waiting)",
                   static_cast<long long>(report.iteration),
                   static_cast<int>(kCallbackQueueCapacity));
}

asio::awaitable<void> EventHistorianProcessor::_finish_callbacks() {
  const std::size_t unsent = co_await _callbacks.finish();
  metrics->callbacks.dropped.add(unsent);
  if (unsent > 0)
    logger().warning("[EventHistorian] %d cycle metrics callbacks dropped: not sent within %d s "
                     "of the stop",
                     static_cast<int>(unsent), static_cast<int>(kCallbackTimeout.count()));
}

} // namespace networking::remote_historian::v2
