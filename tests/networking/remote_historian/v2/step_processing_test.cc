#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "networking/event_base/settings.h"
#include "parquet/encoding.h"
#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"

namespace {

using namespace v2test;
using networking::remote_historian::v2::ProcessorOptions;
constexpr auto kDebug = networking::event_base::LogLevel::kDebug;
constexpr auto kWarning = networking::event_base::LogLevel::kWarning;

std::vector<std::optional<double>> values(const networking::remote_historian::v2::StepVector &v) {
  std::vector<std::optional<double>> out;
  for (std::size_t i = 0; i < v.kept(); ++i)
    out.push_back(v.is_null(i) ? std::nullopt : std::optional(v.value(i)));
  return out;
}

// The one row a payload makes on a fresh processor.
PendingRow row_of(const std::string &payload, double ts = 0.0, ProcessorOptions o = {}) {
  support::TempDir dir;
  auto p = initialized(dir, o);
  feed(*p, payload, ts);
  EXPECT_EQ(p->_buffer._pending_rows.size(), 1u) << payload;
  return p->_buffer._pending_rows.empty() ? PendingRow{}
                                          : std::move(p->_buffer._pending_rows.front());
}

TEST(ProcessMessage, EmptyStepGetsDefaults) {
  networking::event_base::settings().RUN_ID = "run 7";
  PendingRow r = row_of("{}", 12.5);
  networking::event_base::settings().RUN_ID.reset();
  EXPECT_EQ(r.run_id, "run 7");
  EXPECT_EQ(r.sim_id, std::nullopt);
  EXPECT_EQ(r.episode_id, std::nullopt);
  EXPECT_EQ(r.step_number, std::nullopt);
  EXPECT_EQ(r.timestamp, 12.5);
  EXPECT_EQ(r.scenario, std::nullopt);
  EXPECT_EQ(r.reward, 0.0);
  EXPECT_FALSE(r.terminated);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r._obs_vec.raw_length(), 0u);
  EXPECT_EQ(r._action_vec.raw_length(), 0u);
  // An empty array is not truthy, so it is an empty step too.
  EXPECT_EQ(row_of("[]", 3.0).timestamp, 3.0);
}

TEST(ProcessMessage, WorkedExample) {
  PendingRow r = row_of(R"({"episode_id": "e1", "step_number": 3,
      "sim_data": {"sim_id": "s7", "result": {"observation": {"x": 1.0, "y": 2.0},
                   "sensor_names": ["x", "y"], "terminated": false}},
      "skill_data": {"action": [0.5], "teacher_reward": 0.25}})",
                        99.0);
  EXPECT_EQ(r.sim_id, "s7");
  EXPECT_EQ(r.episode_id, "e1");
  EXPECT_EQ(r.step_number, 3);
  EXPECT_EQ(r.timestamp, 99.0);
  EXPECT_EQ(r.reward, 0.25);
  EXPECT_EQ(values(r._obs_vec), (std::vector<std::optional<double>>{1.0, 2.0}));
  EXPECT_EQ(values(r._action_vec), (std::vector<std::optional<double>>{0.5}));
}

