// Step intake: from one decoded message to one pending row, on the loop thread.

#include <algorithm>
#include <deque>
#include <string_view>
#include <string>
#include <vector>

#include "networking/event_base/json_encoder.h"
#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"

namespace networking::remote_historian::v2 {

namespace {

const json::Value& empty_object() {
  static const json::Value kEmpty{json::Object{}};
  return kEmpty;
}

bool truthy(const json::Value* v) { return v != nullptr && v->truthy(); }

// The first truthy of the sources, else the last source unchanged.
template <typename... Rest>
const json::Value* first_truthy(const json::Value* first, Rest... rest) {
  if constexpr (sizeof...(rest) == 0) {
    return first;
  } else {
    return truthy(first) ? first : first_truthy(rest...);
  }
}

// The elements of a vector value without copying them, in the order _normalize_vector gives
// (null: none; a sequence: its elements; a mapping: its values by ascending key; any other
// value: itself). A nullptr element stands for null.
using ValueRefs = std::vector<const json::Value*>;

ValueRefs vector_refs(const json::Value* value) {
  ValueRefs out;
  if (value == nullptr || value->is_null()) return out;
  if (value->is_array()) {
    out.reserve(value->as_array().size());
    for (const json::Value& v : value->as_array()) out.push_back(&v);
  } else if (value->is_object()) {
    std::vector<const json::Object::Member*> members;
    for (const auto& m : value->as_object()) members.push_back(&m);
    std::sort(members.begin(), members.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* m : members) out.push_back(&m->second);
  } else {
    out.push_back(value);
  }
  return out;
}

// Converts the first `width` elements to doubles; the rest only count toward raw_length.
StepVector coerce(const ValueRefs& refs, std::optional<std::int64_t> width) {
  const std::size_t kept =
      std::min(refs.size(), width ? static_cast<std::size_t>(*width) : std::size_t{0});
  StepVector out(kept, refs.size());
  for (std::size_t i = 0; i < kept; ++i)
    out.set(i, refs[i] ? _coerce_float(*refs[i]) : std::nullopt);
  return out;
}

}  // namespace

asio::awaitable<std::optional<json::Object>> EventHistorianProcessor::process_message(
    const event_base::EventMessage& message) {
  if (!_is_initialized) {
    logger().warning("[EventHistorian] Not initialized; skipping message");
    co_return std::nullopt;
  }
  const json::Value& payload_value = message.data.truthy() ? message.data : empty_object();
  if (!payload_value.is_object()) {
    logger().warning("[EventHistorian] Invalid step payload: %s",
                     std::string(payload_value.type_name()).c_str());
    co_return std::nullopt;
  }
  const json::Object& payload = payload_value.as_object();
  const json::Value* type = payload.find("type");
  if (type && type->is_string() && type->as_string() == "skill_training_started") {
    _handle_skill_start(payload);
    co_return std::nullopt;
  }
  if (_is_training_result_payload(payload)) {
    co_await _handle_training_result(payload);
    co_return std::nullopt;
  }
  _process_step(payload, message.timestamp);
  co_return std::nullopt;
}

void EventHistorianProcessor::_handle_skill_start(const json::Object& payload) {
  const json::Value* named = payload.find("skill_name");
  std::optional<std::string> skill = truthy(named) ? _text_or_null(named) : skill_name;
  _current_skill_name = skill;
  const std::string key = skill && !skill->empty() ? *skill : std::string();
  _cycle_indices.get_or_insert(key, 0);
  const json::Value* total = payload.find("total_cycles");
  if (total && !total->is_null()) _skill_total_cycles.set(key, _to_int64(*total));
}

const std::vector<std::string>& EventHistorianProcessor::_normalized_names(
    const std::vector<std::string_view>& raw) {
  if (!std::equal(raw.begin(), raw.end(), _raw_names_cache.begin(), _raw_names_cache.end())) {
    std::vector<std::optional<std::string>> input(raw.begin(), raw.end());
    _normalized_names_cache = _normalize_sensor_names(input);
    _raw_names_cache.assign(raw.begin(), raw.end());
  }
  return _normalized_names_cache;
}

void EventHistorianProcessor::_process_step(const json::Object& payload,
                                            double message_timestamp) {
  // Sub-objects; a lookup in one that is not a mapping fails the message.
  const json::Value* sim_v = payload.find("sim_data");
  const json::Value& sim_data = truthy(sim_v) ? *sim_v : empty_object();
  const json::Value* skill_v = payload.find("skill_data");
  if (!truthy(skill_v)) skill_v = payload.find("agent_data");
  const json::Value& skill_data = truthy(skill_v) ? *skill_v : empty_object();
  const json::Value* sim_r = sim_data.get("result");
  const json::Value& sim_result = truthy(sim_r) ? *sim_r : sim_data;
  const json::Value* skill_r = skill_data.get("result");
  const json::Value& skill_result = truthy(skill_r) ? *skill_r : skill_data;

  // Observation and action.
  const json::Value* obs = sim_data.get("observation");
  if (!truthy(obs)) obs = sim_result.get("sim_sensors");
  if (obs == nullptr || obs->is_null()) obs = sim_result.get("observation");
  const json::Value* action = skill_data.as_object().contains("action")
                                  ? skill_data.get("action")
                                  : skill_result.get("action");

  // Names and observation vector.
  const json::Value* sensors = skill_result.get("sensor_names");
  if (!truthy(sensors)) sensors = sim_result.get("sensor_names");
  // Views into the payload; names that are not texts get their text form kept in `forms`.
  std::optional<std::vector<std::string_view>> names;
  std::deque<std::string> forms;
  if (sensors && sensors->is_array() && !sensors->as_array().empty()) {
    names.emplace();
    names->reserve(sensors->as_array().size());
    for (const json::Value& n : sensors->as_array()) {
      if (n.is_null()) continue;
      if (n.is_string()) {
        names->push_back(n.as_string());
      } else {
        names->push_back(forms.emplace_back(_text_form(n)));
      }
    }
  } else if (obs && obs->is_object() && !obs->as_object().empty()) {
    names.emplace();
    for (const auto& [key, value] : obs->as_object()) names->push_back(key);
  }

  ValueRefs obs_refs;
  if (obs && obs->is_object()) {
    const json::Object& o = obs->as_object();
    if (names && !names->empty()) {
      obs_refs.reserve(names->size());
      for (std::size_t i = 0; i < names->size(); ++i) {
        const std::string_view name = (*names)[i];
        // Producers list the names in the observation's own order: try that slot first.
        if (i < o.size() && o[i].first == name) {
          obs_refs.push_back(&o[i].second);
        } else {
          obs_refs.push_back(o.find(name));
        }
      }
    } else {
      obs_refs.reserve(o.size());
      for (const auto& m : o) obs_refs.push_back(&m.second);
    }
  } else {
    obs_refs = vector_refs(obs);
  }

  if (obs_refs.empty()) {
    const json::Value* korvo = skill_result.get("korvo_obs");
    if (korvo && korvo->is_object() && !korvo->as_object().empty()) {
      names.emplace();
      for (const auto& [key, value] : korvo->as_object()) {
        names->push_back(key);
        obs_refs.push_back(&value);
      }
    }
  }

  if (!obs_refs.empty() && names && !names->empty() && names->size() != obs_refs.size()) {
    if (!_warned_obs_name_mismatch) {
      logger().warning(
          "[EventHistorian] Sensor name count (%d) does not match observation length (%d); "
          "falling back to s_* columns.",
          static_cast<int>(names->size()), static_cast<int>(obs_refs.size()));
      _warned_obs_name_mismatch = true;
    }
    names.reset();
  }

  ValueRefs action_refs = vector_refs(action);

  // Widths, fixed by the first step that has them.
  if (!_obs_dim && !obs_refs.empty()) _obs_dim = static_cast<std::int64_t>(obs_refs.size());
  if (!_act_dim && !action_refs.empty())
    _act_dim = static_cast<std::int64_t>(action_refs.size());

  // Schema names.
  if (names && !names->empty()) {
    const std::vector<std::string>& normalized = _normalized_names(*names);
    if (!_writer_open.load() && !_obs_names) {
      if (!obs_refs.empty() && normalized.size() == obs_refs.size()) {
        _obs_names = normalized;
      } else if (!_warned_obs_name_mismatch) {
        logger().warning(
            "[EventHistorian] Sensor name count (%d) does not match observation length (%d); "
            "falling back to s_* columns.",
            static_cast<int>(normalized.size()), static_cast<int>(obs_refs.size()));
        _warned_obs_name_mismatch = true;
      }
    } else if (_obs_names && !_obs_names->empty() && normalized != *_obs_names) {
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

  // Identification, reward and flags.
  const json::Object& sim_obj = sim_data.as_object();
  const json::Value* episode_v =
      first_truthy(payload.find("episode_id"), sim_obj.find("episode_id"), skill_data.get("episode_id"));
  const json::Value* step_v = first_truthy(payload.find("step_number"), sim_obj.find("step_number"),
                                           skill_data.get("step_number"));
  if (step_v == nullptr || step_v->is_null())
    step_v = first_truthy(payload.find("episode_step"), sim_obj.find("episode_step"),
                          skill_data.get("episode_step"));
  const json::Value* sim_id_v =
      first_truthy(sim_obj.find("sim_id"), skill_data.get("sim_id"), sim_result.get("sim_id"));
  const json::Value* run_v =
      first_truthy(payload.find("run_id"), sim_obj.find("run_id"), skill_data.get("run_id"));
  const json::Value* ts_v = payload.find("timestamp");
  const json::Value* info = sim_result.get("info");
  const json::Value* scenario_v = first_truthy(
      payload.find("scenario"), sim_result.get("scenario"), skill_result.get("scenario"),
      (truthy(info) ? *info : empty_object()).get("scenario"));

  const json::Value* reward_v = skill_data.as_object().contains("teacher_reward")
                                    ? skill_data.get("teacher_reward")
                                    : skill_result.get("teacher_reward");
  static const json::Value kZeroReward(0.0);
  if (reward_v == nullptr || reward_v->is_null()) reward_v = &kZeroReward;
  const bool terminated = truthy(sim_result.get("sim_terminated")) ||
                          truthy(sim_result.get("terminated")) ||
                          truthy(skill_result.get("teacher_terminated"));
  const bool truncated =
      truthy(sim_result.get("sim_truncated")) || truthy(sim_result.get("truncated")) ||
      truthy(skill_result.get("truncated")) || truthy(skill_data.get("done"));

  // Episode accounting comes before the row's conversions, which may still fail.
  std::optional<std::string> episode_id = _text_or_null(episode_v);
  if (episode_id) {
    const double reward_float = _coerce_float(*reward_v).value_or(0.0);
    _cycle_episode_rewards.get_or_insert(*episode_id, 0.0) += reward_float;
    if (terminated || truncated) _cycle_episode_done.set(*episode_id, true);
  }

  PendingRow row;
  row.run_id = truthy(run_v) ? _text_or_null(run_v) : run_id;
  row.sim_id = _text_or_null(sim_id_v);
  row.episode_id = std::move(episode_id);
  if (step_v && !step_v->is_null()) row.step_number = _to_int64(*step_v);
  row.timestamp = truthy(ts_v) ? _to_double(*ts_v) : message_timestamp;
  row.skill_name = _current_skill_name;
  row.scenario = _text_or_null(scenario_v);
  row.reward = _to_double(*reward_v);
  row.terminated = terminated;
  row.truncated = truncated;
  row._obs_vec = coerce(obs_refs, _obs_dim);
  row._action_vec = coerce(action_refs, _act_dim);
  if (include_raw_json) {
    row._sim_data = event_base::JsonEncoder::encode(sim_data);
    row._skill_data = event_base::JsonEncoder::encode(skill_data);
  }
  _pending_rows.push_back(std::move(row));
}

}  // namespace networking::remote_historian::v2
