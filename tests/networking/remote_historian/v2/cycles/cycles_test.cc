#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parquet/file_reader.h"
#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"
#include "tests/support/http_sink.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/silent_listener.h"

namespace {

using namespace v2test;
namespace fs = std::filesystem;
using networking::event_base::LogLevel;

constexpr const char *kResult = R"({"type": "ppo_training_result", "steps_per_sec": 1830.5})";

struct CycleRow {
  std::optional<std::int64_t> cycle_index;
  std::optional<double> average_reward;
  std::optional<std::string> skill_name;
  std::optional<std::int64_t> total_cycles;
  bool is_metadata;
  bool operator==(const CycleRow &) const = default;
};

std::ostream &operator<<(std::ostream &os, const CycleRow &r) {
  return os << "{" << (r.cycle_index ? std::to_string(*r.cycle_index) : "null") << ", "
            << (r.average_reward ? std::to_string(*r.average_reward) : "null") << ", "
            << r.skill_name.value_or("null") << ", "
            << (r.total_cycles ? std::to_string(*r.total_cycles) : "null") << ", " << r.is_metadata
            << "}";
}

std::vector<CycleRow> cycle_rows(const std::string &path) {
  auto t = parquet::FileReader::open(path)->read_all();
  std::vector<CycleRow> out;
  for (std::size_t i = 0; i < t.num_rows(); ++i) {
    auto &c = t.columns;
    out.push_back({c[0].valid[i] ? std::optional(c[0].ints[i]) : std::nullopt,
                   c[1].valid[i] ? std::optional(c[1].doubles[i]) : std::nullopt,
                   c[2].valid[i] ? std::optional(c[2].strings[i]) : std::nullopt,
                   c[3].valid[i] ? std::optional(c[3].ints[i]) : std::nullopt,
                   c[4].valid[i] && c[4].bools[i] != 0});
  }
  return out;
}

TEST(CycleSummary, AveragesCompletedEpisodesOnly) {
  support::TempDir dir;
  ProcessorOptions o;
  o.skill_name = "walk";
  o.total_cycles = 3;
  auto p = initialized(dir, o);
  feed(*p, step("e1", 1, "[1]", "[1]", 0.5));
  feed(*p, step("e1", 2, "[1]", "[1]", 0.5, true));
  feed(*p, step("e2", 1, "[1]", "[1]", 3.0, true));
  feed(*p, step("e3", 1, "[1]", "[1]", 10.0));
  feed(*p, kResult);
  EXPECT_EQ(*p->_cycles._last_cycle_average_reward.find("walk"), 2.0);
  EXPECT_EQ(*p->_cycles._cycle_indices.find("walk"), 1);
  EXPECT_EQ(p->_cycles._cycle_episode_rewards.size(), 1u);
  EXPECT_EQ(*p->_cycles._cycle_episode_rewards.find("e3"), 10.0);
  EXPECT_TRUE(p->_cycles._cycle_episode_done.empty());
  EXPECT_EQ(p->_cycles._last_cycle_steps_per_sec.find("walk")->as_double(), 1830.5);
  // The cycle's steps were written by the training result.
  EXPECT_TRUE(p->_buffer._pending_rows.empty());
  EXPECT_TRUE(fs::exists(*p->_steps._parts_dir + "/part-00000.parquet"));
  EXPECT_EQ(cycle_rows(*p->_cycle_summary._parts_dir + "/part-00000.parquet"),
            (std::vector<CycleRow>{{0, std::nullopt, "walk", 3, true},
                                   {1, 2.0, "walk", std::nullopt, false}}));
  // e3 ends in the next cycle and counts there with everything it gathered.
  feed(*p, step("e3", 2, "[1]", "[1]", 2.0, true));
  feed(*p, kResult);
  EXPECT_EQ(cycle_rows(*p->_cycle_summary._parts_dir + "/part-00001.parquet"),
            (std::vector<CycleRow>{{2, 12.0, "walk", std::nullopt, false}}));
  EXPECT_EQ(p->_cycle_summary._part_index, 2);
}

TEST(CycleSummary, FinalFileHasMetadataFirstAndEveryCycle) {
  support::TempDir dir;
  auto p = initialized(dir); // no skill, no total configured
  feed(*p, R"({"type": "skill_training_started", "skill_name": "run", "total_cycles": 5})");
  for (int cycle = 0; cycle < 3; ++cycle)
    feed(*p, kResult);
  feed(*p, R"({"type": "skill_training_started", "skill_name": ""})");
  feed(*p, R"({"training_result": {"status": "success"}})");
  loop::run(p->disconnect());
  EXPECT_FALSE(fs::exists(*p->_cycle_summary._parts_dir));
  EXPECT_EQ(cycle_rows(*p->_cycle_summary._output_file),
            (std::vector<CycleRow>{{0, std::nullopt, std::nullopt, std::nullopt, true},
                                   {1, 0.0, "run", std::nullopt, false},
                                   {2, 0.0, "run", std::nullopt, false},
                                   {3, 0.0, "run", std::nullopt, false},
                                   {1, 0.0, std::nullopt, std::nullopt, false}}));
  // Five one-row parts become one row group.
  EXPECT_EQ(parquet::FileReader::open(*p->_cycle_summary._output_file)->row_groups().size(), 1u);
  expect_readers_agree(*p->_cycle_summary._output_file);
}

TEST(CycleSummary, EmptyConfiguredSkillIsTextInTheMetadataRow) {
  support::TempDir dir;
  ProcessorOptions o;
  o.skill_name = "";
  auto p = initialized(dir, o);
  feed(*p, kResult);
  EXPECT_EQ(cycle_rows(*p->_cycle_summary._parts_dir + "/part-00000.parquet"),
            (std::vector<CycleRow>{{0, std::nullopt, "", std::nullopt, true},
                                   {1, 0.0, std::nullopt, std::nullopt, false}}));
}

TEST(CycleSummary, WritingBeforeInitFails) {
  EventHistorianProcessor p;
  try {
    p._write_cycle_summary(1.0, "walk");
    FAIL() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Historian cycle schema not initialized");
  }
  try {
    p._write_cycle_metadata();
    FAIL() << "no error";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "Historian cycle schema not initialized");
  }
}

