// The training cycles' state: skills, episode returns, closing a cycle and its report.

#include "networking/remote_historian/v2/cycles/cycle_state.h"

#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/normalize.h"
#include "networking/remote_historian/v2/rows/fixed_columns.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

namespace {

std::string key_of(const std::optional<std::string> &skill) {
  return skill && !skill->empty() ? *skill : std::string();
}

parquet::Table one_row(std::int64_t cycle_index, std::optional<double> average_reward,
                       const std::optional<std::string> &skill, std::optional<std::int64_t> total,
                       bool is_metadata) {
  parquet::Table t;
  t.columns.emplace_back(parquet::Type::kInt64);
  t.columns.back().append(cycle_index);
  t.columns.emplace_back(parquet::Type::kDouble);
  _append_or_null(t.columns.back(), average_reward);
  t.columns.emplace_back(parquet::Type::kString);
  _append_or_null(t.columns.back(), skill);
  t.columns.emplace_back(parquet::Type::kInt64);
  _append_or_null(t.columns.back(), total);
  t.columns.emplace_back(parquet::Type::kBool);
  t.columns.back().append_bool(is_metadata);
  return t;
}

} // namespace

parquet::Schema _cycle_schema() {
  using parquet::Type;
  return parquet::Schema({{"cycle_index", Type::kInt64},
                          {"average_reward", Type::kDouble},
                          {"skill_name", Type::kString},
                          {"total_cycles", Type::kInt64},
                          {"is_metadata", Type::kBool}});
}

parquet::Table _cycle_metadata_row(const std::optional<std::string> &skill,
                                   std::optional<std::int64_t> total_cycles) {
  return one_row(0, std::nullopt, skill, total_cycles, true);
}

parquet::Table _cycle_row(const CycleRow &row) {
  return one_row(row.cycle_index, row.average_reward,
                 row.skill.empty() ? std::nullopt : std::optional(row.skill), std::nullopt, false);
}

CycleState::CycleState(std::optional<std::string> skill_name,
                       std::optional<std::int64_t> total_cycles,
                       std::optional<std::string> callback_url, std::optional<std::string> job_id)
    : _current_skill_name(skill_name), _callback_url(std::move(callback_url)),
      _job_id(std::move(job_id)), _skill_name(std::move(skill_name)), _total_cycles(total_cycles) {}

void CycleState::_handle_skill_start(const json::Object &payload) {
  const json::Value *named = payload.find("skill_name");
  std::optional<std::string> skill = named && named->truthy() ? _text_or_null(named) : _skill_name;
  // Every later row and cycle file carries the skill: a text they cannot hold fails this event.
  if (skill)
    _check_column_text(*skill, "skill_name");
  _current_skill_name = skill;
  const std::string key = key_of(skill);
  _cycle_indices.get_or_insert(key, 0);
  const json::Value *total = payload.find("total_cycles");
  if (total && !total->is_null())
    _skill_total_cycles.set(key, _to_int64(*total));
}

void CycleState::count_step(const std::string &episode_id, double reward, bool done) {
  _cycle_episode_rewards.get_or_insert(episode_id, 0.0) += reward;
  if (done)
    _cycle_episode_done.set(episode_id, true);
}

std::string CycleState::skill_key() const { return key_of(_current_skill_name); }

std::int64_t CycleState::cycle_index(const std::string &skill) const {
  const std::int64_t *index = _cycle_indices.find(skill);
  return index ? *index : 0;
}

std::int64_t CycleState::open_cycle_index() const {
  static const std::string kNone;
  const std::string &key =
      _current_skill_name && !_current_skill_name->empty() ? *_current_skill_name : kNone;
  return cycle_index(key) + 1;
}

CycleState::Closed CycleState::close_cycle(const json::Value &steps_per_sec) {
  const std::string key = skill_key();
  _last_cycle_steps_per_sec.set(key, steps_per_sec);
  Closed closed;
  for (const auto &[episode, done] : _cycle_episode_done)
    if (done)
      closed.episodes.push_back(episode);
  double sum = 0.0;
  for (const auto &episode : closed.episodes) {
    const double *reward = _cycle_episode_rewards.find(episode);
    if (!reward)
      throw std::out_of_range("no reward recorded for episode '" + episode + "'");
    sum += *reward;
  }
  const double average =
      closed.episodes.empty() ? 0.0 : sum / static_cast<double>(closed.episodes.size());
  _last_cycle_average_reward.set(key, average);
  const std::int64_t index = _cycle_indices.get_or_insert(key, 0) += 1;
  closed.row = CycleRow{index, average, key};
  return closed;
}

void CycleState::forget_episodes(const std::vector<std::string> &episodes) {
  const std::unordered_set<std::string> counted(episodes.begin(), episodes.end());
  _cycle_episode_rewards.erase(counted);
  _cycle_episode_done.erase(counted);
}

bool CycleState::reports_wanted() const {
  return _callback_url && !_callback_url->empty() && _job_id && !_job_id->empty();
}

CallbackReport CycleState::_cycle_callback_report(const std::string &skill) const {
  json::Object body;
  const std::int64_t *index = _cycle_indices.find(skill);
  const std::int64_t iteration = (index ? *index : 1) - 1;
  body.append_unique("iteration", json::Value(iteration));
  const double *mean = _last_cycle_average_reward.find(skill);
  body.append_unique("mean_reward", json::Value(mean ? *mean : 0.0));
  body.append_unique("skill_name", skill.empty() ? json::Value() : json::Value(skill));
  const std::int64_t *announced = _skill_total_cycles.find(skill);
  body.append_unique("total_iterations", announced       ? json::Value(*announced)
                                         : _total_cycles ? json::Value(*_total_cycles)
                                                         : json::Value());
  const json::Value *sps = _last_cycle_steps_per_sec.find(skill);
  body.append_unique("steps_per_sec", sps ? *sps : json::Value());
  // The job service parses strict JSON: a NaN or infinite rate is reported as null.
  return {*_callback_url + "/internal/jobs/" + *_job_id + "/cycle-metrics",
          json::dumps(json::Value(std::move(body)), json::NonFinite::kNull), iteration};
}

void CycleState::save(Checkpoint &c) const {
  using checkpoint::map_value;
  c.insert("current_skill_name", checkpoint::text_or_null(_current_skill_name));
  c.insert("cycle_indices", map_value(_cycle_indices));
  c.insert("skill_total_cycles", map_value(_skill_total_cycles));
  c.insert("cycle_episode_rewards", map_value(_cycle_episode_rewards));
  c.insert("cycle_episode_done", map_value(_cycle_episode_done));
  c.insert("last_cycle_average_reward", map_value(_last_cycle_average_reward));
  c.insert("last_cycle_steps_per_sec", map_value(_last_cycle_steps_per_sec));
}

void CycleState::restore(const Checkpoint &c) {
  using namespace checkpoint;
  _current_skill_name = optional_text(member(c, "current_skill_name"), "current_skill_name");
  _cycle_indices = map_of<std::int64_t>(c, "cycle_indices", int_of);
  _skill_total_cycles = map_of<std::int64_t>(c, "skill_total_cycles", int_of);
  _cycle_episode_rewards = map_of<double>(c, "cycle_episode_rewards", double_of);
  _cycle_episode_done = map_of<bool>(c, "cycle_episode_done", bool_of);
  _last_cycle_average_reward = map_of<double>(c, "last_cycle_average_reward", double_of);
  _last_cycle_steps_per_sec = map_of<json::Value>(c, "last_cycle_steps_per_sec", any_of);
}

} // namespace networking::remote_historian::v2
