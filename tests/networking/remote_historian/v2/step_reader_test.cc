// The two step readers agree: a payload read straight from its parsed text gives the same
// rows, log lines, processor state and errors as the same payload read from a Value tree.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"

namespace {

using namespace v2test;
using networking::remote_historian::v2::RowText;
using networking::remote_historian::v2::StepVector;

std::string describe(const std::optional<std::string> &s) { return s ? "'" + *s + "'" : "null"; }

std::string describe(const RowText &s) { return s ? "'" + std::string(*s) + "'" : "null"; }

std::string describe(const StepVector &v) {
  std::ostringstream out;
  out << "[" << v.raw_length() << ":";
  for (std::size_t i = 0; i < v.kept(); ++i) {
    if (v.is_null(i)) {
      out << " null";
    } else {
      out << " " << std::bit_cast<std::uint64_t>(v.value(i));
    }
  }
  out << "]";
  return out.str();
}

std::string describe(const PendingRow &r) {
  std::ostringstream out;
  out << describe(r.run_id) << " " << describe(r.sim_id) << " " << describe(r.episode_id) << " "
      << (r.step_number ? std::to_string(*r.step_number) : "null") << " "
      << (r.timestamp ? std::bit_cast<std::uint64_t>(*r.timestamp) : 1) << " "
      << describe(r.skill_name) << " " << describe(r.scenario) << " "
      << std::bit_cast<std::uint64_t>(r.reward) << " " << r.terminated << r.truncated << " "
      << describe(r._obs_vec) << " " << describe(r._action_vec) << " " << describe(r._sim_data)
      << " " << describe(r._skill_data);
  return out.str();
}

// Everything a run of payloads leaves behind that either reader could get wrong.
std::string outcome(const std::vector<std::string> &payloads, bool in_place,
                    ProcessorOptions options = {}, std::uint64_t *read_in_place = nullptr) {
  support::TempDir dir;
  support::CapturingLogger log;
  auto p = initialized(dir, options);
  std::ostringstream out;
  for (const std::string &payload : payloads) {
    const EventMessage m = in_place ? message(payload, 5.0) : tree_message(payload, 5.0);
    try {
      loop::run(p->process_message(m));
    } catch (const std::exception &e) {
      out << "error: " << e.what() << "\n";
    }
  }
  for (const PendingRow &r : p->_buffer._pending_rows)
    out << "row: " << describe(r) << "\n";
  for (std::string line : log.lines()) {
    // The temporary folder differs from run to run.
    for (std::size_t at; (at = line.find(dir.str())) != std::string::npos;)
      line.replace(at, dir.str().size(), "<dir>");
    out << "log: " << line << "\n";
  }
  out << "obs_dim " << p->_shape._obs_dim.value_or(-1) << " act_dim "
      << p->_shape._act_dim.value_or(-1) << " warned " << p->_shape._warned_obs_name_mismatch
      << " skill " << describe(p->_cycles._current_skill_name) << "\nnames:";
  if (p->_shape._obs_names)
    for (const std::string &n : *p->_shape._obs_names)
      out << " " << n;
  out << "\nepisodes:";
  for (const auto &[key, total] : p->_cycles._cycle_episode_rewards)
    out << " " << key << "=" << std::bit_cast<std::uint64_t>(total);
  for (const auto &[key, done] : p->_cycles._cycle_episode_done)
    out << " done:" << key << "=" << done;
  if (read_in_place)
    *read_in_place = p->_reader._steps_read_in_place;
  return out.str();
}

std::string named_step(const std::string &sim_result, const std::string &skill_data,
                       const std::string &top = R"("episode_id": "e1", "step_number": 3)") {
  return "{" + top + R"(, "sim_data": {"sim_id": "s7", "result": )" + sim_result +
         R"(}, "skill_data": )" + skill_data + "}";
}

const std::string kObs = R"({"joint_0": 0.25, "joint_1": -1.5, "joint_2": 3})";
const std::string kNames = R"(["joint_0", "joint_1", "joint_2"])";
const std::string kSkill = R"({"action": [0.5, -0.5], "teacher_reward": 0.125, "done": false})";

// Payloads that take every branch of the readers, each one a single step's variation.
std::vector<std::string> corpus() {
  const std::string r =
      R"("terminated": false, "truncated": false, "info": {"scenario": "stairs"})";
  return {
      // The producers' usual shape, with and without a names list.
      named_step(R"({"observation": )" + kObs + R"(, "sensor_names": )" + kNames + ", " + r + "}",
                 kSkill),
      named_step(R"({"observation": )" + kObs + ", " + r + "}", kSkill),
      // Names in another order than the keys, names missing from the keys, extra keys.
      named_step(R"({"observation": )" + kObs +
                     R"(, "sensor_names": ["joint_2", "joint_0", "joint_1"]})",
                 kSkill),
      named_step(R"({"observation": )" + kObs +
                     R"(, "sensor_names": ["joint_0", "zz", "joint_2"]})",
                 kSkill),
      named_step(R"({"observation": )" + kObs + R"(, "sensor_names": ["joint_0", "joint_1"]})",
                 kSkill),
      // Repeated keys: the last value in the first key's place.
      named_step(R"({"observation": {"a": 1, "b": 2, "a": 3}, "sensor_names": ["a", "b"]})",
                 kSkill),
      named_step(R"({"observation": {"a": 1, "b": 2, "a": 3}})", kSkill),
      named_step(R"({"observation": {"a": 1, "b": 2}, "sensor_names": ["a", "a"]})", kSkill),
      R"({"episode_id": "first", "episode_id": "last", "sim_data": {"sim_id": 1}, "sim_data": {"sim_id": 2}})",
      R"({"skill_data": {"action": [1], "action": [2, 3], "teacher_reward": 1, "teacher_reward": null}})",
      // Names and keys that need unescaping, names that are not texts, null names.
      named_step(
          R"({"observation": {"jo\u0069nt": 1, "x\"y": 2}, "sensor_names": ["joint", "x\"y"]})",
          kSkill),
      named_step(R"({"observation": [1, 2], "sensor_names": [7, "b"]})", kSkill),
      named_step(R"({"observation": {"q": 3, "p": 4}, "sensor_names": [null]})", kSkill),
      named_step(R"({"observation": {"q": 3, "p": 4}, "sensor_names": ["q", null, "p"]})", kSkill),
      named_step(R"({"observation": {}, "sensor_names": ["a"]})", kSkill),
      // Names that normalize to the same column, names from skill_result.
      named_step(R"({"observation": {"A b": 1, "a_b": 2, "a-b": 3}})", kSkill),
      named_step(R"({"observation": [1, 2]})",
                 R"({"result": {"sensor_names": ["u", "v"], "action": [1]}})"),
      // Arrays and scalars as observations; element kinds.
      named_step(R"({"observation": [1, true, false, [2], {"a": 1}, null, -0.0, 5e-324, 1e308]})",
                 kSkill),
      named_step(
          R"({"observation": [18446744073709551615, -9223372036854775808, 9223372036854775807]})",
          kSkill),
      named_step(R"({"observation": ["1.5", 2]})", kSkill),
      named_step(R"({"observation": {"a": "2", "b": 1}})", kSkill),
      named_step(R"({"observation": 4.5})", kSkill),
      named_step(R"({"observation": "7"})", kSkill),
      named_step(R"({"observation": [1, 2], "sensor_names": ["a", "b", "c"]})", kSkill),
      R"({"sim_data": {"observation": [], "result": {"sim_sensors": [7], "observation": [8]}}})",
      R"({"sim_data": {"observation": null, "result": {"sim_sensors": null, "observation": [8]}}})",
      R"({"skill_data": {"korvo_obs": {"Knee": 0.5, "Hip": 1.5}, "action": 1}})",
      R"({"skill_data": {"korvo_obs": {}, "action": "2"}})",
      // Actions.
      R"({"skill_data": {"action": null, "result": {"action": [1, 2]}}})",
      R"({"skill_data": {"result": {"action": {"b": 2, "a": 1}}}})",
      R"({"agent_data": {"action": [4, 5, 6, 7]}})",
      // Identifiers, step numbers, timestamps and rewards of every kind.
      R"({"episode_id": 42, "run_id": 1.5, "sim_data": {"sim_id": true}, "step_number": 7.9})",
      R"({"episode_id": "an episode name longer than fifteen", "run_id": "", "sim_data": {"run_id": 0}, "skill_data": {"run_id": "sk"}})",
      R"({"episode_id": ["a"], "step_number": 1})",
      R"({"step_number": 0, "episode_step": 9, "skill_data": {"step_number": 0}})",
      R"({"step_number": null, "sim_data": {"episode_step": "12"}})",
      R"({"step_number": 9223372036854775808})",
      R"({"step_number": 1e30})",
      R"({"step_number": true, "timestamp": true})",
      R"({"timestamp": "soon"})",
      R"({"timestamp": " 3.5 ", "episode_id": "e2", "skill_data": {"teacher_reward": "1.5", "done": 1}})",
      R"({"timestamp": 0, "skill_data": {"teacher_reward": null, "result": {"teacher_reward": 3}}})",
      R"({"episode_id": "e3", "skill_data": {"result": {"teacher_reward": {"a": 1}, "teacher_terminated": [1]}}})",
      R"({"episode_id": "e4", "skill_data": {"teacher_reward": 18446744073709551615}})",
      // Scenario sources, including an "info" that is not a mapping.
      R"({"sim_data": {"result": {"info": {"scenario": "rough"}}}})",
      R"({"scenario": "top", "sim_data": {"result": {"scenario": "r", "info": "not a mapping"}}})",
      R"({"sim_data": {"result": {"info": "not a mapping"}}})",
      R"({"skill_data": {"result": {"scenario": 5}}})",
      // Sub-objects that are not mappings, and falsy ones.
      R"({"sim_data": "text"})",
      R"({"skill_data": [1]})",
      R"({"sim_data": {"result": [1]}})",
      R"({"sim_data": {"result": 0, "observation": [1]}, "skill_data": {}, "agent_data": {"action": [2]}})",
      R"({"sim_data": [], "skill_data": ""})",
      // The lookup that fails comes after the warning, or is the first of two that would.
      R"({"sim_data": {"observation": [1, 2], "result": [5]}, "skill_data": {"result": {"sensor_names": ["a", "b", "c"]}}})",
      R"({"sim_data": {"observation": [1], "result": [5]}, "skill_data": {"action": [1], "result": "x"}})",
      // Flags.
      R"({"episode_id": "e5", "sim_data": {"result": {"sim_terminated": 1, "sim_truncated": "yes"}}})",
      R"({"episode_id": "e5", "sim_data": {"terminated": true}, "skill_data": {"result": {"truncated": 0.0}}})",
      // Not steps, or not objects.
      R"({"type": "step", "episode_id": "e6"})",
      R"({"type": 5, "episode_id": "e6"})",
      R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": 3})",
      R"({"type": "skill_training_started"})",
      R"({"training_result": "not a mapping", "episode_id": "e7"})",
      "{}",
      "[]",
      "[1, 2]",
      "\"text\"",
      "3",
      "null",
      "true",
      // Non-finite words, and integers beyond 64 bits, are for the full parser alone.
      named_step(R"({"observation": [NaN, Infinity, -Infinity]})", kSkill),
      R"({"step_number": 1180591620717411303424})",
  };
}

