// Step intake: from one decoded step payload to one pending row, on the loop thread.
//
// The rules of a step payload are written once, in _read_step, over a reference to a JSON value
// of either of two kinds with the same interface: `const json::Value *` into a Value tree, or
// a TapeValue read straight from a parsed text (json/tape.h). Most steps take the second, which
// builds no tree; the tape reader leaves the few shapes it cannot read as the tree does (a
// mapping that repeats a key) to the tree, before anything has changed.

#include "networking/remote_historian/v2/steps/step_reader.h"

#include <cstring>
#include <exception>
#include <limits>
#include <span>

#include "networking/event_base/json_encoder.h"
#include "networking/remote_historian/v2/logger.h"
#include "networking/remote_historian/v2/steps/payload_fields.h"
#include "json/write.h"

namespace networking::remote_historian::v2 {

using namespace intake;

namespace {

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

} // namespace

StepReader::StepReader(StepShape &shape, StepBuffer &buffer, CycleState &cycles,
                       EpisodeLog &episodes, const Dataset &steps, HistorianMetrics &metrics,
                       bool include_raw_json, std::optional<std::string> run_id)
    : _shape(shape), _buffer(buffer), _cycles(cycles), _episodes(episodes), _steps(steps),
      _metrics(metrics), _include_raw_json(include_raw_json), _run_id(std::move(run_id)) {}

void StepReader::read_tree_step(const json::Value &payload, double message_timestamp,
                                std::string_view entry_id) {
  StepInput in;
  _read_step(&payload, in);
  _commit_step(in, message_timestamp, entry_id);
}

bool StepReader::_process_step_in_place(const json::Document &document, double message_timestamp,
                                        std::string_view entry_id) {
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
  _commit_step(in, message_timestamp, entry_id);
  return true;
}

template <class Ref> void StepReader::_read_step(Ref payload_ref, StepInput &in) {
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
    if (same_names(sensors->as_array(), text, _shape.cached_raw_names())) {
      names.emplace_cached(_shape.cached_raw_names());
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
    if (same_names(obs->as_object(), key, _shape.cached_raw_names())) {
      names.emplace_cached(_shape.cached_raw_names());
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
      _shape._normalized_names(names.list());
    in.names_cached = true;
  }

  StepElements &obs_elements = in.obs;
  const auto add_obs = [&obs_elements](const Ref &e) __attribute__((always_inline)) {
    add_element(obs_elements, e);
  };
  if (obs_is_mapping) {
    if (names && !names.empty() && _shape._same_key_order(obs)) {
      // The layout of an earlier step whose keys came in another order than its names: each
      // member goes to its name's place, and the keys are known to be distinct. The places
      // are kept from step to step (one loop thread).
      static thread_local std::vector<Ref> placed;
      placed.assign(names.size(), Ref{});
      std::size_t j = 0;
      for (auto &&m : obs->as_object()) {
        if (_shape.key_slots()[j] != StepShape::kNoName)
          placed[_shape.key_slots()[j]] = element_ref(m.second);
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
      MemberLookup<Ref> lookup(obs, names.size() > StepShape::kWideObservation);
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
      if (!(in_order && !(member != end) && _shape.cached_names_distinct()))
        require_distinct_keys(obs);
      // A wide layout out of order is kept for the next steps, which mostly repeat it (a
      // producer that sorts its keys). Only where the keys are known distinct: a text read in
      // place has just been checked.
      if constexpr (kMayRepeatKeys<Ref>) {
        if (!in_order && _shape.cached_names_distinct() &&
            names.size() > StepShape::kWideObservation)
          _shape._keep_key_order(obs);
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
    _shape.warn_count_mismatch(names.size(), obs_elements.size());
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
  if (_include_raw_json)
    write_raw(sim_data, skill_data, in, _buffer.arena());
}

void StepReader::_commit_step(StepInput &in, double message_timestamp, std::string_view entry_id) {
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
  if (_include_raw_json) {
    // The encoder writes ASCII only: just the length can be beyond what a column holds.
    _check_column_text(in.sim_json, "sim_data_json", true);
    _check_column_text(in.skill_json, "skill_data_json", true);
  }

  Names &names = in.names;
  // Widths, fixed by the first step that has them.
  _shape.fix_widths(in.obs.size(), in.action.size());

  // Schema names: the first ones name the columns while no part has been opened.
  const std::vector<std::string> *normalized_names = nullptr;
  if (in.names_cached) {
    normalized_names = &_shape.cached_names();
  } else if (names && !names.empty()) {
    normalized_names = &_shape._normalized_names(names.list());
  }
  if (normalized_names)
    _shape.note_names(*normalized_names, in.obs.size(), !_steps.part_open());

  static const json::Value kZeroReward(0.0);
  const json::Value &reward = in.reward && !in.reward->is_null() ? *in.reward : kZeroReward;

  PendingRow row;
  if (run) {
    row.run_id = std::move(run);
  } else {
    row.run_id = _run_id;
  }
  row.sim_id = std::move(sim_id);
  row.skill_name = _cycles._current_skill_name;
  row.cycle_index = _cycles.open_cycle_index();
  // The conversions may fail the step, but only after its episode accounting, as the cycle
  // average counts it.
  std::exception_ptr failed;
  try {
    if (in.step && !in.step->is_null())
      row.step_number = _to_int64(*in.step);
    row.timestamp = truthy(in.timestamp) ? _to_double(*in.timestamp) : message_timestamp;
  } catch (...) {
    failed = std::current_exception();
  }
  if (episode_id) {
    const double reward_float = _coerce_float(reward).value_or(0.0);
    const bool done = in.terminated || in.truncated;
    _cycles.count_step(*episode_id, reward_float, done);
    const EpisodeStep step{row.run_id,      row.sim_id,
                           row.skill_name,  scenario,
                           row.step_number, row.timestamp.value_or(message_timestamp),
                           reward_float,    in.terminated,
                           in.truncated,    row.cycle_index};
    const std::int64_t index = _episodes.add_step(*episode_id, step);
    if (index <= std::numeric_limits<std::int32_t>::max()) {
      row.step_index = static_cast<std::int32_t>(index);
    } else if (!_warned_long_episode) {
      logger().warning("[EventHistorian] Episode %s is longer than %d steps; its later steps are "
                       "written without a step_index",
                       episode_id->c_str(), std::numeric_limits<std::int32_t>::max());
      _warned_long_episode = true;
    }
  }
  if (failed)
    std::rethrow_exception(failed);
  row.episode_id = std::move(episode_id);
  row.scenario = std::move(scenario);
  row.reward = _to_double(reward);
  row.terminated = in.terminated;
  row.truncated = in.truncated;
  row.entry_id = EntryId::parse(entry_id).value_or(EntryId());
  if (_include_raw_json) {
    // The texts are most of the row: they go to the arena, as the vectors do, and first, as
    // they may lie in its room already.
    if (in.texts_in_arena) {
      row._sim_data = _buffer.arena().keep(in.sim_json.size());
      row._skill_data = _buffer.arena().keep(in.skill_json.size());
    } else {
      row._sim_data = _buffer.arena().copy(in.sim_json);
      row._skill_data = _buffer.arena().copy(in.skill_json);
    }
  }
  row._obs_vec = in.obs.to_vector(_shape._obs_dim, _buffer.arena());
  row._action_vec = in.action.to_vector(_shape._act_dim, _buffer.arena());
  _buffer.push_back(std::move(row));
  _metrics.steps.add();
}

} // namespace networking::remote_historian::v2