TEST(ProcessMessage, FieldPrecedence) {
  const struct {
    const char *payload;
    std::optional<std::string> run_id, sim_id, episode_id, scenario;
    std::optional<std::int64_t> step;
  } cases[] = {
      // Top level wins over sim_data and skill_data; falsy values are passed over.
      {R"({"run_id": "top", "sim_data": {"run_id": "sim"}, "skill_data": {"run_id": "sk"}})",
       "top",
       {},
       {},
       {},
       {}},
      {R"({"run_id": "", "sim_data": {"run_id": 0}, "skill_data": {"run_id": "sk"}})",
       "sk",
       {},
       {},
       {},
       {}},
      // sim_id never comes from the top level; sim_result is the last resort.
      {R"({"sim_id": "top", "sim_data": {"result": {"sim_id": "res"}}})", {}, "res", {}, {}, {}},
      {R"({"sim_data": {"sim_id": "", "result": {"sim_id": 5}}, "skill_data": {"sim_id": "k"}})",
       {},
       "k",
       {},
       {},
       {}},
      // Numbers as identifiers become their decimal text.
      {R"({"episode_id": 42})", {}, {}, "42", {}, {}},
      {R"({"skill_data": {"episode_id": "k1"}})", {}, {}, "k1", {}, {}},
      // A top-level step number of 0 counts as absent; 0 in skill_data stops the fallback.
      {R"({"step_number": 0, "episode_step": 9})", {}, {}, {}, {}, 9},
      {R"({"step_number": 0, "skill_data": {"step_number": 0}, "episode_step": 9})",
       {},
       {},
       {},
       {},
       0},
      {R"({"sim_data": {"step_number": 7.9}})", {}, {}, {}, {}, 7},
      {R"({"step_number": " 12 "})", {}, {}, {}, {}, 12},
      // Scenario: top, sim_result, skill_result, then sim_result's info.
      {R"({"sim_data": {"result": {"info": {"scenario": "rough"}}}})", {}, {}, {}, "rough", {}},
      {R"({"scenario": "top", "sim_data": {"result": {"scenario": "r"}}})", {}, {}, {}, "top", {}},
      {R"({"skill_data": {"result": {"scenario": "sk"}}})", {}, {}, {}, "sk", {}},
  };
  for (const auto &c : cases) {
    PendingRow r = row_of(c.payload);
    if (c.run_id) {
      EXPECT_EQ(r.run_id, c.run_id) << c.payload;
    }
    EXPECT_EQ(r.sim_id, c.sim_id) << c.payload;
    EXPECT_EQ(r.episode_id, c.episode_id) << c.payload;
    EXPECT_EQ(r.scenario, c.scenario) << c.payload;
    EXPECT_EQ(r.step_number, c.step) << c.payload;
  }
}

TEST(ProcessMessage, RewardAndFlags) {
  // teacher_reward present in skill_data with null wins over skill_result's reward.
  EXPECT_EQ(
      row_of(R"({"skill_data": {"teacher_reward": null, "result": {"teacher_reward": 3}}})").reward,
      0.0);
  EXPECT_EQ(row_of(R"({"skill_data": {"result": {"teacher_reward": "1.5"}}})").reward, 1.5);
  EXPECT_EQ(row_of(R"({"skill_data": {"teacher_reward": true}})").reward, 1.0);
  PendingRow t = row_of(R"({"sim_data": {"result": {"sim_terminated": 1}}})");
  EXPECT_TRUE(t.terminated);
  EXPECT_FALSE(t.truncated);
  EXPECT_TRUE(row_of(R"({"skill_data": {"done": true}})").truncated);
  EXPECT_TRUE(row_of(R"({"agent_data": {"result": {"truncated": "yes"}}})").truncated);
  EXPECT_TRUE(row_of(R"({"skill_data": {"result": {"teacher_terminated": [1]}}})").terminated);
}

TEST(ProcessMessage, ObservationShapes) {
  // Names that are not keys of the observation give nulls in their places.
  PendingRow r = row_of(
      R"({"sim_data": {"result": {"observation": {"a": 1, "b": "2"}, "sensor_names": ["b", "zz"]}}})");
  EXPECT_EQ(values(r._obs_vec), (std::vector<std::optional<double>>{2.0, std::nullopt}));
  // A names list made only of nulls: the mapping's values in its own order.
  r = row_of(
      R"({"sim_data": {"result": {"observation": {"q": 3, "p": 4}, "sensor_names": [null]}}})");
  EXPECT_EQ(values(r._obs_vec), (std::vector<std::optional<double>>{3.0, 4.0}));
  // A list observation, elements converted, nested values become null.
  r = row_of(R"({"sim_data": {"observation": [1, true, [2], "x", null]}})");
  EXPECT_EQ(values(r._obs_vec), (std::vector<std::optional<double>>{1.0, 1.0, std::nullopt,
                                                                    std::nullopt, std::nullopt}));
  // sim_sensors is used when sim_data has no truthy observation.
  r = row_of(
      R"({"sim_data": {"observation": [], "result": {"sim_sensors": [7], "observation": [8]}}})");
  EXPECT_EQ(values(r._obs_vec), (std::vector<std::optional<double>>{7.0}));
  // The korvo_obs fallback when the vector is empty.
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, R"({"skill_data": {"korvo_obs": {"Knee": 0.5, "Hip": 1.5}, "action": 1}})");
  EXPECT_EQ(values(p->_buffer._pending_rows[0]._obs_vec),
            (std::vector<std::optional<double>>{0.5, 1.5}));
  EXPECT_EQ(p->_shape._obs_names, (std::vector<std::string>{"knee", "hip"}));
  EXPECT_EQ(p->_shape._act_dim, 1);
}

