// Step intake: from one decoded message to one pending row, on the loop thread.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "networking/event_base/json_encoder.h"
#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"
#include "json/tape.h"

namespace networking::remote_historian::v2 {

namespace {

const json::Value &empty_object() {
  static const json::Value kEmpty{json::Object{}};
  return kEmpty;
}

// Equality of texts; the short ones that names and keys are compared without a library call,
// by two overlapping loads that stay inside both texts.
template <class Word>
[[gnu::always_inline]] inline bool same_ends(const char *a, const char *b, std::size_t n) {
  Word a0, a1, b0, b1;
  std::memcpy(&a0, a, sizeof(Word));
  std::memcpy(&b0, b, sizeof(Word));
  std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
  std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

[[gnu::always_inline]] inline bool same_text(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size())
    return false;
  if (n >= 8) {
    return n <= 16 ? same_ends<std::uint64_t>(a.data(), b.data(), n)
                   : std::memcmp(a.data(), b.data(), n) == 0;
  }
  if (n >= 4)
    return same_ends<std::uint32_t>(a.data(), b.data(), n);
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i])
      return false;
  return true;
}

bool truthy(const json::Value *v) { return v != nullptr && v->truthy(); }

// The first truthy of the sources, else the last source unchanged.
template <typename... Rest>
const json::Value *first_truthy(const json::Value *first, Rest... rest) {
  if constexpr (sizeof...(rest) == 0) {
    return first;
  } else {
    return truthy(first) ? first : first_truthy(rest...);
  }
}

// The elements of a vector value without copying them, in the order _normalize_vector gives
// (null: none; a sequence: its elements; a mapping: its values by ascending key; any other
// value: itself). A nullptr element stands for null.
using ValueRefs = std::vector<const json::Value *>;

ValueRefs vector_refs(const json::Value *value) {
  ValueRefs out;
  if (value == nullptr || value->is_null())
    return out;
  if (value->is_array()) {
    out.reserve(value->as_array().size());
    for (const json::Value &v : value->as_array())
      out.push_back(&v);
  } else if (value->is_object()) {
    std::vector<const json::Object::Member *> members;
    for (const auto &m : value->as_object())
      members.push_back(&m);
    std::sort(members.begin(), members.end(),
              [](const auto *a, const auto *b) { return a->first < b->first; });
    for (const auto *m : members)
      out.push_back(&m->second);
  } else {
    out.push_back(value);
  }
  return out;
}

} // namespace

// A step's observation or action elements: as the full reader holds them (values still to
// convert, in step 16) or as the fast reader does (already converted, which cannot fail).
struct StepElements {
  ValueRefs refs;
  std::vector<double> values; // StepVector::kNullBits for null
  bool converted = false;

  std::size_t size() const { return converted ? values.size() : refs.size(); }
  bool empty() const { return size() == 0; }

  // Converts the first `width` elements; the rest only count toward raw_length.
  StepVector to_vector(std::optional<std::int64_t> width, ValueArena &arena) const {
    const std::size_t n = size();
    const std::size_t kept = std::min(n, width ? static_cast<std::size_t>(*width) : std::size_t{0});
    StepVector out(kept ? arena.allocate(kept) : nullptr, kept, n);
    if (converted) {
      for (std::size_t i = 0; i < kept; ++i)
        out.set_raw(i, values[i]);
    } else {
      for (std::size_t i = 0; i < kept; ++i)
        out.set(i, refs[i] ? _coerce_float(*refs[i]) : std::nullopt);
    }
    return out;
  }
};