TEST(TrainingResults, RecognitionAndStatus) {
  const struct {
    const char *payload;
    bool closes;
  } cases[] = {
      {R"({"type": "ppo_training_result"})", true},
      {R"({"training_result": {}})", true},
      {R"({"training_result": {"status": ""}})", true},
      {R"({"training_result": {"status": "success"}})", true},
      {R"({"training_result": {"status": false}})", true},
      {R"({"type": "ppo_training_result", "training_result": {"status": "failed"}})", false},
      {R"({"training_result": {"status": "Success"}})", false},
      {R"({"training_result": {"status": 1}})", false},
  };
  for (const auto &c : cases) {
    support::TempDir dir;
    auto p = initialized(dir);
    feed(*p, step("e1", 1, "[1]", "[1]", 1.0, true));
    feed(*p, c.payload);
    EXPECT_EQ(p->_cycles._cycle_indices.contains(""), c.closes) << c.payload;
    EXPECT_EQ(p->_buffer._pending_rows.empty(), c.closes) << c.payload;
    EXPECT_EQ(p->_cycles._cycle_episode_done.empty(), c.closes) << c.payload;
  }
  // Not a training result: a step row is built.
  support::TempDir dir;
  auto p = initialized(dir);
  feed(*p, R"({"training_result": "done"})");
  feed(*p, R"({"type": "skill_training_started", "training_result": {}})");
  EXPECT_EQ(p->_buffer._pending_rows.size(), 1u);
  EXPECT_TRUE(p->_cycles._cycle_indices.contains(""));
  EXPECT_EQ(*p->_cycles._cycle_indices.find(""), 0);
}

// Runs a processor's messages on one loop together with the callbacks they start.
class CallbackTest : public ::testing::Test {
protected:
  std::unique_ptr<EventHistorianProcessor> processor(const std::string &url,
                                                     std::optional<std::int64_t> total = {}) {
    ProcessorOptions o;
    o.callback_url = url;
    o.job_id = "job-9";
    o.total_cycles = total;
    return initialized(dir, o);
  }
  support::TempDir dir;
  support::HttpSink sink;
};

