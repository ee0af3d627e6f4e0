// Step intake: from one decoded message to one pending row, on the loop thread.
//
// The rules of a step payload are written once, in _read_step, over a reference to a JSON value
// of either of two kinds with the same interface: `const json::Value *` into a Value tree, or
// a TapeValue read straight from a parsed text (json/tape.h). Most steps take the second, which
// builds no tree; the tape reader leaves the few shapes it cannot read as the tree does (a
// mapping that repeats a key) to the tree, before anything has changed.

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "networking/event_base/json_encoder.h"
#include "networking/remote_historian/v2/conversions.h"
#include "networking/remote_historian/v2/event_historian_processor.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/normalize.h"
#include "json/error.h"
#include "json/tape.h"
#include "json/write.h"

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

enum class PayloadKind { kStep, kSkillStart, kTrainingResult };

// What a payload mapping holds, from its "type" and "training_result" values (either absent).
template <class Ref> PayloadKind payload_kind(const Ref &type, const Ref &training_result) {
  if (type && type->is_string()) {
    if (type->as_string() == "skill_training_started")
      return PayloadKind::kSkillStart;
    if (type->as_string() == "ppo_training_result")
      return PayloadKind::kTrainingResult;
  }
  if (training_result && training_result->is_object())
    return PayloadKind::kTrainingResult;
  return PayloadKind::kStep;
}

// Thrown by the tape reader for a payload it leaves to the tree. Nothing has changed yet.
struct Declined {};

// A value read in place from a parsed text, with the part of json::Value's interface that the
// step reader uses, and a pointer's: false when absent, -> and * give the value.
struct TapeMember;

class TapeValue {
public:
  TapeValue() = default;
  explicit TapeValue(json::tape::Node node) : _node(node) {}

  explicit operator bool() const { return _node.tape() != nullptr; }
  const TapeValue *operator->() const { return this; }
  const TapeValue &operator*() const { return *this; }

  // A table, not a switch: every element of a vector asks, and then switches on the answer.
  json::Kind kind() const { return kKinds[static_cast<unsigned char>(_node.kind())]; }
  bool is_null() const { return _node.is_null(); }
  bool is_string() const { return _node.is_string(); }
  bool is_array() const { return _node.is_array(); }
  bool is_object() const { return _node.is_object(); }
  std::string_view type_name() const { return json::type_name(kind()); }

  // Python truthiness, as json::Value::truthy().
  bool truthy() const {
    switch (_node.kind()) {
    case '[':
    case '{':
      return !_node.empty();
    case 'l':
    case 'u':
      return _node.number<std::uint64_t>() != 0;
    case 'd':
      return _node.number<double>() != 0.0;
    case '"':
      return !_node.text().empty();
    case 't':
      return true;
    default:
      return false;
    }
  }

  // Requires: the value is of that kind.
  bool as_bool() const { return _node.kind() == 't'; }
  std::int64_t as_int() const { return _node.number<std::int64_t>(); }
  std::uint64_t as_uint() const { return _node.number<std::uint64_t>(); }
  double as_double() const { return _node.number<double>(); }
  std::string_view as_string() const { return _node.text(); }

  // Elements of an array, members of an object (a repeated key appears each time), in order.
  template <class Item> class Items;
  Items<TapeValue> as_array() const;
  Items<TapeMember> as_object() const;

  // The Value the tree holds for it.
  json::Value to_value() const { return json::tape::to_value(_node); }
  json::tape::Node node() const { return _node; }

private:
  static constexpr std::array<json::Kind, 256> kKinds = [] {
    std::array<json::Kind, 256> kinds{}; // kNull
    kinds['l'] = json::Kind::kInt;
    kinds['u'] = json::Kind::kUint;
    kinds['d'] = json::Kind::kDouble;
    kinds['"'] = json::Kind::kString;
    kinds['t'] = kinds['f'] = json::Kind::kBool;
    kinds['['] = json::Kind::kArray;
    kinds['{'] = json::Kind::kObject;
    return kinds;
  }();

  json::tape::Node _node{nullptr, 0};
};

struct TapeMember {
  std::string_view first;
  TapeValue second;
};