TEST(ProcessMessage, ActionPresentButNullIsEmpty) {
  PendingRow r = row_of(R"({"skill_data": {"action": null, "result": {"action": [1, 2]}}})");
  EXPECT_EQ(r._action_vec.raw_length(), 0u);
  r = row_of(R"({"skill_data": {"result": {"action": {"b": 2, "a": 1}}}})");
  EXPECT_EQ(values(r._action_vec), (std::vector<std::optional<double>>{1.0, 2.0}));
}

TEST(ProcessMessage, WidthsAndNamesAreFixedOnce) {
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, step("e1", 1, "[]", "[]"));
  EXPECT_EQ(p->_shape._obs_dim, std::nullopt);
  EXPECT_EQ(p->_shape._act_dim, std::nullopt);
  feed(*p, step("e1", 2, R"j({"Motor Speed (rpm)": 1, "x": 2})j", "[0.1, 0.2, 0.3]"));
  EXPECT_EQ(p->_shape._obs_dim, 2);
  EXPECT_EQ(p->_shape._act_dim, 3);
  EXPECT_EQ(p->_shape._obs_names, (std::vector<std::string>{"motor_speed_rpm", "x"}));
  feed(*p, step("e1", 3, R"({"a": 1, "b": 2, "c": 3})", "[1]"));
  EXPECT_EQ(p->_shape._obs_dim, 2);
  EXPECT_EQ(p->_shape._act_dim, 3);
  EXPECT_EQ(p->_shape._obs_names, (std::vector<std::string>{"motor_speed_rpm", "x"}));
  // Values beyond the width are not kept, but the step remembers how many it had.
  EXPECT_EQ(p->_buffer._pending_rows[2]._obs_vec.kept(), 2u);
  EXPECT_EQ(p->_buffer._pending_rows[2]._obs_vec.raw_length(), 3u);
}

TEST(ProcessMessage, SensorNameWarningsOnceThenDebug) {
  support::CapturingLogger log;
  support::TempDir dir;
  auto p = initialized(dir);
  const char *mismatch =
      R"({"sim_data": {"result": {"observation": [1, 2, 3], "sensor_names": ["a", "b"]}}, "skill_data": {"action": [1]}})";
  feed(*p, mismatch);
  feed(*p, mismatch);
  EXPECT_EQ(log.count(kWarning,
                      "[EventHistorian] Sensor name count (2) does not match observation length "
                      "(3); falling back to s_* columns."),
            1);
  EXPECT_EQ(p->_shape._obs_names, std::nullopt);
  // The flag is shared: a later schema mismatch is only a debug line.
  feed(*p, R"({"sim_data": {"result": {"observation": {"a": 1, "b": 2, "c": 3}}}})");
  EXPECT_EQ(p->_shape._obs_names, (std::vector<std::string>{"a", "b", "c"}));
  feed(*p, R"({"sim_data": {"result": {"observation": {"a": 1, "b": 2, "d": 3}}}})");
  feed(*p, R"({"sim_data": {"result": {"observation": {"a": 1, "b": 2, "e": 3}}}})");
  EXPECT_EQ(log.count(kDebug, "[EventHistorian] Sensor name schema mismatch detected; ignoring."),
            2);
  EXPECT_EQ(log.count(kWarning,
                      "[EventHistorian] Sensor name schema mismatch detected; keeping initial "
                      "schema to preserve historian columns."),
            0);
}