TEST_F(CallbackTest, PostsTheCycleMetrics) {
  auto p = processor(sink.url() + "///", 4);
  feed(*p, R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": 10})");
  feed(*p, step("e1", 1, "[1]", "[1]", 1.5, true));
  feed(*p, kResult);
  auto requests = sink.wait_for_requests(1, std::chrono::seconds(10));
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/internal/jobs/job-9/cycle-metrics");
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  EXPECT_EQ(requests[0].body, R"({"iteration": 0, "mean_reward": 1.5, "skill_name": "walk", )"
                              R"("total_iterations": 10, "steps_per_sec": 1830.5})");
  // No skill: null skill name, the configured total, no steps per second.
  feed(*p, R"({"type": "skill_training_started", "skill_name": null})");
  feed(*p, R"({"training_result": {"status": "success"}})");
  requests = sink.wait_for_requests(2, std::chrono::seconds(10));
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, R"({"iteration": 0, "mean_reward": 0.0, "skill_name": null, )"
                              R"("total_iterations": 4, "steps_per_sec": null})");
}

TEST_F(CallbackTest, NeedsBothUrlAndJob) {
  ProcessorOptions o;
  o.callback_url = sink.url();
  auto p = initialized(dir, o);
  feed(*p, kResult);
  EXPECT_EQ(*p->_cycles._cycle_indices.find(""), 1);
  EXPECT_TRUE(sink.wait_for_requests(1, std::chrono::milliseconds(300)).empty());
}

TEST_F(CallbackTest, ErrorStatusIsNotLogged) {
  support::CapturingLogger log;
  sink.set_status(500);
  auto p = processor(sink.url());
  feed(*p, kResult);
  EXPECT_EQ(sink.wait_for_requests(1, std::chrono::seconds(10)).size(), 1u);
  EXPECT_EQ(log.count(LogLevel::kDebug, "[EventHistorian] Cycle metrics callback failed"), 0u);
  EXPECT_EQ(log.count(LogLevel::kWarning) + log.count(LogLevel::kError), 0u);
}

TEST_F(CallbackTest, UnreachableEndpointLogsOneDebugLine) {
  support::CapturingLogger log;
  const std::string url = sink.url();
  sink.stop();
  auto p = processor(url);
  feed(*p, kResult); // returns once the failed POST has finished on the same loop
  EXPECT_EQ(log.count(LogLevel::kDebug, "[EventHistorian] Cycle metrics callback failed: "), 1u);
  EXPECT_EQ(log.count(LogLevel::kWarning) + log.count(LogLevel::kError), 0u);
}

TEST_F(CallbackTest, SlowEndpointTimesOutWithoutStallingSteps) {
  support::CapturingLogger log;
  sink.set_delay(std::chrono::seconds(7));
  auto p = processor(sink.url());
  asio::io_context io;
  std::size_t rows_while_waiting = 0;
  auto t0 = std::chrono::steady_clock::now();
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        const auto result = message(kResult);
        co_await p->process_message(result);
        for (int i = 0; i < 20; ++i) {
          const auto m = message(step("e", i, "[1]", "[1]"));
          co_await p->process_message(m);
          co_await loop::sleep_for(std::chrono::milliseconds(10));
        }
        rows_while_waiting = p->_buffer._pending_rows.size();
      },
      asio::detached);
  loop::run_context(io);
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(rows_while_waiting, 20u);
  EXPECT_EQ(log.count(LogLevel::kDebug, "[EventHistorian] Cycle metrics callback failed: "), 1u);
  // The 5-second time-out ended the POST, not the endpoint's 7-second delay.
  EXPECT_LT(elapsed, std::chrono::milliseconds(6900));
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
}

TEST_F(CallbackTest, HungServiceFillsTheQueueAndTheStopDropsTheRest) {
  support::CapturingLogger log;
  support::SilentListener jobs;
  auto p = processor(jobs.url());
  const auto result = message(kResult);
  loop::run([&]() -> asio::awaitable<void> {
    co_await p->process_message(result);
    // The first report hangs before the next 65 come: 64 wait behind it, the last is dropped.
    for (int i = 0; i < 1000 && jobs.connections().empty(); ++i)
      co_await loop::sleep_for(std::chrono::milliseconds(10));
    for (int i = 0; i < 65; ++i)
      co_await p->process_message(result);
    co_await p->disconnect();
  }());
  const std::size_t started = jobs.connections().size();
  EXPECT_EQ(log.messages(LogLevel::kWarning),
            (std::vector<std::string>{
                "[EventHistorian] Cycle metrics callback for iteration 65 dropped: the job service "
                "is not keeping up (64 reports waiting)",
                "[EventHistorian] " + std::to_string(65 - started) +
                    " cycle metrics callbacks dropped: not sent within 5 s of the stop"}));
}

} // namespace