template <class Item> class TapeValue::Items {
public:
  explicit Items(json::tape::Node container) : _range(container) {}
  class iterator {
  public:
    using Inner =
        std::conditional_t<std::is_same_v<Item, TapeMember>, json::tape::Member, json::tape::Node>;
    explicit iterator(typename json::tape::Range<Inner>::iterator it) : _it(it) {}
    Item operator*() const {
      if constexpr (std::is_same_v<Item, TapeMember>) {
        const json::tape::Member m = *_it;
        return TapeMember{m.key, TapeValue(m.value)};
      } else {
        return TapeValue(*_it);
      }
    }
    iterator &operator++() {
      ++_it;
      return *this;
    }
    bool operator!=(const iterator &other) const { return _it != other._it; }

  private:
    typename json::tape::Range<Inner>::iterator _it;
  };
  iterator begin() const { return iterator(_range.begin()); }
  iterator end() const { return iterator(_range.end()); }
  bool empty() const { return _range.empty(); }

private:
  json::tape::Range<typename iterator::Inner> _range;
};

TapeValue::Items<TapeValue> TapeValue::as_array() const { return Items<TapeValue>(_node); }
TapeValue::Items<TapeMember> TapeValue::as_object() const { return Items<TapeMember>(_node); }

} // namespace

// A step's observation or action elements: as the tree holds them (values still to convert,
// with the row) or as the tape does (already converted, which cannot fail).
struct StepElements {
  std::vector<const json::Value *> refs; // nullptr for an absent element (null)
  std::vector<double> values;            // StepVector::kNullBits for null
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

// A list of names that may be absent: views built for this step (the buffer is kept from step
// to step), or the raw names of the previous step when they are the same.
class Names {
public:
  explicit operator bool() const { return _present; }
  std::size_t size() const { return _cached ? _cached->size() : _list.size(); }
  bool empty() const { return size() == 0; }
  std::string_view operator[](std::size_t i) const { return _cached ? (*_cached)[i] : _list[i]; }
  bool cached() const { return _cached != nullptr; }
  // Requires: not cached().
  std::vector<std::string_view> &list() { return _list; }

  // Present and empty.
  void emplace() {
    _list.clear();
    _cached = nullptr;
    _present = true;
  }
  // Present: the texts of cache, which must outlive the step.
  void emplace_cached(const std::vector<std::string> &cache) {
    emplace();
    _cached = &cache;
  }
  void reset() {
    emplace();
    _present = false;
  }

private:
  std::vector<std::string_view> _list;
  const std::vector<std::string> *_cached = nullptr;
  bool _present = false;
};

struct StepInput {
  // Views into the payload (or the previous step's names); names that are not texts have
  // their text form kept in `forms`, which never moves a text once added.
  Names names;
  std::deque<std::string> forms;
  // The names are those of _raw_names_cache, already normalized.
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
  // Only when raw JSON columns are written: their texts, in the arena's room (texts_in_arena)
  // or in the two buffers, which are kept from step to step.
  std::string_view sim_json;
  std::string_view skill_json;
  bool texts_in_arena = false;
  std::string sim_buffer;
  std::string skill_buffer;
  // Its texts come from a parsed text that simdjson validated as UTF-8 (it refuses escaped
  // lone surrogates, which the tree keeps).
  bool texts_utf8 = false;
  // The Values of sources read from a tape, for the pointers above.
  std::array<json::Value, 9> owned;
  std::size_t owned_used = 0;

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
    sim_json = skill_json = {};
    texts_in_arena = false;
    texts_utf8 = false;
    owned_used = 0;
  }
};