TEST(ProcessMessage, FirstSchemaMismatchIsAWarning) {
  support::CapturingLogger log;
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, R"({"sim_data": {"result": {"observation": {"a": 1}}}})");
  feed(*p, R"({"sim_data": {"result": {"observation": {"b": 1}}}})");
  feed(*p, R"({"sim_data": {"result": {"observation": {"c": 1}}}})");
  EXPECT_EQ(log.count(kWarning,
                      "[EventHistorian] Sensor name schema mismatch detected; keeping initial "
                      "schema to preserve historian columns."),
            1);
  EXPECT_EQ(log.count(kDebug, "[EventHistorian] Sensor name schema mismatch detected; ignoring."),
            1);
  // The row keeps this step's own values.
  EXPECT_EQ(values(p->_buffer._pending_rows[2]._obs_vec),
            (std::vector<std::optional<double>>{1.0}));
}

TEST(ProcessMessage, SkillStartEvents) {
  support::TempDir dir;
  ProcessorOptions o;
  o.skill_name = "configured";
  auto p = initialized(dir, o);
  feed(*p, R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": 10})");
  EXPECT_EQ(p->_cycles._current_skill_name, "walk");
  EXPECT_EQ(*p->_cycles._cycle_indices.find("walk"), 0);
  EXPECT_EQ(*p->_cycles._skill_total_cycles.find("walk"), 10);
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  p->_cycles._cycle_indices.set("walk", 2);
  feed(*p, R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": "12"})");
  EXPECT_EQ(*p->_cycles._cycle_indices.find("walk"), 2);
  EXPECT_EQ(*p->_cycles._skill_total_cycles.find("walk"), 12);
  // Without a skill name the configured one is used; rows carry the current skill.
  feed(*p, R"({"type": "skill_training_started"})");
  EXPECT_EQ(p->_cycles._current_skill_name, "configured");
  feed(*p, "{}");
  EXPECT_EQ(p->_buffer._pending_rows.back().skill_name, "configured");
  // A total that cannot be converted fails after the skill was switched.
  EXPECT_THROW(
      feed(*p, R"({"type": "skill_training_started", "skill_name": "run", "total_cycles": "x"})"),
      std::invalid_argument);
  EXPECT_EQ(p->_cycles._current_skill_name, "run");
  EXPECT_TRUE(p->_cycles._cycle_indices.contains("run"));
}

TEST(ProcessMessage, SkillStartWithoutAnySkillUsesEmptyKey) {
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, R"({"type": "skill_training_started", "total_cycles": 3})");
  EXPECT_EQ(p->_cycles._current_skill_name, std::nullopt);
  EXPECT_EQ(*p->_cycles._skill_total_cycles.find(""), 3);
}

TEST(ProcessMessage, EpisodeAccounting) {
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, step("e1", 1, "[1]", "[1]", 1.0));
  feed(*p, step("e1", 2, "[1]", "[1]", 2.0, true));
  feed(*p, step("e2", 1, "[1]", "[1]", 0.5));
  EXPECT_THROW(feed(*p, R"({"episode_id": 7, "skill_data": {"teacher_reward": "abc"}})"),
               std::invalid_argument);
  EXPECT_EQ(*p->_cycles._cycle_episode_rewards.find("e1"), 3.0);
  EXPECT_EQ(*p->_cycles._cycle_episode_rewards.find("e2"), 0.5);
  EXPECT_TRUE(*p->_cycles._cycle_episode_done.find("e1"));
  EXPECT_FALSE(p->_cycles._cycle_episode_done.contains("e2"));
  // The bad reward was counted as 0.0 before its conversion failed the row.
  EXPECT_EQ(*p->_cycles._cycle_episode_rewards.find("7"), 0.0);
  EXPECT_EQ(p->_buffer._pending_rows.size(), 3u);
}

TEST(ProcessMessage, UnrepresentableValuesFailTheStep) {
  support::TempDir dir;
  auto p = initialized(dir);
  const std::string bad[] = {
      R"({"episode_id": "e", "step_number": 1180591620717411303424, "skill_data": {"teacher_reward": 2}})",
      R"({"step_number": 1e30})",
      R"({"step_number": "abc"})",
      R"({"step_number": [1]})",
      R"({"timestamp": "soon"})",
      R"({"skill_data": {"teacher_reward": {"a": 1}}})",
      R"({"sim_data": {"observation": [)" + std::string(400, '9') + R"(]}})",
  };
  for (int i = 0; i < 6; ++i) {
    const std::string &payload = bad[i];
    EXPECT_ANY_THROW(feed(*p, payload)) << payload;
  }
  // An integer beyond the double range in a vector fails the step, not the later flush.
  EXPECT_THROW(feed(*p, bad[6]), std::overflow_error);
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  EXPECT_EQ(*p->_cycles._cycle_episode_rewards.find("e"), 2.0);
}

