// Training cycles: the cycle summary dataset, closing a cycle, training-result intake and the
// metrics callback. Everything here runs on the loop thread; the reports are sent by
// _callbacks on its own thread.

#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/output/part_files.h"
#include "parquet/file_writer.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

parquet::Schema cycle_schema() {
  using parquet::Type;
  return parquet::Schema({{"cycle_index", Type::kInt64},
                          {"average_reward", Type::kDouble},
                          {"skill_name", Type::kString},
                          {"total_cycles", Type::kInt64},
                          {"is_metadata", Type::kBool}});
}

// One row of the cycle schema as a one-row table.
parquet::Table cycle_row(std::int64_t cycle_index, std::optional<double> average_reward,
                         const std::optional<std::string> &skill, std::optional<std::int64_t> total,
                         bool is_metadata) {
  parquet::Table t;
  t.columns.emplace_back(parquet::Type::kInt64);
  t.columns.back().append(cycle_index);
  t.columns.emplace_back(parquet::Type::kDouble);
  if (average_reward) {
    t.columns.back().append(*average_reward);
  } else {
    t.columns.back().append_null();
  }
  t.columns.emplace_back(parquet::Type::kString);
  if (skill) {
    t.columns.back().append(*skill);
  } else {
    t.columns.back().append_null();
  }
  t.columns.emplace_back(parquet::Type::kInt64);
  if (total) {
    t.columns.back().append(*total);
  } else {
    t.columns.back().append_null();
  }
  t.columns.emplace_back(parquet::Type::kBool);
  t.columns.back().append_bool(is_metadata);
  return t;
}

std::string skill_key(const std::optional<std::string> &skill) {
  return skill && !skill->empty() ? *skill : std::string();
}

} // namespace

void EventHistorianProcessor::_ensure_cycle_writer() {
  if (_cycle_writer)
    return;
  if (!_cycle_parts_dir || _cycle_parts_dir->empty())
    throw std::runtime_error("Historian cycle schema not initialized");
  if (!_cycle_schema)
    _cycle_schema = cycle_schema();
  _cycle_writer = _open_next_part(*_cycle_parts_dir, *_cycle_schema, _cycle_part_index,
                                  _cycle_parts_scanned, _file_options(false));
  _write_cycle_metadata();
}

void EventHistorianProcessor::_write_cycle_metadata() {
  if (_cycle_metadata_written)
    return;
  if (!_cycle_writer || !_cycle_schema)
    throw std::runtime_error("Historian cycle schema not initialized");
  _cycle_writer->write_table(cycle_row(0, std::nullopt, skill_name, total_cycles, true));
  _cycle_metadata_written = true;
}

void EventHistorianProcessor::_write_cycle_summary(double average_reward,
                                                   const std::string &skill) {
  const std::int64_t *index = _cycle_indices.find(skill);
  CycleRow row{index ? *index : 0, average_reward, skill};
  if (!_durable) {
    _write_cycle_row(row);
    return;
  }
  // A durable run keeps the row and writes it before its next checkpoint, in order.
  _unwritten_cycle_rows.push_back(std::move(row));
  _write_unwritten_cycle_rows();
}

void EventHistorianProcessor::_write_unwritten_cycle_rows() {
  try {
    while (!_unwritten_cycle_rows.empty()) {
      _write_cycle_row(_unwritten_cycle_rows.front());
      _unwritten_cycle_rows.erase(_unwritten_cycle_rows.begin());
      _checkpoint_due = true;
    }
  } catch (const std::exception &e) {
    logger().error("[EventHistorian] Cycle summary write failed; %d rows kept for the next "
                   "attempt: %s",
                   static_cast<int>(_unwritten_cycle_rows.size()), e.what());
  }
}

