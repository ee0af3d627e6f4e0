#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "networking/event_base/settings.h"
#include "parquet/file_reader.h"
#include "redis/connection.h"
#include "redis/error.h"
#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"
#include "tests/support/redis_server.h"
#include "json/write.h"

namespace {

using namespace v2test;
namespace fs = std::filesystem;
using networking::event_base::LogLevel;
using networking::remote_historian::v2::_checkpoint_text;
using networking::remote_historian::v2::_parse_checkpoint;
using networking::remote_historian::v2::TypeError;

json::Object named(const std::string &json_text) { return json::parse(json_text).as_object(); }

TEST(Construction, Defaults) {
  EventHistorianProcessor p;
  EXPECT_EQ(p.redis_url, "redis://localhost:6379");
  EXPECT_EQ(p.input_topic, "korvo.episodes");
  EXPECT_EQ(p.output_topic, "korvo.episodes");
  EXPECT_EQ(p.consumer_group, "korvo-historian-group");
  EXPECT_EQ(p.output_path, "./historian_output");
  EXPECT_EQ(p.training_results_topic, "korvo.ppo.training_results");
  EXPECT_EQ(p.skill_name, std::nullopt);
  EXPECT_EQ(p.total_cycles, std::nullopt);
  EXPECT_EQ(p._cycles._callback_url, std::nullopt);
  EXPECT_EQ(p._cycles._job_id, std::nullopt);
  EXPECT_FALSE(p.include_raw_json);
  EXPECT_FALSE(p._is_initialized);
  EXPECT_EQ(p.redis_client, nullptr);
  EXPECT_EQ(p._flush_lock, nullptr);
  EXPECT_FALSE(fs::exists(p.output_path));
}

TEST(Construction, UntypedArguments) {
  auto o = ProcessorOptions::from_arguments(
      json::parse(R"(["redis://h:1", "in", "out"])").as_array(),
      named(R"({"total_cycles": 7.9, "include_raw_json": "yes", "training_results_topic": null,
                "skill_name": "", "callback_url": "http://x/a///"})"));
  EXPECT_EQ(o.redis_url, "redis://h:1");
  EXPECT_EQ(o.output_topic, "out");
  EXPECT_EQ(o.consumer_group, "korvo-historian-group");
  EXPECT_EQ(o.total_cycles, 7);
  EXPECT_TRUE(o.include_raw_json);
  EXPECT_EQ(o.training_results_topic, std::nullopt);
  EventHistorianProcessor p(o);
  EXPECT_EQ(p._cycles._callback_url, "http://x/a");
  EXPECT_EQ(p.skill_name, "");
  EXPECT_EQ(p._cycles._current_skill_name, "");
  EXPECT_EQ(ProcessorOptions::from_arguments({}, named(R"({"total_cycles": -3.9})")).total_cycles,
            -3);
  EXPECT_FALSE(
      ProcessorOptions::from_arguments({}, named(R"({"include_raw_json": 0})")).include_raw_json);
  EXPECT_FALSE(
      ProcessorOptions::from_arguments({}, named(R"({"include_raw_json": ""})")).include_raw_json);
  EXPECT_EQ(EventHistorianProcessor(
                ProcessorOptions::from_arguments({}, named(R"({"callback_url": "///"})")))
                ._cycles._callback_url,
            "");
  EXPECT_EQ(EventHistorianProcessor(
                ProcessorOptions::from_arguments({}, named(R"({"callback_url": ""})")))
                ._cycles._callback_url,
            std::nullopt);
}

TEST(Construction, BadArgumentsNameTheArgument) {
  const struct {
    const char *positional;
    const char *named;
    const char *message;
  } cases[] = {
      {"[]", R"({"total_cycles": "7"})",
       "argument 'total_cycles' must be an integer or null, not 'str'"},
      {"[]", R"({"output_path": null})", "argument 'output_path' must be text, not 'NoneType'"},
      {"[]", R"({"redis_url": 5})", "argument 'redis_url' must be text, not 'int'"},
      {"[]", R"({"job_id": [1]})", "argument 'job_id' must be text, not 'list'"},
      {"[]", R"({"colour": "red"})",
       "EventHistorianProcessor() got an unexpected keyword argument 'colour'"},
      {R"(["a"])", R"({"redis_url": "b"})",
       "EventHistorianProcessor() got multiple values for argument 'redis_url'"},
      {"[1,2,3,4,5,6,7,8,9,10,11,12]", "{}",
       "EventHistorianProcessor() takes at most 11 arguments (12 given)"},
  };
  for (const auto &c : cases) {
    try {
      ProcessorOptions::from_arguments(json::parse(c.positional).as_array(), named(c.named));
      ADD_FAILURE() << "accepted " << c.named;
    } catch (const TypeError &e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Init, FileNames) {
  support::TempDir dir;
  networking::event_base::settings().RUN_ID = std::nullopt;
  ProcessorOptions o;
  o.output_path = (dir / "a" / "b").string() + "/";
  EventHistorianProcessor unknown(o);
  loop::run(unknown.init());
  EXPECT_TRUE(fs::is_directory(dir / "a" / "b"));
  EXPECT_EQ(*unknown._steps._output_file,
            (dir / "a/b/v2_event_historian_unknown.parquet").string());
  EXPECT_EQ(*unknown._steps._parts_dir, *unknown._steps._output_file + ".parts");
  EXPECT_EQ(*unknown._cycle_summary._output_file,
            (dir / "a/b/v2_event_historian_unknown_cycle_summary.parquet").string());
  EXPECT_EQ(*unknown._cycle_summary._parts_dir, *unknown._cycle_summary._output_file + ".parts");

  networking::event_base::settings().RUN_ID = "run 7";
  o.skill_name = "a/b c";
  EventHistorianProcessor named_run(o);
  networking::event_base::settings().RUN_ID.reset();
  std::ofstream(dir / "a/b/v2_event_historian_run-7_a-b-c.parquet") << "earlier run";
  const auto before = std::time(nullptr);
  loop::run(named_run.init());
  const std::string prefix = (dir / "a/b/v2_event_historian_run-7_a-b-c_").string();
  ASSERT_TRUE(named_run._steps._output_file->starts_with(prefix)) << *named_run._steps._output_file;
  const long seconds = std::stol(named_run._steps._output_file->substr(prefix.size()));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, before + 2);
  // The cycle file has no clash of its own, so it keeps its plain name.
  EXPECT_EQ(*named_run._cycle_summary._output_file,
            (dir / "a/b/v2_event_historian_run-7_a-b-c_cycle_summary.parquet").string());
}

TEST(Init, FailureLeavesTheProcessorUninitialized) {
  support::TempDir dir;
  std::ofstream(dir / "file") << "x";
  ProcessorOptions o;
  o.output_path = (dir / "file" / "sub").string();
  EventHistorianProcessor p(o);
  EXPECT_ANY_THROW(loop::run(p.init()));
  EXPECT_FALSE(p._is_initialized);
  EXPECT_EQ(p._steps._output_file, std::nullopt);
}

TEST(Init, RefusesRunOrSkillTheOutputCannotHold) {
  // "\xed\xb2\x80" is how the parser keeps an escaped lone surrogate.
  const struct {
    const char *run_id;
    const char *skill_name;
    const char *message;
  } cases[] = {
      {"run-\xed\xb2\x80", "walk", "Column 'run_id' cannot hold text that is not valid UTF-8"},
      {"run-1", "walk-\xed\xb2\x80",
       "Column 'skill_name' cannot hold text that is not valid UTF-8"},
  };
  support::TempDir dir;
  for (const auto &c : cases) {
    networking::event_base::settings().RUN_ID = c.run_id;
    ProcessorOptions o;
    o.output_path = dir.path().string();
    o.skill_name = c.skill_name;
    EventHistorianProcessor p(o);
    networking::event_base::settings().RUN_ID.reset();
    try {
      loop::run(p.init());
      ADD_FAILURE() << c.message;
    } catch (const std::invalid_argument &e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(p._is_initialized) << c.message;
  }
}

class GroupTest : public ::testing::Test {
protected:
  support::RedisServer server;
  support::TempDir dir;
  std::unique_ptr<EventHistorianProcessor> processor() {
    ProcessorOptions o;
    o.redis_url = server.url();
    return initialized(dir, o);
  }
};

TEST_F(GroupTest, CreatesStreamAndGroupOnce) {
  support::CapturingLogger log;
  auto p = processor();
  EXPECT_THROW(loop::run(p->_create_consumer_group_for_topic("s")), std::runtime_error);
  loop::run([&]() -> asio::awaitable<void> {
    co_await p->connect();
    co_await p->_create_consumer_group_for_topic("fresh.stream");
    co_await p->_create_consumer_group_for_topic("fresh.stream", "$");
    std::vector<std::string> info = {"XINFO", "GROUPS", "fresh.stream"};
    redis::Reply groups = co_await p->redis_client->command(std::move(info));
    EXPECT_EQ(groups.elements.size(), 1u);
    // A response error other than BUSYGROUP is raised unchanged.
    std::vector<std::string> set = {"SET", "plain", "x"};
    co_await p->redis_client->command(std::move(set));
    bool raised = false;
    try {
      co_await p->_create_consumer_group_for_topic("plain");
    } catch (const redis::ResponseError &e) {
      raised = std::string(e.what()).find("WRONGTYPE") != std::string::npos;
    }
    EXPECT_TRUE(raised);
    co_await p->disconnect();
  }());
  EXPECT_TRUE(log.contains(LogLevel::kDebug, "[EventHistorian] Created consumer group "
                                             "'korvo-historian-group' for topic 'fresh.stream'"));
  EXPECT_TRUE(log.contains(LogLevel::kDebug, "[EventHistorian] Consumer group "
                                             "'korvo-historian-group' already exists for topic "
                                             "'fresh.stream'"));
  EXPECT_EQ(p->redis_client, nullptr);
}

} // namespace

// A checkpoint is assembled from the shares of the processor's parts. One written by the
// release before them (its members in another order, without the episodes) is taken up whole,
// and written back member for member: a part that forgot a member, renamed one or read it into
// the wrong place would lose state across an upgrade.
TEST(Checkpoint, EveryMemberOfAnEarlierReleaseRoundTripsThroughTheParts) {
  support::TempDir dir;
  const std::string out = dir.path().string();
  const std::string text =
      R"({"version": 1, "consumer_name": "c1", )"
      R"("output_file": ")" +
      out +
      R"(/v2_event_historian_r1_walk.parquet", )"
      R"("cycle_output_file": ")" +
      out +
      R"(/v2_event_historian_r1_walk_cycle_summary.parquet", )"
      R"("part_index": 6, "cycle_part_index": 5, )"
      R"("current_skill_name": "walk", "cycle_indices": {"walk": 5, "": 1}, )"
      R"("skill_total_cycles": {"walk": 9}, )"
      R"("cycle_episode_rewards": {"ep-17": 48.75, "ep-18": NaN}, )"
      R"("cycle_episode_done": {"ep-17": true}, "cycle_metadata_written": true, )"
      R"("last_cycle_average_reward": {"walk": 50.5}, )"
      R"("last_cycle_steps_per_sec": {"walk": 3599, "": null}, )"
      R"("obs_dim": 2, "act_dim": 1, "obs_names": ["joint_0", "joint_1"], )"
      R"("warned_obs_name_mismatch": true, )"
      R"("schema": [["run_id", "string"], ["joint_0", "double"], )"
      R"(["joint_1", "double"], ["a_0", "double"], ["terminated", "bool"], )"
      R"(["step_number", "int64"]], )"
      R"("last_ids": {"s": "1796836135003-2", "r": "1796836135001-0"}, )"
      R"("failed_ids": {"s": ["1796836134982-59", "1796836134990-1"]}})";
  ProcessorOptions options;
  options.output_path = out;
  options.durable = true;
  EventHistorianProcessor p(options);
  p._restore_checkpoint(_parse_checkpoint(text));
  EXPECT_EQ(p.consumer_name, "c1");
  EXPECT_EQ(p._steps._parts_dir, out + "/v2_event_historian_r1_walk.parquet.parts");
  EXPECT_EQ(p._cycle_summary._part_index, 5);

  const json::Object before = json::parse(text).as_object();
  const json::Object after = json::parse(_checkpoint_text(p._checkpoint_state())).as_object();
  // The shares of what that release did not have: its episodes dataset is named afresh and
  // has no open episodes, it did not keep its file options, and it claimed no entries.
  const std::vector<std::string> added = {"file_options",        "episodes_output_file",
                                          "episodes_part_index", "open_episodes",
                                          "next_episode_index",  "claiming_ids"};
  EXPECT_EQ(after.size(), before.size() + added.size());
  for (const std::string &key : added)
    EXPECT_NE(after.find(key), nullptr) << key;
  for (const auto &[key, value] : before) {
    const json::Value *written = after.find(key);
    ASSERT_NE(written, nullptr) << key;
    EXPECT_EQ(json::dumps(*written), json::dumps(value)) << key;
  }
}