struct StepInput {
  // Views into the payload; names that are not texts have their text form kept in `forms`.
  std::optional<std::vector<std::string_view>> names;
  std::vector<std::string> forms; // reserved up front: views into it stay valid
  // Instead of `names`: the names are the (non-empty) _raw_names_cache.
  bool names_cached = false;
  StepElements obs;
  StepElements action;
  // The sources of the row's values (nullptr: absent), still to convert.
  const json::Value *episode = nullptr;
  const json::Value *step = nullptr;
  const json::Value *sim_id = nullptr;
  const json::Value *run = nullptr;
  const json::Value *timestamp = nullptr;
  const json::Value *scenario = nullptr;
  const json::Value *reward = nullptr;
  bool terminated = false;
  bool truncated = false;
  // Only when raw JSON columns are written.
  const json::Value *sim_data = nullptr;
  const json::Value *skill_data = nullptr;

  // Empties it, keeping the buffers for the next step.
  void reset() {
    names.reset();
    forms.clear();
    names_cached = false;
    for (StepElements *e : {&obs, &action}) {
      e->refs.clear();
      e->values.clear();
      e->converted = false;
    }
    episode = step = sim_id = run = timestamp = scenario = reward = nullptr;
    terminated = truncated = false;
    sim_data = skill_data = nullptr;
  }
};

