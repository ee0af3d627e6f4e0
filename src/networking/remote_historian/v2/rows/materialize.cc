// Row materialization: pending rows become columns of the step dataset, on the flush worker.

#include <string>
#include <vector>

#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/rows/fixed_columns.h"

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
  _append_fixed_values(row, c);

  // The observation columns follow the fixed ones, then the action and the raw JSON columns.
  const std::size_t obs_len = _obs_dim.value_or(0);
  const std::size_t act_len = _act_dim.value_or(0);
  const std::size_t obs_at = kFixedColumnCount;
  const std::size_t act_at = obs_at + obs_len;
  fit_vector(row._obs_vec, obs_len, "obs",
             [&](std::size_t i, std::optional<double> v) { _append_or_null(c[obs_at + i], v); });
  fit_vector(row._action_vec, act_len, "action",
             [&](std::size_t i, std::optional<double> v) { _append_or_null(c[act_at + i], v); });
  if (include_raw_json) {
    const std::size_t json_at = act_at + act_len;
    c[json_at].append(std::string(row._sim_data.value_or("{}")));
    c[json_at + 1].append(std::string(row._skill_data.value_or("{}")));
  }
}

} // namespace networking::remote_historian::v2