TEST(StepReaders, AgreeOnEachPayloadAlone) {
  for (const std::string &payload : corpus()) {
    EXPECT_EQ(outcome({payload}, true), outcome({payload}, false)) << payload;
  }
}

TEST(StepReaders, AgreeOnTheWholeRunInOrder) {
  // State carries over: widths, names and the warning flag are fixed by earlier steps.
  const std::vector<std::string> payloads = corpus();
  EXPECT_EQ(outcome(payloads, true), outcome(payloads, false));
  std::vector<std::string> reversed(payloads.rbegin(), payloads.rend());
  EXPECT_EQ(outcome(reversed, true), outcome(reversed, false));
}

TEST(StepReaders, TheUsualShapeIsReadInPlace) {
  std::uint64_t in_place = 0;
  const std::string usual =
      named_step(R"({"observation": )" + kObs + R"(, "sensor_names": )" + kNames + "}", kSkill);
  outcome({usual, usual, named_step(R"({"observation": [1, 2, 3]})", kSkill)}, true, {}, &in_place);
  EXPECT_EQ(in_place, 3u);
  // A repeated key or a text in a vector take the full path.
  outcome({named_step(R"({"observation": {"a": 1, "a": 2}})", kSkill),
           named_step(R"({"observation": ["1"]})", kSkill)},
          true, {}, &in_place);
  EXPECT_EQ(in_place, 0u);
}