asio::awaitable<std::optional<json::Object>>
EventHistorianProcessor::process_message(const event_base::EventMessage &message) {
  if (!_is_initialized) {
    logger().warning("[EventHistorian] Not initialized; skipping message");
    co_return std::nullopt;
  }
  // Most steps are read straight from the parsed text; the rest take the full path below.
  json::Value materialized;
  const json::Value *data = &message.data;
  if (message.document) {
    if (_process_step_fast(*message.document, message.timestamp))
      co_return std::nullopt;
    materialized = message.document->to_value();
    data = &materialized;
  }
  const json::Value &payload_value = data->truthy() ? *data : empty_object();
  if (!payload_value.is_object()) {
    logger().warning("[EventHistorian] Invalid step payload: %s",
                     std::string(payload_value.type_name()).c_str());
    co_return std::nullopt;
  }
  const json::Object &payload = payload_value.as_object();
  const json::Value *type = payload.find("type");
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

void EventHistorianProcessor::_handle_skill_start(const json::Object &payload) {
  const json::Value *named = payload.find("skill_name");
  std::optional<std::string> skill = truthy(named) ? _text_or_null(named) : skill_name;
  _current_skill_name = skill;
  const std::string key = skill && !skill->empty() ? *skill : std::string();
  _cycle_indices.get_or_insert(key, 0);
  const json::Value *total = payload.find("total_cycles");
  if (total && !total->is_null())
    _skill_total_cycles.set(key, _to_int64(*total));
}

const std::vector<std::string> &
EventHistorianProcessor::_normalized_names(const std::vector<std::string_view> &raw) {
  if (!std::equal(raw.begin(), raw.end(), _raw_names_cache.begin(), _raw_names_cache.end(),
                  same_text)) {
    std::vector<std::optional<std::string>> input(raw.begin(), raw.end());
    _normalized_names_cache = _normalize_sensor_names(input);
    _raw_names_cache.assign(raw.begin(), raw.end());
    std::vector<std::string_view> sorted(raw.begin(), raw.end());
    std::sort(sorted.begin(), sorted.end());
    _raw_names_distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
  }
  return _normalized_names_cache;
}

void EventHistorianProcessor::_process_step(const json::Object &payload, double message_timestamp) {
  StepInput in;
  // Sub-objects; a lookup in one that is not a mapping fails the message.
  const json::Value *sim_v = payload.find("sim_data");
  const json::Value &sim_data = truthy(sim_v) ? *sim_v : empty_object();
  const json::Value *skill_v = payload.find("skill_data");
  if (!truthy(skill_v))
    skill_v = payload.find("agent_data");
  const json::Value &skill_data = truthy(skill_v) ? *skill_v : empty_object();
  const json::Value *sim_r = sim_data.get("result");
  const json::Value &sim_result = truthy(sim_r) ? *sim_r : sim_data;
  const json::Value *skill_r = skill_data.get("result");
  const json::Value &skill_result = truthy(skill_r) ? *skill_r : skill_data;

  // Observation and action.
  const json::Value *obs = sim_data.get("observation");
  if (!truthy(obs))
    obs = sim_result.get("sim_sensors");
  if (obs == nullptr || obs->is_null())
    obs = sim_result.get("observation");
  const json::Value *action = skill_data.as_object().contains("action")
                                  ? skill_data.get("action")
                                  : skill_result.get("action");

  // Names and observation vector.
  const json::Value *sensors = skill_result.get("sensor_names");
  if (!truthy(sensors))
    sensors = sim_result.get("sensor_names");
  std::optional<std::vector<std::string_view>> &names = in.names;
  if (sensors && sensors->is_array() && !sensors->as_array().empty()) {
    names.emplace();
    names->reserve(sensors->as_array().size());
    in.forms.reserve(sensors->as_array().size());
    for (const json::Value &n : sensors->as_array()) {
      if (n.is_null())
        continue;
      if (n.is_string()) {
        names->push_back(n.as_string());
      } else {
        names->push_back(in.forms.emplace_back(_text_form(n)));
      }
    }
  } else if (obs && obs->is_object() && !obs->as_object().empty()) {
    names.emplace();
    for (const auto &[key, value] : obs->as_object())
      names->push_back(key);
  }

  ValueRefs &obs_refs = in.obs.refs;
  if (obs && obs->is_object()) {
    const json::Object &o = obs->as_object();
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
      for (const auto &m : o)
        obs_refs.push_back(&m.second);
    }
  } else {
    obs_refs = vector_refs(obs);
  }

  if (obs_refs.empty()) {
    const json::Value *korvo = skill_result.get("korvo_obs");
    if (korvo && korvo->is_object() && !korvo->as_object().empty()) {
      names.emplace();
      for (const auto &[key, value] : korvo->as_object()) {
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

  in.action.refs = vector_refs(action);

  // Identification, reward and flags.
  const json::Object &sim_obj = sim_data.as_object();
  in.episode = first_truthy(payload.find("episode_id"), sim_obj.find("episode_id"),
                            skill_data.get("episode_id"));
  in.step = first_truthy(payload.find("step_number"), sim_obj.find("step_number"),
                         skill_data.get("step_number"));
  if (in.step == nullptr || in.step->is_null())
    in.step = first_truthy(payload.find("episode_step"), sim_obj.find("episode_step"),
                           skill_data.get("episode_step"));
  in.sim_id =
      first_truthy(sim_obj.find("sim_id"), skill_data.get("sim_id"), sim_result.get("sim_id"));
  in.run = first_truthy(payload.find("run_id"), sim_obj.find("run_id"), skill_data.get("run_id"));
  in.timestamp = payload.find("timestamp");
  in.scenario = first_truthy(payload.find("scenario"), sim_result.get("scenario"),
                             skill_result.get("scenario"));
  if (!truthy(in.scenario)) {
    // "info" is only consulted when no earlier source has a scenario.
    const json::Value *info = sim_result.get("info");
    in.scenario = (truthy(info) ? *info : empty_object()).get("scenario");
  }
  in.reward = skill_data.as_object().contains("teacher_reward")
                  ? skill_data.get("teacher_reward")
                  : skill_result.get("teacher_reward");
  in.terminated = truthy(sim_result.get("sim_terminated")) ||
                  truthy(sim_result.get("terminated")) ||
                  truthy(skill_result.get("teacher_terminated"));
  in.truncated = truthy(sim_result.get("sim_truncated")) || truthy(sim_result.get("truncated")) ||
                 truthy(skill_result.get("truncated")) || truthy(skill_data.get("done"));
  in.sim_data = &sim_data;
  in.skill_data = &skill_data;
  _commit_step(in, message_timestamp);
}

namespace {

// Thrown by the fast reader for what it leaves to the full path. Nothing has changed yet.
struct Declined {};

using json::tape::Member;
using json::tape::Node;
using json::tape::Range;
using Members = Range<Member>;
using Elements = Range<Node>;
using DomObject = std::optional<Node>; // an object; nullopt: the empty object

// Requires: e is of that kind.
Members object_of(Node e) { return Members(e); }
Elements array_of(Node e) { return Elements(e); }

bool truthy(Node e) {
  switch (e.kind()) {
  case '[':
  case '{':
    return !e.empty();
  case 'l':
  case 'u':
    return e.number<std::uint64_t>() != 0;
  case 'd':
    return e.number<double>() != 0.0;
  case '"':
    return !e.text().empty();
  case 't':
    return true;
  default:
    return false;
  }
}

bool truthy(const std::optional<Node> &e) { return e && truthy(*e); }
bool is_null(const std::optional<Node> &e) { return !e || e->is_null(); }

// The values under `keys` in obj, in one pass; a repeated key gives its last value, as the
// full parser keeps it.
template <std::size_t N> class Fields {
public:
  Fields(const DomObject &obj, const std::array<std::string_view, N> &keys) {
    if (!obj)
      return;
    for (const Member m : object_of(*obj)) {
      for (std::size_t i = 0; i < N; ++i) {
        if (same_text(m.key, keys[i])) {
          _values[i] = m.value;
          break;
        }
      }
    }
  }
  const std::optional<Node> &operator[](std::size_t i) const { return _values[i]; }

private:
  std::array<std::optional<Node>, N> _values;
};

std::optional<std::string_view> key_text(const Member &member) { return member.key; }

// Whether the texts that `text` gives for the items of range (nullopt: left out) are `cached`.
template <class Range, class Text>
bool matches(const Range &range, const Text &text, const std::vector<std::string> &cached) {
  std::size_t i = 0;
  for (const auto item : range) {
    const std::optional<std::string_view> t = text(item);
    if (!t)
      continue;
    if (i >= cached.size() || !same_text(*t, cached[i]))
      return false;
    ++i;
  }
  return i == cached.size();
}

template <class Range, class Text>
std::vector<std::string_view> views(const Range &range, const Text &text) {
  std::vector<std::string_view> out;
  for (const auto item : range)
    if (const std::optional<std::string_view> t = text(item))
      out.push_back(*t);
  return out;
}

// A truthy value that must be a mapping (a lookup in anything else fails, which the full path
// reports), or `otherwise` for a falsy one.
DomObject mapping(const std::optional<Node> &v, const DomObject &otherwise) {
  if (!truthy(v))
    return otherwise;
  if (!v->is_object())
    throw Declined{};
  return v;
}

// A scalar as the full parser gives it.
json::Value scalar_value(Node e) {
  switch (e.kind()) {
  case 'l':
    return json::Value(static_cast<long long>(e.number<std::int64_t>()));
  case 'u':
    return json::Value(static_cast<unsigned long long>(e.number<std::uint64_t>()));
  case 'd':
    return json::Value(e.number<double>());
  case '"':
    return json::Value(e.text());
  case 't':
    return json::Value(true);
  case 'f':
    return json::Value(false);
  case 'n':
    return json::Value();
  default:
    throw Declined{};
  }
}

// One vector element converted as _coerce_float converts it.
double coerced(Node e) {
  switch (e.kind()) {
  case 'd':
    return e.number<double>();
  case 'l':
    return static_cast<double>(e.number<std::int64_t>());
  case 'u':
    return static_cast<double>(e.number<std::uint64_t>());
  case 't':
    return 1.0;
  case 'f':
    return 0.0;
  case '"':
    throw Declined{};
  default: // null, an array, an object
    return std::bit_cast<double>(StepVector::kNullBits);
  }
}

// _normalize_vector of a value, converted; a mapping (sorted by key) is left to the full path.
void coerce_vector(const std::optional<Node> &v, std::vector<double> &out) {
  if (is_null(v))
    return;
  if (v->is_array()) {
    const auto array = array_of(*v);
    out.reserve(array.count());
    for (const Node e : array)
      out.push_back(coerced(e));
  } else if (v->is_object()) {
    throw Declined{};
  } else {
    out.push_back(coerced(*v));
  }
}

// Owned copies of the chosen scalar sources, for StepInput to point at.
struct Scalars {
  std::array<json::Value, 7> values;
  std::size_t used = 0;
  const json::Value *keep(const std::optional<Node> &e) {
    if (!e)
      return nullptr;
    values[used] = scalar_value(*e);
    return &values[used++];
  }
};

template <typename... Rest>
const std::optional<Node> &first_truthy(const std::optional<Node> &first, const Rest &...rest) {
  if constexpr (sizeof...(rest) == 0) {
    return first;
  } else {
    return truthy(first) ? first : first_truthy(rest...);
  }
}

constexpr std::array<std::string_view, 11> kPayloadKeys = {
    "type",       "training_result", "sim_data",     "skill_data", "agent_data", "run_id",
    "episode_id", "step_number",     "episode_step", "timestamp",  "scenario"};
enum {
  kType,
  kTrainingResult,
  kSimData,
  kSkillData,
  kAgentData,
  kRunId,
  kEpisodeId,
  kStepNumber,
  kEpisodeStep,
  kTimestamp,
  kScenario
};

constexpr std::array<std::string_view, 10> kDataKeys = {
    "result",      "observation",  "run_id", "sim_id",         "episode_id",
    "step_number", "episode_step", "action", "teacher_reward", "done"};
enum {
  kResult,
  kObservation,
  kDataRunId,
  kDataSimId,
  kDataEpisodeId,
  kDataStepNumber,
  kDataEpisodeStep,
  kAction,
  kTeacherReward,
  kDone
};

constexpr std::array<std::string_view, 14> kResultKeys = {"observation",    "sim_sensors",
                                                          "sensor_names",   "sim_id",
                                                          "sim_terminated", "terminated",
                                                          "sim_truncated",  "truncated",
                                                          "scenario",       "info",
                                                          "action",         "teacher_reward",
                                                          "korvo_obs",      "teacher_terminated"};
enum {
  kResObservation,
  kSimSensors,
  kSensorNames,
  kResSimId,
  kSimTerminated,
  kTerminated,
  kSimTruncated,
  kTruncated,
  kResScenario,
  kInfo,
  kResAction,
  kResTeacherReward,
  kKorvoObs,
  kTeacherTerminated
};

} // namespace

bool EventHistorianProcessor::_process_step_fast(const json::Document &document,
                                                 double message_timestamp) {
  if (include_raw_json)
    return false;
  const json::tape::Tape tape = document.tape();
  const Node root = json::tape::root(&tape);
  if (!root.is_object() || !truthy(root))
    return false;
  try {
    const Fields payload(DomObject(root), kPayloadKeys);
    // Skill-start events and training results.
    if (payload[kType] && payload[kType]->is_string()) {
      const std::string_view type = payload[kType]->text();
      if (type == "skill_training_started" || type == "ppo_training_result")
        return false;
    }
    if (payload[kTrainingResult] && payload[kTrainingResult]->is_object())
      return false;

    // Sub-objects.
    const DomObject sim_data = mapping(payload[kSimData], std::nullopt);
    const DomObject skill_data = mapping(
        truthy(payload[kSkillData]) ? payload[kSkillData] : payload[kAgentData], std::nullopt);
    const Fields sim(sim_data, kDataKeys);
    const Fields skill(skill_data, kDataKeys);
    const DomObject sim_result_obj = mapping(sim[kResult], sim_data);
    const DomObject skill_result_obj = mapping(skill[kResult], skill_data);
    const Fields sim_result(sim_result_obj, kResultKeys);
    const Fields skill_result(skill_result_obj, kResultKeys);

    // Observation and action.
    std::optional<Node> obs = sim[kObservation];
    if (!truthy(obs))
      obs = sim_result[kSimSensors];
    if (is_null(obs))
      obs = sim_result[kResObservation];
    // A key present in skill_data counts even with a null value.
    const std::optional<Node> &action = skill[kAction] ? skill[kAction] : skill_result[kResAction];

    // Names and observation vector. The names end up in _raw_names_cache, which consecutive
    // steps almost always already hold.
    thread_local StepInput in; // its buffers are reused from step to step
    in.reset();
    std::optional<Node> sensors = skill_result[kSensorNames];
    if (!truthy(sensors))
      sensors = sim_result[kSensorNames];
    const bool obs_is_mapping = obs && obs->is_object();
    bool names_from_keys = false;
    std::size_t name_count = 0;
    if (sensors && sensors->is_array() && truthy(sensors)) {
      const auto list = array_of(*sensors);
      const auto text = [](Node n) -> std::optional<std::string_view> {
        if (n.is_null())
          return std::nullopt;
        if (!n.is_string())
          throw Declined{};
        return n.text();
      };
      if (!matches(list, text, _raw_names_cache))
        _normalized_names(views(list, text));
      name_count = _raw_names_cache.size();
    } else if (obs_is_mapping && truthy(obs)) {
      const auto o = object_of(*obs);
      if (!matches(o, key_text, _raw_names_cache))
        _normalized_names(views(o, key_text));
      name_count = _raw_names_cache.size();
      names_from_keys = true;
    }

    in.obs.converted = true;
    std::vector<double> &obs_values = in.obs.values;
    if (obs_is_mapping) {
      // Taken only when its keys are distinct and are the names in their order; every other
      // pairing of names and keys is for the full path.
      const auto o = object_of(*obs);
      if (name_count == 0) {
        if (!o.empty())
          throw Declined{};
      } else {
        if (!_raw_names_distinct || o.count() != std::min<std::size_t>(name_count, 0xFFFFFF))
          throw Declined{};
        obs_values.reserve(name_count);
        std::size_t i = 0;
        for (const auto [key, value] : o) {
          if (!names_from_keys && (i >= name_count || !same_text(key, _raw_names_cache[i])))
            throw Declined{};
          obs_values.push_back(coerced(value));
          ++i;
        }
        if (i != name_count)
          throw Declined{};
      }
    } else {
      coerce_vector(obs, obs_values);
    }

    if (obs_values.empty()) {
      const std::optional<Node> &korvo = skill_result[kKorvoObs];
      if (korvo && korvo->is_object() && truthy(korvo))
        throw Declined{};
    }

    if (!obs_values.empty() && name_count != 0 && name_count != obs_values.size()) {
      if (!_warned_obs_name_mismatch)
        throw Declined{}; // the warning is the full path's
      name_count = 0;     // names dropped
    }
    in.names_cached = name_count != 0;

    in.action.converted = true;
    coerce_vector(action, in.action.values);

    // Identification, reward and flags.
    Scalars scalars;
    in.episode =
        scalars.keep(first_truthy(payload[kEpisodeId], sim[kDataEpisodeId], skill[kDataEpisodeId]));
    const std::optional<Node> *step =
        &first_truthy(payload[kStepNumber], sim[kDataStepNumber], skill[kDataStepNumber]);
    if (is_null(*step))
      step = &first_truthy(payload[kEpisodeStep], sim[kDataEpisodeStep], skill[kDataEpisodeStep]);
    in.step = scalars.keep(*step);
    in.sim_id =
        scalars.keep(first_truthy(sim[kDataSimId], skill[kDataSimId], sim_result[kResSimId]));
    in.run = scalars.keep(first_truthy(payload[kRunId], sim[kDataRunId], skill[kDataRunId]));
    in.timestamp = scalars.keep(payload[kTimestamp]);
    const std::optional<Node> *scenario =
        &first_truthy(payload[kScenario], sim_result[kResScenario], skill_result[kResScenario]);
    std::optional<Fields<1>> info;
    if (!truthy(*scenario)) {
      info.emplace(mapping(sim_result[kInfo], std::nullopt),
                   std::array<std::string_view, 1>{"scenario"});
      scenario = &(*info)[0];
    }
    in.scenario = scalars.keep(*scenario);
    in.reward = scalars.keep(skill[kTeacherReward] ? skill[kTeacherReward]
                                                   : skill_result[kResTeacherReward]);
    in.terminated = truthy(sim_result[kSimTerminated]) || truthy(sim_result[kTerminated]) ||
                    truthy(skill_result[kTeacherTerminated]);
    in.truncated = truthy(sim_result[kSimTruncated]) || truthy(sim_result[kTruncated]) ||
                   truthy(skill_result[kTruncated]) || truthy(skill[kDone]);
    ++_steps_read_in_place;
    _commit_step(in, message_timestamp);
    return true;
  } catch (const Declined &) {
    return false;
  }
}

void EventHistorianProcessor::_commit_step(StepInput &in, double message_timestamp) {
  std::optional<std::vector<std::string_view>> &names = in.names;
  // Widths, fixed by the first step that has them.
  if (!_obs_dim && !in.obs.empty())
    _obs_dim = static_cast<std::int64_t>(in.obs.size());
  if (!_act_dim && !in.action.empty())
    _act_dim = static_cast<std::int64_t>(in.action.size());

  // Schema names.
  const std::vector<std::string> *normalized_names = nullptr;
  if (in.names_cached) {
    normalized_names = &_normalized_names_cache;
  } else if (names && !names->empty()) {
    normalized_names = &_normalized_names(*names);
  }
  if (normalized_names) {
    const std::vector<std::string> &normalized = *normalized_names;
    if (!_writer_open.load() && !_obs_names) {
      if (!in.obs.empty() && normalized.size() == in.obs.size()) {
        _obs_names = normalized;
      } else if (!_warned_obs_name_mismatch) {
        logger().warning(
            "[EventHistorian] Sensor name count (%d) does not match observation length (%d); "
            "falling back to s_* columns.",
            static_cast<int>(normalized.size()), static_cast<int>(in.obs.size()));
        _warned_obs_name_mismatch = true;
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

  static const json::Value kZeroReward(0.0);
  const json::Value &reward = in.reward && !in.reward->is_null() ? *in.reward : kZeroReward;

  // Episode accounting comes before the row's conversions, which may still fail.
  std::optional<std::string> episode_id = _text_or_null(in.episode);
  if (episode_id) {
    const double reward_float = _coerce_float(reward).value_or(0.0);
    _cycle_episode_rewards.get_or_insert(*episode_id, 0.0) += reward_float;
    if (in.terminated || in.truncated)
      _cycle_episode_done.set(*episode_id, true);
  }

  PendingRow row;
  row.run_id = truthy(in.run) ? _text_or_null(in.run) : run_id;
  row.sim_id = _text_or_null(in.sim_id);
  row.episode_id = std::move(episode_id);
  if (in.step && !in.step->is_null())
    row.step_number = _to_int64(*in.step);
  row.timestamp = truthy(in.timestamp) ? _to_double(*in.timestamp) : message_timestamp;
  row.skill_name = _current_skill_name;
  row.scenario = _text_or_null(in.scenario);
  row.reward = _to_double(reward);
  row.terminated = in.terminated;
  row.truncated = in.truncated;
  row._obs_vec = in.obs.to_vector(_obs_dim, _value_arena);
  row._action_vec = in.action.to_vector(_act_dim, _value_arena);
  if (include_raw_json) {
    row._sim_data = event_base::JsonEncoder::encode(*in.sim_data);
    row._skill_data = event_base::JsonEncoder::encode(*in.skill_data);
  }
  _pending_rows.push_back(std::move(row));
}

} // namespace networking::remote_historian::v2