TEST(ProcessMessage, TextsBeyondTheColumnLimitFailOnlyTheirStep) {
  // An episode id read in place, and a mapping whose escapes make its raw JSON column longer
  // than the entry: each accented letter becomes six bytes.
  const std::size_t letters = parquet::kMaxTextBytes / 6 + 1;
  std::string note;
  note.reserve(2 * letters);
  for (std::size_t i = 0; i < letters; ++i)
    note += "\xc3\xa9";
  const std::string limit = " bytes (at most " + std::to_string(parquet::kMaxTextBytes) + ")";
  const struct {
    bool raw_json;
    std::string payload;
    std::string message;
  } cases[] = {
      {false, R"({"episode_id": ")" + std::string(parquet::kMaxTextBytes + 1, 'x') + R"("})",
       "Column 'episode_id' cannot hold text of " + std::to_string(parquet::kMaxTextBytes + 1) +
           limit},
      {true, R"({"sim_data": {"note": ")" + note + R"("}})",
       "Column 'sim_data_json' cannot hold text of " + std::to_string(12 + 6 * letters) + limit},
  };
  for (const auto &c : cases) {
    support::TempDir dir;
    ProcessorOptions o;
    o.include_raw_json = c.raw_json;
    auto p = initialized(dir, o);
    feed(*p, step("e1", 1, R"({"a": 1})", "[0.5]"));
    try {
      feed(*p, c.payload);
      ADD_FAILURE() << c.message;
    } catch (const std::invalid_argument &e) {
      EXPECT_EQ(e.what(), c.message);
    }
    feed(*p, step("e1", 2, R"({"a": 2})", "[0.5]"));
    drain(*p);
    const std::string part = *p->_steps._parts_dir + "/part-00000.parquet";
    EXPECT_EQ(parquet::FileReader::open(part)->read_all().columns[3].ints,
              (std::vector<std::int64_t>{1, 2}));
    expect_readers_agree(part);
  }
}

TEST(ProcessMessage, LookupsInNonMappingsFail) {
  support::TempDir dir;
  auto p = initialized(dir);
  for (const char *payload :
       {R"({"sim_data": "text"})", R"({"skill_data": [1]})", R"({"sim_data": {"result": [1]}})",
        R"({"sim_data": {"result": {"info": "x"}}})"})
    EXPECT_ANY_THROW(feed(*p, payload)) << payload;
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  // "info" is only looked into when no earlier source gives a scenario.
  EXPECT_EQ(row_of(R"({"scenario": "top", "sim_data": {"result": {"info": "x"}}})").scenario,
            "top");
}

TEST(ProcessMessage, DroppedMessagesAreLogged) {
  support::CapturingLogger log;
  support::TempDir dir;
  EventHistorianProcessor fresh;
  loop::run(fresh.process_message(message("{}")));
  EXPECT_EQ(log.count(kWarning, "[EventHistorian] Not initialized; skipping message"), 1);
  auto p = initialized(dir);
  feed(*p, "[1, 2]");
  feed(*p, "\"text\"");
  feed(*p, "3");
  EXPECT_EQ(log.count(kWarning, "[EventHistorian] Invalid step payload: list"), 1);
  EXPECT_EQ(log.count(kWarning, "[EventHistorian] Invalid step payload: str"), 1);
  EXPECT_EQ(log.count(kWarning, "[EventHistorian] Invalid step payload: int"), 1);
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
}

TEST(ProcessMessage, RawJsonKeptAsText) {
  ProcessorOptions o;
  o.include_raw_json = true;
  PendingRow r =
      row_of(R"({"sim_data": {"name": "é", "v": 1e-5, "n": NaN}, "skill_data": {}})", 0, o);
  EXPECT_EQ(r._sim_data.value_or("absent"), R"({"name": "\u00e9", "v": 1e-05, "n": NaN})");
  EXPECT_EQ(r._skill_data.value_or("absent"), "{}");
  EXPECT_FALSE(row_of("{}")._sim_data);
}

} // namespace