// A wide observation whose keys a producer sorted (s0, s1, s10, ...) while its names keep
// their own order: every name finds its value, a repeated key gives its last value, and a
// name without a key gives null, in both readers; the layout kept from one such step serves
// the next ones and gives way to another layout.
TEST(StepReaders, WideObservationsInAnotherOrderThanTheirNames) {
  constexpr int kWidth = 40;
  std::vector<std::string> keys;
  for (int k = 0; k < kWidth; ++k)
    keys.push_back("s" + std::to_string(k));
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::string names = "[";
  for (const std::string &key : keys)
    names += "\"" + key + "\", ";
  names += R"("missing"])";
  // Each key's value is its number plus base; after is appended to the mapping.
  const auto payload = [&](const std::vector<std::string> &order, int base, const char *after) {
    std::string obs = "{";
    for (const std::string &key : order)
      obs += "\"" + key + "\": " + std::to_string(std::stoi(key.substr(1)) + base) + ", ";
    obs += after;
    return named_step(R"({"observation": )" + obs + R"(, "sensor_names": )" + names + "}", kSkill);
  };
  const std::vector<std::string> steps = {
      payload(sorted, 0, R"("extra": 99})"), payload(sorted, 100, R"("extra": 99})"),
      payload(sorted, 200, R"("s7": -7})"), payload(keys, 300, R"("extra": 99})"),
      payload(sorted, 400, R"("extra": 99})")};
  for (const bool in_place : {true, false}) {
    support::TempDir dir;
    auto p = initialized(dir);
    for (const std::string &step : steps)
      loop::run(p->process_message(in_place ? message(step) : tree_message(step)));
    ASSERT_EQ(p->_buffer._pending_rows.size(), steps.size()) << in_place;
    for (std::size_t row = 0; row < steps.size(); ++row) {
      const StepVector &v = p->_buffer._pending_rows[row]._obs_vec;
      ASSERT_EQ(v.kept(), kWidth + 1u);
      for (int k = 0; k < kWidth; ++k) {
        ASSERT_FALSE(v.is_null(k));
        const double expected = row == 2 && k == 7 ? -7 : k + 100.0 * static_cast<double>(row);
        EXPECT_EQ(v.value(k), expected) << row << " " << k << " " << in_place;
      }
      EXPECT_TRUE(v.is_null(kWidth));
    }
  }
}