namespace {

using v2::element_ref;
TapeValue element_ref(TapeValue value) { return value; }

// What sets the two references apart: a tree's mapping holds each key once.
template <class Ref> constexpr bool kMayRepeatKeys = !std::is_pointer_v<Ref>;

const json::Value &tree_of(const json::Value *value, json::Value &) { return *value; }
const json::Value &tree_of(const TapeValue &value, json::Value &storage) {
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
const json::Value *keep(StepInput &, const json::Value *value) { return value; }
const json::Value *keep(StepInput &in, const TapeValue &value) {
  if (!value)
    return nullptr;
  in.owned[in.owned_used] = value.to_value();
  return &in.owned[in.owned_used++];
}

// The texts of the raw JSON columns, an absent mapping being the empty one: the tree's through
// the encoder; the tape's written straight from the parsed text (the same text), into the
// arena's room when both fit there, so that the row keeps them where they are written.
void write_raw(const json::Value *sim, const json::Value *skill, StepInput &in, ValueArena &) {
  in.sim_buffer = event_base::JsonEncoder::encode(sim ? *sim : empty_object());
  in.skill_buffer = event_base::JsonEncoder::encode(skill ? *skill : empty_object());
  in.sim_json = in.sim_buffer;
  in.skill_json = in.skill_buffer;
}

std::optional<std::size_t> write_raw_into(const TapeValue &value, std::span<char> room) {
  if (value)
    return json::write(value.node(), room.data(), room.size());
  if (room.size() < 2)
    return std::nullopt;
  std::memcpy(room.data(), "{}", 2);
  return 2;
}

void write_raw(const TapeValue &sim, const TapeValue &skill, StepInput &in, ValueArena &arena) {
  const std::span<char> room = arena.room();
  if (const std::optional<std::size_t> sim_size = write_raw_into(sim, room)) {
    const std::span<char> rest =
        room.subspan(std::min(room.size(), ValueArena::text_bytes(*sim_size)));
    if (const std::optional<std::size_t> skill_size = write_raw_into(skill, rest)) {
      in.sim_json = {room.data(), *sim_size};
      in.skill_json = {rest.data(), *skill_size};
      in.texts_in_arena = true;
      return;
    }
  }
  const auto write_buffer = [](const TapeValue &value, std::string &buffer) {
    buffer.clear();
    if (value)
      json::write(value.node(), buffer);
    else
      buffer = "{}";
    return std::string_view(buffer);
  };
  in.sim_json = write_buffer(sim, in.sim_buffer);
  in.skill_json = write_buffer(skill, in.skill_buffer);
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

[[noreturn, gnu::cold, gnu::noinline]] void not_a_mapping(std::string_view type_name) {
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

constexpr std::array<std::string_view, 9> kPayloadKeys = {
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

asio::awaitable<std::optional<json::Object>>
EventHistorianProcessor::process_message(const event_base::EventMessage &message) {
  if (!_is_initialized) {
    logger().warning("[EventHistorian] Not initialized; skipping message");
    co_return std::nullopt;
  }
  // Most steps are read straight from the parsed text; the rest take the tree below.
  json::Value materialized;
  const json::Value *data = &message.data;
  if (message.document) {
    if (_process_step_in_place(*message.document, message.timestamp)) {
      co_await _drain_if_full();
      co_return std::nullopt;
    }
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
  switch (payload_kind(payload.find("type"), payload.find("training_result"))) {
  case PayloadKind::kSkillStart:
    _handle_skill_start(payload);
    metrics->skill_starts.add();
    co_return std::nullopt;
  case PayloadKind::kTrainingResult:
    co_await _handle_training_result(payload);
    co_return std::nullopt;
  case PayloadKind::kStep:
    break;
  }
  StepInput in;
  _read_step(&payload_value, in);
  _commit_step(in, message.timestamp);
  co_await _drain_if_full();
  co_return std::nullopt;
}

bool EventHistorianProcessor::_process_step_in_place(const json::Document &document,
                                                     double message_timestamp) {
  const json::tape::Tape tape = document.tape();
  const TapeValue root(json::tape::root(&tape));
  if (!root.is_object() || !root.truthy())
    return false;
  // Skill-start events and training results are handled on the tree, as process_message
  // tells them apart.
  if (const Fields<TapeValue, 2> kind(root, {"type", "training_result"});
      payload_kind(kind[0], kind[1]) != PayloadKind::kStep)
    return false;
  thread_local StepInput in; // its buffers are reused from step to step
  in.reset();
  in.texts_utf8 = true;
  try {
    _read_step(root, in);
  } catch (const Declined &) {
    return false;
  }
  ++_steps_read_in_place;
  _commit_step(in, message_timestamp);
  return true;
}

void EventHistorianProcessor::_handle_skill_start(const json::Object &payload) {
  const json::Value *named = payload.find("skill_name");
  std::optional<std::string> skill = truthy(named) ? _text_or_null(named) : skill_name;
  // Every later row and cycle file carries the skill: a text they cannot hold fails this event.
  if (skill)
    _check_column_text(*skill, "skill_name");
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
    _key_order.clear();
  }
  return _normalized_names_cache;
}

template <class Ref> bool EventHistorianProcessor::_same_key_order(const Ref &mapping) const {
  if (_key_order.empty())
    return false;
  std::size_t j = 0;
  for (auto &&m : mapping->as_object()) {
    if (j == _key_order.size() || !same_text(m.first, _key_order[j]))
      return false;
    ++j;
  }
  return j == _key_order.size();
}

template <class Ref> void EventHistorianProcessor::_keep_key_order(const Ref &mapping) {
  const std::vector<std::string> &names = _raw_names_cache;
  std::unordered_map<std::string_view, std::uint32_t> name_at;
  name_at.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    name_at.emplace(names[i], static_cast<std::uint32_t>(i));
  _key_order.clear();
  _key_slots.clear();
  for (auto &&m : mapping->as_object()) {
    const std::string_view key = m.first;
    const auto found = name_at.find(key);
    _key_order.emplace_back(key);
    _key_slots.push_back(found == name_at.end() ? kNoName : found->second);
  }
}

template <class Ref> void EventHistorianProcessor::_read_step(Ref payload_ref, StepInput &in) {
  in.obs.converted = in.action.converted = kMayRepeatKeys<Ref>;
  const Fields<Ref, kPayloadKeys.size()> payload(payload_ref, kPayloadKeys);
  // Sub-objects; a lookup in one that is not a mapping fails the message (Fields), at the
  // lookup where the producers' language fails it.
  const Ref sim_data = truthy(payload[kSimData]) ? payload[kSimData] : Ref{};
  const Ref skill_v = truthy(payload[kSkillData]) ? payload[kSkillData] : payload[kAgentData];
  const Ref skill_data = truthy(skill_v) ? skill_v : Ref{};
  const Fields<Ref, kDataKeys.size()> sim(sim_data, kDataKeys);
  const Fields<Ref, kDataKeys.size()> skill(skill_data, kDataKeys);
  const Ref sim_r = sim[kResult];
  const Fields<Ref, kResultKeys.size()> sim_result(truthy(sim_r) ? sim_r : sim_data, kResultKeys);
  const Ref skill_r = skill[kResult];
  const Fields<Ref, kResultKeys.size()> skill_result(truthy(skill_r) ? skill_r : skill_data,
                                                     kResultKeys);

  // Observation and action.
  Ref obs = sim[kObservation];
  if (!truthy(obs))
    obs = sim_result[kSimSensors];
  if (!obs || obs->is_null())
    obs = sim_result[kResObservation];
  // A key present in skill_data counts even with a null value.
  const Ref action = skill[kAction] ? skill[kAction] : skill_result[kResAction];
  const auto add_action = [&in](const Ref &e) __attribute__((always_inline)) {
    add_element(in.action, e);
  };
  if (action) {
    if (action->is_object())
      require_distinct_keys(action);
    _normalize_vector(*action, add_action);
  }

  // Names and observation vector.
  Ref sensors = skill_result[kSensorNames];
  if (!truthy(sensors))
    sensors = sim_result[kSensorNames];
  Names &names = in.names;
  const bool obs_is_mapping = obs && obs->is_object();
  if (sensors && sensors->is_array() && !sensors->as_array().empty()) {
    // A name that is not a text never matches, and is converted below.
    const auto text = [](auto &&item) -> std::optional<std::string_view> {
      const Ref n = element_ref(item);
      if (n->is_null())
        return std::string_view();
      if (!n->is_string())
        return std::nullopt;
      return n->as_string();
    };
    if (same_names(sensors->as_array(), text, _raw_names_cache)) {
      names.emplace_cached(_raw_names_cache);
    } else {
      names.emplace();
      json::Value form;
      for (auto &&item : sensors->as_array()) {
        const Ref n = element_ref(item);
        if (n->is_null())
          continue;
        if (n->is_string()) {
          names.list().push_back(n->as_string());
        } else {
          names.list().push_back(in.forms.emplace_back(_text_form(tree_of(n, form))));
        }
      }
    }
  } else if (obs_is_mapping && !obs->as_object().empty()) {
    const auto key = [](auto &&m) -> std::optional<std::string_view> { return m.first; };
    if (same_names(obs->as_object(), key, _raw_names_cache)) {
      names.emplace_cached(_raw_names_cache);
    } else {
      names.emplace();
      for (auto &&m : obs->as_object())
        names.list().push_back(m.first);
    }
  }
  // Consecutive steps almost always carry the same names: normalized once, and whether they
  // are distinct is known from then on.
  if (names && !names.empty()) {
    if (!names.cached())
      _normalized_names(names.list());
    in.names_cached = true;
  }

  StepElements &obs_elements = in.obs;
  const auto add_obs = [&obs_elements](const Ref &e) __attribute__((always_inline)) {
    add_element(obs_elements, e);
  };
  if (obs_is_mapping) {
    if (names && !names.empty() && _same_key_order(obs)) {
      // The layout of an earlier step whose keys came in another order than its names: each
      // member goes to its name's place, and the keys are known to be distinct. The places
      // are kept from step to step (one loop thread).
      static thread_local std::vector<Ref> placed;
      placed.assign(names.size(), Ref{});
      std::size_t j = 0;
      for (auto &&m : obs->as_object()) {
        if (_key_slots[j] != kNoName)
          placed[_key_slots[j]] = element_ref(m.second);
        ++j;
      }
      for (const Ref &value : placed)
        add_obs(value);
    } else if (names && !names.empty()) {
      // Producers list the names in the observation's own order: each name is tried against
      // the member in its place first, then looked up.
      auto member = obs->as_object().begin();
      const auto end = obs->as_object().end();
      bool in_order = true;
      MemberLookup<Ref> lookup(obs, names.size() > kWideObservation);
      for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        if (member != end && same_text((*member).first, name)) {
          add_obs(element_ref((*member).second));
        } else {
          in_order = false;
          add_obs(lookup(name));
        }
        if (member != end)
          ++member;
      }
      // Distinct names that are every key in order make the keys distinct too.
      if (!(in_order && !(member != end) && _raw_names_distinct))
        require_distinct_keys(obs);
      // A wide layout out of order is kept for the next steps, which mostly repeat it (a
      // producer that sorts its keys). Only where the keys are known distinct: a text read in
      // place has just been checked.
      if constexpr (kMayRepeatKeys<Ref>) {
        if (!in_order && _raw_names_distinct && names.size() > kWideObservation)
          _keep_key_order(obs);
      }
    } else {
      require_distinct_keys(obs);
      for (auto &&m : obs->as_object())
        add_obs(element_ref(m.second));
    }
  } else if (obs) {
    _normalize_vector(*obs, add_obs);
  }

  if (obs_elements.empty()) {
    const Ref korvo = skill_result[kKorvoObs];
    if (korvo && korvo->is_object() && !korvo->as_object().empty()) {
      require_distinct_keys(korvo);
      names.emplace();
      in.names_cached = false;
      for (auto &&m : korvo->as_object()) {
        names.list().push_back(m.first);
        add_obs(element_ref(m.second));
      }
    }
  }

  // Nothing below declines: the tape reader has read all it leaves to the tree.
  if (!obs_elements.empty() && names && !names.empty() && names.size() != obs_elements.size()) {
    if (!_warned_obs_name_mismatch) {
      logger().warning(
          "[EventHistorian] Sensor name count (%d) does not match observation length (%d); "
          "falling back to s_* columns.",
          static_cast<int>(names.size()), static_cast<int>(obs_elements.size()));
      _warned_obs_name_mismatch = true;
    }
    names.reset();
    in.names_cached = false;
  }

  // Identification, reward and flags.
  in.episode =
      keep(in, first_truthy(payload[kEpisodeId], sim[kDataEpisodeId], skill[kDataEpisodeId]));
  Ref step = first_truthy(payload[kStepNumber], sim[kDataStepNumber], skill[kDataStepNumber]);
  if (!step || step->is_null())
    step = first_truthy(payload[kEpisodeStep], sim[kDataEpisodeStep], skill[kDataEpisodeStep]);
  in.step = keep(in, step);
  in.sim_id = keep(in, first_truthy(sim[kDataSimId], skill[kDataSimId], sim_result[kResSimId]));
  in.run = keep(in, first_truthy(payload[kRunId], sim[kDataRunId], skill[kDataRunId]));
  in.timestamp = keep(in, payload[kTimestamp]);
  Ref scenario =
      first_truthy(payload[kScenario], sim_result[kResScenario], skill_result[kResScenario]);
  if (!truthy(scenario)) {
    // "info" is only consulted when no earlier source has a scenario.
    const Ref info = sim_result[kInfo];
    scenario = Fields<Ref, 1>(truthy(info) ? info : Ref{}, {"scenario"})[0];
  }
  in.scenario = keep(in, scenario);
  in.reward =
      keep(in, skill[kTeacherReward] ? skill[kTeacherReward] : skill_result[kResTeacherReward]);
  in.terminated = truthy(sim_result[kSimTerminated]) || truthy(sim_result[kTerminated]) ||
                  truthy(skill_result[kTeacherTerminated]);
  in.truncated = truthy(sim_result[kSimTruncated]) || truthy(sim_result[kTruncated]) ||
                 truthy(skill_result[kTruncated]) || truthy(skill[kDone]);
  if (include_raw_json)
    write_raw(sim_data, skill_data, in, _value_arena);
}

void EventHistorianProcessor::_commit_step(StepInput &in, double message_timestamp) {
  // A text the step dataset cannot hold fails the step here, before it changes anything, and
  // never the write of its batch. The processor's own run_id is checked by init.
  std::optional<std::string> run = truthy(in.run) ? _text_or_null(in.run) : std::nullopt;
  std::optional<std::string> sim_id = _text_or_null(in.sim_id);
  std::optional<std::string> episode_id = _text_or_null(in.episode);
  std::optional<std::string> scenario = _text_or_null(in.scenario);
  const auto check = [&in](const std::optional<std::string> &text, std::string_view column) {
    if (text)
      _check_column_text(*text, column, in.texts_utf8);
  };
  check(run, "run_id");
  check(sim_id, "sim_id");
  check(episode_id, "episode_id");
  check(scenario, "scenario");
  if (include_raw_json) {
    // The encoder writes ASCII only: just the length can be beyond what a column holds.
    _check_column_text(in.sim_json, "sim_data_json", true);
    _check_column_text(in.skill_json, "skill_data_json", true);
  }

  Names &names = in.names;
  // Widths, fixed by the first step that has them.
  if (!_obs_dim && !in.obs.empty())
    _obs_dim = static_cast<std::int64_t>(in.obs.size());
  if (!_act_dim && !in.action.empty())
    _act_dim = static_cast<std::int64_t>(in.action.size());

  // Schema names.
  const std::vector<std::string> *normalized_names = nullptr;
  if (in.names_cached) {
    normalized_names = &_normalized_names_cache;
  } else if (names && !names.empty()) {
    normalized_names = &_normalized_names(names.list());
  }
  if (normalized_names) {
    const std::vector<std::string> &normalized = *normalized_names;
    if (!_writer_open.load() && !_obs_names) {
      if (!in.obs.empty() && normalized.size() == in.obs.size()) {
        _obs_names = normalized;
        _obs_raw_names = _raw_names_cache;
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
  if (episode_id) {
    const double reward_float = _coerce_float(reward).value_or(0.0);
    _cycle_episode_rewards.get_or_insert(*episode_id, 0.0) += reward_float;
    if (in.terminated || in.truncated)
      _cycle_episode_done.set(*episode_id, true);
  }

  PendingRow row;
  row.run_id = run ? std::move(run) : run_id;
  row.sim_id = std::move(sim_id);
  row.episode_id = std::move(episode_id);
  if (in.step && !in.step->is_null())
    row.step_number = _to_int64(*in.step);
  row.timestamp = truthy(in.timestamp) ? _to_double(*in.timestamp) : message_timestamp;
  row.skill_name = _current_skill_name;
  row.scenario = std::move(scenario);
  row.reward = _to_double(reward);
  row.terminated = in.terminated;
  row.truncated = in.truncated;
  if (include_raw_json) {
    // The texts are most of the row: they go to the arena, as the vectors do, and first, as
    // they may lie in its room already.
    if (in.texts_in_arena) {
      row._sim_data = _value_arena.keep(in.sim_json.size());
      row._skill_data = _value_arena.keep(in.skill_json.size());
    } else {
      row._sim_data = _value_arena.copy(in.sim_json);
      row._skill_data = _value_arena.copy(in.skill_json);
    }
  }
  row._obs_vec = in.obs.to_vector(_obs_dim, _value_arena);
  row._action_vec = in.action.to_vector(_act_dim, _value_arena);
  _pending_rows.push_back(std::move(row));
  metrics->steps.add();
}

} // namespace networking::remote_historian::v2
