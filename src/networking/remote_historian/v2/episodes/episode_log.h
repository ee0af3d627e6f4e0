#pragma once

// The episodes of a run, one record per episode from its first step until the training result
// that counts it, kept beside the cycle state's episode accounting and following it exactly:
// an episode is the steps of one episode id from the first one the cycle state counts until
// the cycle that counts it (the next cycle closed after its ending step) closes; its return is
// the cycle state's. A step without an episode id belongs to none. Loop thread only.
//
// Invariants: a record exists exactly while the cycle state holds its episode's reward; the
// step index of an episode's steps is 0, 1, 2... in the order they were taken; episode indices
// are given once each, in the order episodes are written (counted episodes in the order they
// ended, then at the stop those still held).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "networking/remote_historian/v2/durable/checkpoint.h"
#include "networking/remote_historian/v2/ordered_map.h"
#include "parquet/schema.h"
#include "parquet/table.h"

namespace networking::remote_historian::v2 {

// The episodes dataset's columns.
parquet::Schema _episode_schema();

// What a step tells its episode.
struct EpisodeStep {
  const std::optional<std::string> &run_id;
  const std::optional<std::string> &sim_id;
  const std::optional<std::string> &skill_name;
  const std::optional<std::string> &scenario;
  std::optional<std::int64_t> step_number;
  double timestamp;
  // The reward as the cycle average counts it (a null reward is 0).
  double reward;
  bool terminated;
  bool truncated;
  std::int64_t cycle_index;
};

class EpisodeLog {
public:
  // Records a step of episode_id; returns its index in the episode.
  std::int64_t add_step(const std::string &episode_id, const EpisodeStep &step);

  // The rows of the episodes a closed cycle counted (ended, in the order they ended), with
  // their returns from the cycle state, the cycle's index and skill ("" for none); their
  // records go.
  parquet::Table close(const std::vector<std::string> &episodes, const OrderedMap<double> &returns,
                       std::int64_t cycle_index, const std::string &skill);
  // At the stop: the rows of every episode still held, those that ended first (in the order
  // the cycle state's ended lists them), then the others; their records go.
  parquet::Table remaining(const OrderedMap<bool> &ended, const OrderedMap<double> &returns);
  bool empty() const { return _open.empty(); }

  // The checkpoint's share: the records and the next episode index. A checkpoint written
  // before there were records holds none.
  void save(Checkpoint &c) const;
  void restore(const Checkpoint &c);

private:
  struct Record {
    std::optional<std::string> run_id;
    std::optional<std::string> sim_id;
    std::optional<std::string> skill_name;
    std::optional<std::string> scenario;
    std::int64_t first_cycle_index = 0;
    // The cycle the episode ended in, and its skill then; none until its ending step.
    std::optional<std::int64_t> end_cycle_index;
    std::optional<std::string> end_skill_name;
    std::int64_t length = 0;
    double reward_min = 0.0;
    double reward_max = 0.0;
    bool terminated = false;
    bool truncated = false;
    std::optional<std::int64_t> first_step_number;
    std::optional<std::int64_t> last_step_number;
    std::int64_t missing_steps = 0;
    std::int64_t duplicate_steps = 0;
    double start_timestamp = 0.0;
    double end_timestamp = 0.0;
  };
  void append_row(parquet::Table &table, const std::string &episode_id, const Record &record,
                  const double *episode_return, std::optional<std::int64_t> cycle_index,
                  const std::optional<std::string> &skill, bool complete);

  OrderedMap<Record> _open;
  std::int64_t _next_episode_index = 0;
};

} // namespace networking::remote_historian::v2