void EventHistorianProcessor::_write_cycle_row(const CycleRow &row) {
  const bool metadata_written = _cycle_metadata_written;
  try {
    _ensure_cycle_writer();
    _cycle_writer->write_table(cycle_row(
        row.cycle_index, row.average_reward,
        row.skill.empty() ? std::nullopt : std::optional(row.skill), std::nullopt, false));
    _close_part(_cycle_writer);
    metrics->cycle_rows_written.add(metadata_written ? 1 : 2);
    metrics->cycle_part_files_written.add();
  } catch (...) {
    // Only this row is lost: its part goes, and a metadata row that went with it is written
    // into the next part.
    _discard_part(_cycle_writer, _cycle_part_index);
    _cycle_metadata_written = metadata_written;
    if (!_durable) {
      ++_rows_dropped;
      metrics->rows_dropped.add();
    }
    throw;
  }
}

void EventHistorianProcessor::_finalize_cycle_summary() {
  const std::string key = skill_key(_current_skill_name);
  std::vector<std::string> completed;
  for (const auto &[episode, done] : _cycle_episode_done)
    if (done)
      completed.push_back(episode);
  double sum = 0.0;
  for (const auto &episode : completed) {
    const double *reward = _cycle_episode_rewards.find(episode);
    if (!reward)
      throw std::out_of_range("no reward recorded for episode '" + episode + "'");
    sum += *reward;
  }
  const double average = completed.empty() ? 0.0 : sum / static_cast<double>(completed.size());
  _last_cycle_average_reward.set(key, average);
  _cycle_indices.get_or_insert(key, 0) += 1;
  metrics->cycles_closed.add();
  _write_cycle_summary(average, key);
  const std::unordered_set<std::string> counted(completed.begin(), completed.end());
  _cycle_episode_rewards.erase(counted);
  _cycle_episode_done.erase(counted);
}

asio::awaitable<void>
EventHistorianProcessor::_handle_training_result(const json::Object &payload) {
  const json::Value *result = payload.find("training_result");
  const json::Value *status =
      result && result->is_object() ? result->as_object().find("status") : nullptr;
  metrics->training_results.add();
  if (status && status->truthy() && !(status->is_string() && status->as_string() == "success"))
    co_return;
  const std::string key = skill_key(_current_skill_name);
  const json::Value *steps_per_sec = payload.find("steps_per_sec");
  _last_cycle_steps_per_sec.set(key, steps_per_sec ? *steps_per_sec : json::Value());
  _finalize_cycle_summary();
  const long long cycle = *_cycle_indices.find(key);
  const WrittenPart written = co_await _drain_pending();
  if (written.rows > 0) {
    logger().debug("[EventHistorian] Cycle %lld closed: %zu rows written to %s", cycle,
                   written.rows, written.path.c_str());
  } else {
    logger().debug("[EventHistorian] Cycle %lld closed: no rows written", cycle);
  }
  if (_callback_url && !_callback_url->empty() && _job_id && !_job_id->empty()) {
    // A durable run reports a cycle once a checkpoint holds it: never twice, even when a crash
    // makes it process the training result again.
    if (_durable) {
      _callbacks_to_build.push_back(key);
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
  _send_cycle_callback(executor, _cycle_callback_report(skill));
}

EventHistorianProcessor::CallbackReport
EventHistorianProcessor::_cycle_callback_report(const std::string &skill) const {
  json::Object body;
  const std::int64_t *index = _cycle_indices.find(skill);
  const std::int64_t iteration = (index ? *index : 1) - 1;
  body.append_unique("iteration", json::Value(iteration));
  const double *mean = _last_cycle_average_reward.find(skill);
  body.append_unique("mean_reward", json::Value(mean ? *mean : 0.0));
  body.append_unique("skill_name", skill.empty() ? json::Value() : json::Value(skill));
  const std::int64_t *announced = _skill_total_cycles.find(skill);
  body.append_unique("total_iterations", announced      ? json::Value(*announced)
                                         : total_cycles ? json::Value(*total_cycles)
                                                        : json::Value());
  const json::Value *sps = _last_cycle_steps_per_sec.find(skill);
  body.append_unique("steps_per_sec", sps ? *sps : json::Value());
  // The job service parses strict JSON: a NaN or infinite rate is reported as null.
  return {*_callback_url + "/internal/jobs/" + *_job_id + "/cycle-metrics",
          json::dumps(json::Value(std::move(body)), json::NonFinite::kNull), iteration};
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

} // namespace networking::remote_historian::v2