TEST(StepReaders, AgreeWithRawJsonColumns) {
  ProcessorOptions raw;
  raw.include_raw_json = true;
  std::vector<std::string> payloads = corpus();
  EXPECT_EQ(outcome(payloads, true, raw), outcome(payloads, false, raw));

  // Raw mappings that the tape writer must write exactly as the encoder writes the tree.
  const std::string obs = R"("result": {"observation": [1.5, 2]})";
  const std::vector<std::string> sims = {
      R"({"b": {"c": [1, [2, {"d": []}], {}], "e": {}}, "a": [[], [[]]], )" + obs + "}",
      R"({"s": "\u00e9\u4e2d\ud83d\ude00 \u00e9\u4e2d\u00f0\u009f\u0098\u0080", )" + obs + "}",
      "{\"raw\": \"\u00e9\u4e2d\U0001F600\", " + obs + "}",
      R"({"ctl": "\u0000\u001f\t\n\r\b\f\u007f\"\\\/x", "k\"ey\u00ff": 1, )" + obs + "}",
      R"({"n": [0.0001, 0.00009999, 1e16, 9999999999999998.0, 1e-5, 1E+2, 100.0, 2.5E-10], )" +
          obs + "}",
      R"({"n": [1.7976931348623157e308, 5e-324, -0.0, -0, 0, 1e22, 123456789.125], )" + obs + "}",
      R"({"i": [9007199254740993, 18446744073709551615, -9223372036854775808, 4294967296], )" +
          obs + "}",
      R"({"t": [true, false, null, {"": ""}], )" + obs + "}",
      // Repeated keys: the first key's place, the last value, at every depth.
      R"({"k": 1, "j": 2, "k": {"x": 1, "x": [3]}, )" + obs + "}",
      R"({"m": {"a0": 0, "a1": 1, "a2": 2, "a3": 3, "a4": 4, "a5": 5, "a6": 6, "a7": 7,)"
      R"( "a8": 8, "a9": 9, "a2": "again", "a10": 10}, )" +
          obs + "}",
  };
  const std::vector<std::string> skills = {R"({"action": [0.5]})",
                                           R"({"action": [0.5], "x": {}, "y": []})",
                                           "{}",
                                           "[]",
                                           "0",
                                           R"({"teacher_reward": 1e-7, "action": [-0.0]})"};
  payloads.clear();
  for (std::size_t i = 0; i < sims.size(); ++i)
    payloads.push_back(R"({"episode_id": "e1", "sim_data": )" + sims[i] + R"(, "skill_data": )" +
                       skills[i % skills.size()] + "}");
  // Texts that fill the rows' arena block after block: where too little room is left, they are
  // written apart and copied.
  for (int i = 0; i < 24; ++i)
    payloads.push_back(R"({"episode_id": "e1", "sim_data": {"w": ")" +
                       std::string(100000 + 7 * i, 'w') + R"(", )" + obs +
                       R"(}, "skill_data": {"action": [0.5]}})");
  std::uint64_t in_place = 0;
  const std::string tree = outcome(payloads, false, raw);
  EXPECT_EQ(outcome(payloads, true, raw, &in_place), tree);
  EXPECT_EQ(in_place, payloads.size()) << tree;
  // Texts that only the tree holds (NaN, an integer beyond 64 bits, a lone surrogate) take it.
  const std::vector<std::string> tree_only = {
      R"({"sim_data": {"v": NaN, "w": -Infinity}})",
      R"({"sim_data": {"v": 18446744073709551616}})",
      R"({"skill_data": {"s": "\ud800"}})",
  };
  EXPECT_EQ(outcome(tree_only, true, raw, &in_place), outcome(tree_only, false, raw));
  EXPECT_EQ(in_place, 0u);
}

} // namespace
