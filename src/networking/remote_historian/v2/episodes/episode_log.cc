// The episodes of a run: their records, their rows and their share of the checkpoint.

#include "networking/remote_historian/v2/episodes/episode_log.h"

#include <algorithm>
#include <unordered_set>

#include "networking/remote_historian/v2/rows/fixed_columns.h"

namespace networking::remote_historian::v2 {

namespace {

using parquet::Type;

enum Columns {
  kRunId,
  kSimId,
  kEpisodeId,
  kSkillName,
  kScenario,
  kEpisodeIndex,
  kCycleIndex,
  kFirstCycleIndex,
  kLength,
  kReturn,
  kRewardMin,
  kRewardMax,
  kTerminated,
  kTruncated,
  kComplete,
  kFirstStep,
  kLastStep,
  kMissing,
  kDuplicates,
  kStart,
  kEnd,
};

parquet::Table empty_table() {
  const parquet::Schema schema = _episode_schema();
  parquet::Table table;
  for (const parquet::Field &field : schema.fields())
    table.columns.emplace_back(field.type);
  return table;
}

} // namespace

parquet::Schema _episode_schema() {
  return parquet::Schema({{"run_id", Type::kString},          {"sim_id", Type::kString},
                          {"episode_id", Type::kString},      {"skill_name", Type::kString},
                          {"scenario", Type::kString},        {"episode_index", Type::kInt64},
                          {"cycle_index", Type::kInt64},      {"first_cycle_index", Type::kInt64},
                          {"episode_length", Type::kInt64},   {"episode_return", Type::kDouble},
                          {"reward_min", Type::kDouble},      {"reward_max", Type::kDouble},
                          {"terminated", Type::kBool},        {"truncated", Type::kBool},
                          {"complete", Type::kBool},          {"first_step_number", Type::kInt64},
                          {"last_step_number", Type::kInt64}, {"missing_steps", Type::kInt64},
                          {"duplicate_steps", Type::kInt64},  {"start_timestamp", Type::kDouble},
                          {"end_timestamp", Type::kDouble}});
}

std::int64_t EpisodeLog::add_step(const std::string &episode_id, const EpisodeStep &step) {
  Record *record = _open.find(episode_id);
  if (record == nullptr) {
    record = &_open.get_or_insert(episode_id, Record{});
    record->run_id = step.run_id;
    record->sim_id = step.sim_id;
    record->skill_name = step.skill_name;
    record->scenario = step.scenario;
    record->first_cycle_index = step.cycle_index;
    record->reward_min = record->reward_max = step.reward;
    record->start_timestamp = step.timestamp;
  }
  const std::int64_t index = record->length++;
  record->reward_min = std::min(record->reward_min, step.reward);
  record->reward_max = std::max(record->reward_max, step.reward);
  record->end_timestamp = step.timestamp;
  if (step.step_number) {
    // Counted against the step before: a number more than one past it leaves the numbers
    // between missing; one not past it is a repeat.
    const std::int64_t number = *step.step_number;
    if (!record->last_step_number) {
      record->first_step_number = number;
    } else if (number <= *record->last_step_number) {
      ++record->duplicate_steps;
    } else if (number - *record->last_step_number > 1) {
      record->missing_steps += number - *record->last_step_number - 1;
    }
    record->last_step_number = number;
  }
  if ((step.terminated || step.truncated) && !record->end_cycle_index) {
    record->end_cycle_index = step.cycle_index;
    record->end_skill_name = step.skill_name;
    record->terminated = step.terminated;
    record->truncated = step.truncated;
  }
  return index;
}

void EpisodeLog::append_row(parquet::Table &t, const std::string &episode_id, const Record &record,
                            const double *episode_return, std::optional<std::int64_t> cycle_index,
                            const std::optional<std::string> &skill, bool complete) {
  auto &c = t.columns;
  _append_or_null(c[kRunId], record.run_id);
  _append_or_null(c[kSimId], record.sim_id);
  c[kEpisodeId].append(episode_id);
  _append_or_null(c[kSkillName], skill);
  _append_or_null(c[kScenario], record.scenario);
  c[kEpisodeIndex].append(_next_episode_index++);
  _append_or_null(c[kCycleIndex], cycle_index);
  c[kFirstCycleIndex].append(record.first_cycle_index);
  c[kLength].append(record.length);
  c[kReturn].append(episode_return ? *episode_return : 0.0);
  // An episode taken up from a checkpoint that had no record of it has no steps on record.
  if (record.length > 0) {
    c[kRewardMin].append(record.reward_min);
    c[kRewardMax].append(record.reward_max);
  } else {
    c[kRewardMin].append_null();
    c[kRewardMax].append_null();
  }
  c[kTerminated].append_bool(record.terminated);
  c[kTruncated].append_bool(record.truncated);
  c[kComplete].append_bool(complete);
  _append_or_null(c[kFirstStep], record.first_step_number);
  _append_or_null(c[kLastStep], record.last_step_number);
  c[kMissing].append(record.missing_steps);
  c[kDuplicates].append(record.duplicate_steps);
  _append_or_null(c[kStart],
                  record.length > 0 ? std::optional(record.start_timestamp) : std::nullopt);
  _append_or_null(c[kEnd], record.length > 0 ? std::optional(record.end_timestamp) : std::nullopt);
}

parquet::Table EpisodeLog::close(const std::vector<std::string> &episodes,
                                 const OrderedMap<double> &returns, std::int64_t cycle_index,
                                 const std::string &skill) {
  parquet::Table table = empty_table();
  const std::optional<std::string> skill_name = skill.empty() ? std::nullopt : std::optional(skill);
  static const Record kUnrecorded;
  for (const std::string &episode : episodes) {
    const Record *record = _open.find(episode);
    append_row(table, episode, record ? *record : kUnrecorded, returns.find(episode), cycle_index,
               skill_name, true);
  }
  _open.erase(std::unordered_set<std::string>(episodes.begin(), episodes.end()));
  return table;
}

parquet::Table EpisodeLog::remaining(const OrderedMap<bool> &ended,
                                     const OrderedMap<double> &returns) {
  parquet::Table table = empty_table();
  static const Record kUnrecorded;
  // Those that ended (their cycle never closed), as the cycle state ordered them; then the rest.
  std::unordered_set<std::string> written;
  for (const auto &[episode, done] : ended) {
    if (!done)
      continue;
    const Record *record = _open.find(episode);
    const Record &r = record ? *record : kUnrecorded;
    append_row(table, episode, r, returns.find(episode), r.end_cycle_index, r.end_skill_name, true);
    written.insert(episode);
  }
  for (const auto &[episode, record] : _open)
    if (!written.count(episode))
      append_row(table, episode, record, returns.find(episode), std::nullopt, record.skill_name,
                 false);
  _open = {};
  return table;
}

void EpisodeLog::save(Checkpoint &c) const {
  json::Object open;
  for (const auto &[episode, r] : _open) {
    json::Object o;
    o.insert("run_id", checkpoint::text_or_null(r.run_id));
    o.insert("sim_id", checkpoint::text_or_null(r.sim_id));
    o.insert("skill_name", checkpoint::text_or_null(r.skill_name));
    o.insert("scenario", checkpoint::text_or_null(r.scenario));
    o.insert("first_cycle_index", json::Value(r.first_cycle_index));
    o.insert("end_cycle_index", checkpoint::int_or_null(r.end_cycle_index));
    o.insert("end_skill_name", checkpoint::text_or_null(r.end_skill_name));
    o.insert("length", json::Value(r.length));
    o.insert("reward_min", json::Value(r.reward_min));
    o.insert("reward_max", json::Value(r.reward_max));
    o.insert("terminated", json::Value(r.terminated));
    o.insert("truncated", json::Value(r.truncated));
    o.insert("first_step_number", checkpoint::int_or_null(r.first_step_number));
    o.insert("last_step_number", checkpoint::int_or_null(r.last_step_number));
    o.insert("missing_steps", json::Value(r.missing_steps));
    o.insert("duplicate_steps", json::Value(r.duplicate_steps));
    o.insert("start_timestamp", json::Value(r.start_timestamp));
    o.insert("end_timestamp", json::Value(r.end_timestamp));
    open.insert(episode, json::Value(std::move(o)));
  }
  c.insert("open_episodes", json::Value(std::move(open)));
  c.insert("next_episode_index", json::Value(_next_episode_index));
}

void EpisodeLog::restore(const Checkpoint &c) {
  using namespace checkpoint;
  _open = {};
  _next_episode_index = 0;
  if (c.find("open_episodes") == nullptr)
    return;
  _next_episode_index = int_of(member(c, "next_episode_index"), "next_episode_index");
  _open = map_of<Record>(c, "open_episodes", [](const json::Value &v, const char *name) {
    if (!v.is_object())
      bad(std::string("'") + name + "' holds a value that is not an object");
    const Checkpoint &o = v.as_object();
    Record r;
    r.run_id = optional_text(member(o, "run_id"), name);
    r.sim_id = optional_text(member(o, "sim_id"), name);
    r.skill_name = optional_text(member(o, "skill_name"), name);
    r.scenario = optional_text(member(o, "scenario"), name);
    r.first_cycle_index = int_of(member(o, "first_cycle_index"), name);
    r.end_cycle_index = optional_int(member(o, "end_cycle_index"), name);
    r.end_skill_name = optional_text(member(o, "end_skill_name"), name);
    r.length = int_of(member(o, "length"), name);
    r.reward_min = double_of(member(o, "reward_min"), name);
    r.reward_max = double_of(member(o, "reward_max"), name);
    r.terminated = bool_of(member(o, "terminated"), name);
    r.truncated = bool_of(member(o, "truncated"), name);
    r.first_step_number = optional_int(member(o, "first_step_number"), name);
    r.last_step_number = optional_int(member(o, "last_step_number"), name);
    r.missing_steps = int_of(member(o, "missing_steps"), name);
    r.duplicate_steps = int_of(member(o, "duplicate_steps"), name);
    r.start_timestamp = double_of(member(o, "start_timestamp"), name);
    r.end_timestamp = double_of(member(o, "end_timestamp"), name);
    return r;
  });
}

} // namespace networking::remote_historian::v2
