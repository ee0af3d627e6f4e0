#pragma once

// The lookups of the step reader over either kind of value (a tree's `const json::Value *` or
// a TapeValue): the members a payload's mappings are read from, found in one pass; a wide
// observation's members out of order; whether a step repeats the previous step's names. A
// mapping of a parsed text may repeat a key, which the tree cannot hold: such a payload is
// Declined and read from the tree.

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/normalize.h"
#include "networking/remote_historian/v2/same_text.h"
#include "networking/remote_historian/v2/steps/step_input.h"
#include "networking/remote_historian/v2/steps/tape_value.h"
#include "json/error.h"

namespace networking::remote_historian::v2::intake {

using v2::element_ref;
inline TapeValue element_ref(TapeValue value) { return value; }

// What sets the two references apart: a tree's mapping holds each key once.
template <class Ref> constexpr bool kMayRepeatKeys = !std::is_pointer_v<Ref>;

inline const json::Value &tree_of(const json::Value *value, json::Value &) { return *value; }
inline const json::Value &tree_of(const TapeValue &value, json::Value &storage) {
  storage = value.to_value();
  return storage;
}

// An element of an observation or action: the tree's is converted with the row, after the
// episode accounting (its conversion may fail); the tape's now, as no conversion of one fails
// (a parsed text holds no integer beyond 64 bits).
[[gnu::always_inline]] inline void add_element(StepElements &elements, const json::Value *value) {
  elements.refs.push_back(value);
}
[[gnu::always_inline]] inline void add_element(StepElements &elements, const TapeValue &value) {
  // Texts are rare in a vector, and the tree parses only those within the schema width.
  if (value && value.is_string())
    throw Declined{};
  const std::optional<double> d = value ? _coerce_float(value) : std::nullopt;
  elements.values.push_back(d ? *d : std::bit_cast<double>(StepVector::kNullBits));
}

// A source of a row value, for StepInput to point at.
inline const json::Value *keep(StepInput &, const json::Value *value) { return value; }
inline const json::Value *keep(StepInput &in, const TapeValue &value) {
  if (!value)
    return nullptr;
  in.owned[in.owned_used] = value.to_value();
  return &in.owned[in.owned_used++];
}

template <class Ref> bool truthy(const Ref &v) { return v && v->truthy(); }

// The first truthy of the sources, else the last source unchanged.
template <class Ref, class... Rest> Ref first_truthy(const Ref &first, const Rest &...rest) {
  if constexpr (sizeof...(rest) == 0) {
    return first;
  } else {
    return truthy(first) ? first : first_truthy(rest...);
  }
}

// The tree holds a mapping's members once each (the first key's place, the last value); a
// parsed text may repeat a key, and a mapping whose members are taken one by one is then left
// to the tree. Lookups need no such care: both give the last value.
template <class Ref> void require_distinct_keys(const Ref &mapping) {
  if constexpr (kMayRepeatKeys<Ref>) {
    std::vector<std::string_view> keys;
    for (auto &&m : mapping->as_object())
      keys.push_back(m.first);
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end())
      throw Declined{};
  }
}

// The value under key in a mapping (the last, should it repeat), or absent.
template <class Ref> Ref find_member(const Ref &mapping, std::string_view key) {
  Ref found{};
  for (auto &&m : mapping->as_object())
    if (same_text(m.first, key))
      found = element_ref(m.second);
  return found;
}

// find_member for many keys of one mapping: a wide observation whose keys come in another
// order than its names (a producer that sorts its keys) would otherwise cost a scan per name.
// With `indexed`, the mapping is indexed at the first lookup; otherwise each lookup scans.
template <class Ref> class MemberLookup {
public:
  MemberLookup(const Ref &mapping, bool indexed) : _mapping(mapping), _indexed(indexed) {}
  Ref operator()(std::string_view key) {
    if (!_indexed)
      return find_member(_mapping, key);
    if (_index.empty()) {
      // Later members replace earlier ones of the same key, as find_member takes the last.
      for (auto &&m : _mapping->as_object())
        _index.insert_or_assign(std::string_view(m.first), element_ref(m.second));
    }
    const auto found = _index.find(key);
    return found == _index.end() ? Ref{} : found->second;
  }

private:
  const Ref &_mapping;
  const bool _indexed;
  std::unordered_map<std::string_view, Ref> _index;
};

// Whether the names that `text` gives for the items of range are `cached`: an empty view
// leaves an item out, nullopt never matches.
template <class Range, class Text>
bool same_names(const Range &range, const Text &text, const std::vector<std::string> &cached) {
  std::size_t i = 0;
  for (auto &&item : range) {
    const std::optional<std::string_view> t = text(item);
    if (!t)
      return false;
    if (t->data() == nullptr)
      continue;
    if (i >= cached.size() || !same_text(*t, cached[i]))
      return false;
    ++i;
  }
  return i == cached.size();
}

[[noreturn, gnu::cold, gnu::noinline]] inline void not_a_mapping(std::string_view type_name) {
  throw json::TypeError("'" + std::string(type_name) + "' object has no attribute 'get'");
}
template <class Ref> [[noreturn, gnu::cold]] void not_a_mapping(const Ref &value) {
  not_a_mapping(value->type_name());
}

// The values under `keys` in a mapping, found in one pass. An absent mapping is the empty one;
// a lookup in any other value fails as the producers' language fails it, when it is made.
template <class Ref, std::size_t N> class Fields {
public:
  Fields(const Ref &mapping, const std::array<std::string_view, N> &keys) {
    if (!mapping)
      return;
    if (!mapping->is_object()) {
      _not_mapping = mapping;
      return;
    }
    for (auto &&m : mapping->as_object()) {
      for (std::size_t i = 0; i < N; ++i) {
        if (same_text(m.first, keys[i])) {
          _values[i] = element_ref(m.second);
          break;
        }
      }
    }
  }
  [[gnu::always_inline]] Ref operator[](std::size_t i) const {
    if (_not_mapping) [[unlikely]]
      not_a_mapping(_not_mapping);
    return _values[i];
  }

private:
  std::array<Ref, N> _values{};
  Ref _not_mapping{};
};

inline constexpr std::array<std::string_view, 9> kPayloadKeys = {
    "sim_data",    "skill_data",   "agent_data", "run_id",  "episode_id",
    "step_number", "episode_step", "timestamp",  "scenario"};
enum {
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

inline constexpr std::array<std::string_view, 10> kDataKeys = {
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

inline constexpr std::array<std::string_view, 14> kResultKeys = {
    "observation",    "sim_sensors",
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

} // namespace networking::remote_historian::v2::intake
