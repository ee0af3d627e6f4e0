// The shape of a step: widths, names and the step dataset's columns.

#include "networking/remote_historian/v2/shape/step_shape.h"

#include <algorithm>
#include <unordered_set>

#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"

namespace networking::remote_historian::v2 {

std::vector<std::string> _unique_observation_columns(std::vector<std::string> names,
                                                     const std::vector<std::string> &reserved) {
  std::unordered_set<std::string> taken(reserved.begin(), reserved.end());
  std::vector<bool> clash(names.size(), false);
  std::unordered_set<std::string> seen;
  for (std::size_t i = 0; i < names.size(); ++i) {
    clash[i] = taken.count(names[i]) != 0 || !seen.insert(names[i]).second;
  }
  for (std::size_t i = 0; i < names.size(); ++i)
    if (!clash[i])
      taken.insert(names[i]);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!clash[i])
      continue;
    std::string candidate = names[i] + "_" + std::to_string(i);
    for (int n = 2; taken.count(candidate); ++n)
      candidate = names[i] + "_" + std::to_string(i) + "_" + std::to_string(n);
    taken.insert(candidate);
    names[i] = std::move(candidate);
  }
  return names;
}

void StepShape::fix_widths(std::size_t obs, std::size_t action) {
  if (!_obs_dim && obs != 0)
    _obs_dim = static_cast<std::int64_t>(obs);
  if (!_act_dim && action != 0)
    _act_dim = static_cast<std::int64_t>(action);
}

void StepShape::_settle_unknown_widths(std::size_t rows) {
  if (rows == 0 || known())
    return;
  // Rows wait for both widths; a run whose steps never carried one of the vectors (an
  // observation-only run) would otherwise lose every row here.
  const char *missing = !_obs_dim && !_act_dim ? "observation or action"
                        : !_obs_dim            ? "observation"
                                               : "action";
  logger().warning("[EventHistorian] No step carried an %s vector; writing %d rows without %s "
                   "columns",
                   missing, static_cast<int>(rows), missing);
  _obs_dim = _obs_dim.value_or(0);
  _act_dim = _act_dim.value_or(0);
}

const std::vector<std::string> &
StepShape::_normalized_names(const std::vector<std::string_view> &raw) {
  if (!std::equal(raw.begin(), raw.end(), _raw_names_cache.begin(), _raw_names_cache.end(),
                  same_text)) {
    std::vector<std::optional<std::string>> input(raw.begin(), raw.end());
    _normalized_names_cache = _normalize_sensor_names(input);
    _raw_names_cache.assign(raw.begin(), raw.end());
    std::vector<std::string_view> sorted(raw.begin(), raw.end());
    std::sort(sorted.begin(), sorted.end());
    _raw_names_distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    _key_order.clear();
  }
  return _normalized_names_cache;
}

void StepShape::warn_count_mismatch(std::size_t names, std::size_t obs_len) {
  if (_warned_obs_name_mismatch)
    return;
  logger().warning(
      "[EventHistorian] Sensor name count (%d) does not match observation length (%d); "
      "falling back to s_* columns.",
      static_cast<int>(names), static_cast<int>(obs_len));
  _warned_obs_name_mismatch = true;
}

void StepShape::note_names(const std::vector<std::string> &normalized, std::size_t obs_len,
                           bool may_name) {
  if (may_name && !_obs_names) {
    if (obs_len != 0 && normalized.size() == obs_len) {
      _obs_names = normalized;
      _obs_raw_names = _raw_names_cache;
    } else {
      warn_count_mismatch(normalized.size(), obs_len);
    }
  } else if (_obs_names && !_obs_names->empty() &&
             !std::equal(normalized.begin(), normalized.end(), _obs_names->begin(),
                         _obs_names->end(), same_text)) {
    if (!_warned_obs_name_mismatch) {
      logger().warning(
          "[EventHistorian] Sensor name schema mismatch detected; keeping initial schema to "
          "preserve historian columns.");
      _warned_obs_name_mismatch = true;
    } else {
      logger().debug("[EventHistorian] Sensor name schema mismatch detected; ignoring.");
    }
  }
}

parquet::Schema StepShape::schema(const std::vector<parquet::Field> &fixed, bool raw_json) const {
  std::vector<parquet::Field> fields = fixed;
  std::vector<std::string> obs_names;
  if (_obs_names && !_obs_names->empty() &&
      static_cast<std::int64_t>(_obs_names->size()) == *_obs_dim) {
    obs_names = *_obs_names;
  } else {
    for (std::int64_t i = 0; i < *_obs_dim; ++i)
      obs_names.push_back("s_" + std::to_string(i));
  }
  std::vector<std::string> other;
  other.reserve(fields.size() + static_cast<std::size_t>(*_act_dim) + 5);
  for (const auto &field : fields)
    other.push_back(field.name);
  for (std::int64_t i = 0; i < *_act_dim; ++i)
    other.push_back("a_" + std::to_string(i));
  if (raw_json) {
    other.push_back("sim_data_json");
    other.push_back("skill_data_json");
  }
  other.push_back("cycle_index");
  other.push_back("step_index");
  other.push_back("entry_id");
  obs_names = _unique_observation_columns(std::move(obs_names), other);
  for (const auto &name : obs_names)
    fields.push_back({name, parquet::Type::kDouble});
  for (std::int64_t i = 0; i < *_act_dim; ++i)
    fields.push_back({"a_" + std::to_string(i), parquet::Type::kDouble});
  if (raw_json) {
    fields.push_back({"sim_data_json", parquet::Type::kString});
    fields.push_back({"skill_data_json", parquet::Type::kString});
  }
  // Last, so that readers that address the columns by position find the others where they were.
  fields.push_back({"cycle_index", parquet::Type::kInt64});
  fields.push_back({"step_index", parquet::Type::kInt64});
  fields.push_back({"entry_id", parquet::Type::kString});
  return parquet::Schema(std::move(fields));
}

void StepShape::save(Checkpoint &c) const {
  c.insert("obs_dim", checkpoint::int_or_null(_obs_dim));
  c.insert("act_dim", checkpoint::int_or_null(_act_dim));
  c.insert("obs_names", checkpoint::texts_or_null(_obs_names));
  c.insert("warned_obs_name_mismatch", json::Value(_warned_obs_name_mismatch));
}

void StepShape::restore(const Checkpoint &c) {
  using namespace checkpoint;
  _obs_dim = optional_int(member(c, "obs_dim"), "obs_dim");
  _act_dim = optional_int(member(c, "act_dim"), "act_dim");
  _obs_names = optional_texts(member(c, "obs_names"), "obs_names");
  _warned_obs_name_mismatch =
      bool_of(member(c, "warned_obs_name_mismatch"), "warned_obs_name_mismatch");
}

} // namespace networking::remote_historian::v2
