// Row materialization: pending rows become columns of the step dataset, on the flush worker.

#include <string>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"

namespace networking::remote_historian::v2 {

namespace {

// Fits vector to target_len and hands each position's value (or null) to sink, in order.
// A vector longer than the schema is truncated with one warning.
template <typename Sink>
void fit_vector(const StepVector &vector, std::size_t target_len, std::string_view label,
                Sink &&sink) {
  if (vector.raw_length() > target_len) {
    logger().warning("[EventHistorian] %s vector length %d exceeds schema %d; truncating",
                     std::string(label).c_str(), static_cast<int>(vector.raw_length()),
                     static_cast<int>(target_len));
  }
  for (std::size_t i = 0; i < target_len; ++i) {
    if (i < vector.kept() && !vector.is_null(i)) {
      sink(i, std::optional<double>(vector.value(i)));
    } else {
      sink(i, std::optional<double>());
    }
  }
}

void append_text(parquet::Column &column, const std::optional<std::string> &value) {
  if (value) {
    column.append(*value);
  } else {
    column.append_null();
  }
}

} // namespace

std::vector<std::optional<double>>
EventHistorianProcessor::_coerce_vector(const StepVector &vector, std::size_t target_len,
                                        std::string_view label) const {
  std::vector<std::optional<double>> out(target_len);
  fit_vector(vector, target_len, label,
             [&](std::size_t i, std::optional<double> v) { out[i] = v; });
  return out;
}

void EventHistorianProcessor::_materialize_row(const PendingRow &row, parquet::Table &table) const {
  auto &c = table.columns;
  append_text(c[0], row.run_id);
  append_text(c[1], row.sim_id);
  append_text(c[2], row.episode_id);
  if (row.step_number) {
    c[3].append(*row.step_number);
  } else {
    c[3].append_null();
  }
  if (row.timestamp) {
    c[4].append(*row.timestamp);
  } else {
    c[4].append_null();
  }
  append_text(c[5], row.skill_name);
  append_text(c[6], row.scenario);
  c[7].append(row.reward);
  c[8].append_bool(row.terminated);
  c[9].append_bool(row.truncated);

  const std::size_t obs_len = _obs_dim.value_or(0);
  const std::size_t act_len = _act_dim.value_or(0);
  auto put = [](parquet::Column &column, std::optional<double> v) {
    if (v) {
      column.append(*v);
    } else {
      column.append_null();
    }
  };
  fit_vector(row._obs_vec, obs_len, "obs",
             [&](std::size_t i, std::optional<double> v) { put(c[10 + i], v); });
  fit_vector(row._action_vec, act_len, "action",
             [&](std::size_t i, std::optional<double> v) { put(c[10 + obs_len + i], v); });
  if (include_raw_json) {
    const std::size_t json_at = 10 + obs_len + act_len;
    c[json_at].append(row._sim_data.value_or("{}"));
    c[json_at + 1].append(row._skill_data.value_or("{}"));
  }
}

} // namespace networking::remote_historian::v2
