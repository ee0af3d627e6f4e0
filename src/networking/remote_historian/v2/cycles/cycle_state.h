#pragma once

// The state of the training cycles: the skill being trained, per skill the cycles closed and
// announced, the rewards and ends of the open cycle's episodes, and per skill the figures of
// its last closed cycle, from which the cycle-metrics reports are built. Loop thread only.
//
// Invariants: a skill's cycle index only grows, by one per closed cycle; an episode is in the
// open cycle's rewards from its first step with an episode id until the cycle it ended in
// closes (an episode that has not ended is carried into the next cycle). Skills are keyed by
// name, the empty name standing for none.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/ordered_map.h"
#include "parquet/schema.h"
#include "parquet/table.h"
#include "json/value.h"

namespace networking::remote_historian::v2 {

// One row of the cycle summary: the cycle closed, its average episode return and its skill
// ("" for none).
struct CycleRow {
  std::int64_t cycle_index;
  double average_reward;
  std::string skill;
};

// One cycle-metrics report: where it goes, its JSON text and the iteration it reports.
struct CallbackReport {
  std::string url;
  std::string body;
  std::int64_t iteration;
};

// The cycle summary's columns, its metadata row (the configured skill and total) and a cycle's
// row, as one-row tables.
parquet::Schema _cycle_schema();
parquet::Table _cycle_metadata_row(const std::optional<std::string> &skill,
                                   std::optional<std::int64_t> total_cycles);
parquet::Table _cycle_row(const CycleRow &row);

class CycleState {
public:
  // skill_name: the skill until an event names one; total_cycles: the cycles announced when no
  // event does; callback_url (without trailing slashes) and job_id: where reports go.
  CycleState(std::optional<std::string> skill_name, std::optional<std::int64_t> total_cycles,
             std::optional<std::string> callback_url, std::optional<std::string> job_id);

  // The skill-training-started event: its skill becomes the current one (a text no file can
  // hold fails the event before anything changes), and its total is kept.
  void _handle_skill_start(const json::Object &payload);
  // A step of episode_id with its reward (a null reward counts as 0) and whether it ended the
  // episode. A step without an episode id counts toward none.
  void count_step(const std::string &episode_id, double reward, bool done);
  // The current skill's key ("" for none).
  std::string skill_key() const;
  std::int64_t cycle_index(const std::string &skill) const;
  // The index of the current skill's open cycle: its closed cycles + 1.
  std::int64_t open_cycle_index() const;

  // A training result closes the current skill's cycle: the average return of the episodes
  // that ended in it, and the cycle's index counted (steps_per_sec is kept first). Throws when an
  // ended episode has no reward. The ended episodes stay until forget_episodes.
  struct Closed {
    CycleRow row;
    std::vector<std::string> episodes;
  };
  Closed close_cycle(const json::Value &steps_per_sec);
  void forget_episodes(const std::vector<std::string> &episodes);

  // Whether cycles are reported (a callback URL and a job id).
  bool reports_wanted() const;
  // The report of skill's last closed cycle. Requires: reports_wanted().
  CallbackReport _cycle_callback_report(const std::string &skill) const;

  // The checkpoint's share: everything above but the configuration.
  void save(Checkpoint &c) const;
  void restore(const Checkpoint &c);

  std::optional<std::string> _current_skill_name;
  OrderedMap<std::int64_t> _cycle_indices;
  OrderedMap<std::int64_t> _skill_total_cycles;
  OrderedMap<double> _cycle_episode_rewards;
  OrderedMap<bool> _cycle_episode_done;
  OrderedMap<double> _last_cycle_average_reward;
  OrderedMap<json::Value> _last_cycle_steps_per_sec;
  std::optional<std::string> _callback_url;
  std::optional<std::string> _job_id;

private:
  std::optional<std::string> _skill_name;
  std::optional<std::int64_t> _total_cycles;
};

} // namespace networking::remote_historian::v2
