// The read loop against a real redis-server: decoding, acknowledgement, failures, restarts.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "parquet/file_reader.h"
#include "redis/connection.h"
#include "tests/networking/remote_historian/v2/processor_test_util.h"
#include "tests/support/capturing_logger.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/redis_server.h"

namespace {

using namespace v2test;
namespace fs = std::filesystem;
using networking::event_base::LogLevel;
using Args = std::vector<std::string>;

std::string good_step(int n, const std::string &episode = "e1") {
  return step(episode, n, R"({"a": )" + std::to_string(n) + "}", "[0.5]");
}

// A step of episode e1 like good_step(), its members given: `top` opens the payload, `sim`
// opens sim_data (each members followed by a comma).
std::string step_with(const std::string &top, const std::string &sim = R"("sim_id": "s1",)",
                      const std::string &obs = "1.0", const std::string &reward = "0.5") {
  return "{" + top + R"( "sim_data": {)" + sim + R"( "result": {"observation": {"a": )" + obs +
         R"(}}}, "skill_data": {"action": [0.5], "teacher_reward": )" + reward + "}}";
}

// An entry the output could not hold, and the start of the error it fails with.
struct Poisoned {
  std::string data;
  std::string error;
};

// Values a Parquet file cannot hold, one of each kind: escaped lone surrogates, which the
// parser keeps, and integers beyond their column's range. Over-long texts are tested without
// the stream, in step_processing_test.cc.
std::vector<Poisoned> poisoned_entries() {
  const std::string kTop = R"("episode_id": "e1", "step_number": 100,)";
  const std::string kNotUtf8 = "' cannot hold text that is not valid UTF-8";
  const std::string kBeyondDouble = "1" + std::string(400, '0');
  return {
      {step_with(R"("episode_id": "ep-\udc80", "step_number": 100,)"),
       "Column 'episode_id" + kNotUtf8},
      {step_with(kTop + R"("run_id": "run-\ud800",)"), "Column 'run_id" + kNotUtf8},
      {step_with(kTop, R"("sim_id": "\udfff",)"), "Column 'sim_id" + kNotUtf8},
      {step_with(kTop + R"("scenario": "x\ud83d",)"), "Column 'scenario" + kNotUtf8},
      {R"({"type": "skill_training_started", "skill_name": "run-\udc80"})",
       "Column 'skill_name" + kNotUtf8},
      {step_with(R"("episode_id": "e1", "step_number": "7\udc80",)"),
       "invalid literal for int() with base 10: "},
      {step_with(R"("episode_id": "e1", "step_number": 9223372036854775808,)"),
       "integer 9223372036854775808 is outside the 64-bit integer range"},
      {step_with(kTop, R"("sim_id": "s1",)", "1.0", kBeyondDouble),
       "int too large to convert to float"},
      {step_with(kTop, R"("sim_id": "s1",)", kBeyondDouble), "int too large to convert to float"},
  };
}

class StreamLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    static int counter = 0;
    const std::string suffix = std::to_string(++counter);
    options.redis_url = server.url();
    options.input_topic = "steps." + suffix;
    options.training_results_topic = "results." + suffix;
  }

  // A connection of the test's own, on the given loop.
  asio::awaitable<std::shared_ptr<redis::Connection>> client() {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(server.url());
    co_return co_await redis::Connection::connect(executor, endpoint);
  }

  // Braced lists inside a co_await trip GCC 12, so commands are given as separate arguments.
  template <typename... Parts>
  static asio::awaitable<redis::Reply> call(redis::Connection &c, Parts &&...parts) {
    Args args = {std::string(std::forward<Parts>(parts))...};
    co_return co_await c.command(std::move(args));
  }

  // Whether the group has delivered everything on stream and holds `pending` unacknowledged.
  static asio::awaitable<bool> consumed(redis::Connection &c, const std::string &stream,
                                        const std::string &group, std::int64_t pending) {
    redis::Reply groups;
    try {
      groups = co_await call(c, "XINFO", "GROUPS", stream);
    } catch (const std::exception &) {
      co_return false;
    }
    for (const auto &g : groups.elements) {
      std::int64_t lag = -1, have_pending = -1;
      std::string name;
      for (std::size_t i = 0; i + 1 < g.elements.size(); i += 2) {
        if (g.elements[i].str == "name")
          name = g.elements[i + 1].str;
        if (g.elements[i].str == "lag")
          lag = g.elements[i + 1].integer;
        if (g.elements[i].str == "pending")
          have_pending = g.elements[i + 1].integer;
      }
      if (name == group)
        co_return lag == 0 && have_pending == pending;
    }
    co_return false;
  }

  // Runs the processor's start() while body() feeds and observes the streams; body ends the
  // run by returning, after which the loop is stopped the way a host stops it.
  void run(std::function<asio::awaitable<void>(redis::Connection &)> body) {
    processor.reset(); // a previous run's processor holds its output names until it goes
    processor = initialized(dir, options);
    asio::io_context io;
    bool started_returned = false;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          co_await processor->start();
          started_returned = true;
        },
        [](const std::exception_ptr &e) {
          if (e)
            std::rethrow_exception(e);
        });
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          auto c = co_await client();
          for (int i = 0; i < 500 && !processor->_is_running; ++i)
            co_await loop::sleep_for(std::chrono::milliseconds(10));
          co_await body(*c);
          processor->_is_running = false;
          c->close();
        },
        [](const std::exception_ptr &e) {
          if (e)
            std::rethrow_exception(e);
        });
    loop::run_context(io);
    EXPECT_TRUE(started_returned);
  }

  asio::awaitable<void> wait_consumed(redis::Connection &c, const std::string &stream,
                                      std::int64_t pending = 0) {
    for (int i = 0; i < 1000; ++i) {
      if (co_await consumed(c, stream, options.consumer_group, pending))
        co_return;
      co_await loop::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "stream " << stream << " was not consumed in time";
  }

  std::vector<std::string> episode_column(const std::string &path) {
    auto t = parquet::FileReader::open(path)->read_all();
    std::vector<std::string> out;
    for (std::size_t i = 0; i < t.num_rows(); ++i)
      out.push_back(t.columns[2].valid[i] ? t.columns[2].strings[i] : "<null>");
    return out;
  }
  std::vector<std::int64_t> step_column(const std::string &path) {
    return parquet::FileReader::open(path)->read_all().columns[3].ints;
  }

  support::RedisServer server;
  support::TempDir dir;
  ProcessorOptions options;
  std::unique_ptr<EventHistorianProcessor> processor;
};

TEST_F(StreamLoopTest, EntriesBecomeRowsAndFailuresStayPending) {
  support::CapturingLogger log;
  std::string bad_json_id, bad_ts_id;
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    const std::string &in = options.input_topic;
    co_await call(c, "XADD", in, "*", "data", good_step(1), "timestamp", " 12 ");
    bad_json_id = (co_await call(c, "XADD", in, "*", "data", "not json")).str;
    bad_ts_id = (co_await call(c, "XADD", in, "*", "data", good_step(99), "timestamp", "abc")).str;
    co_await call(c, "XADD", in, "*", "other", "x"); // no data: an empty step
    co_await call(c, "XADD", in, "*", "data", "[1, 2]", "unique_id", "abc"); // dropped, acked
    co_await call(c, "XADD", in, "*", "data", good_step(2), "timestamp", "1e3", "correlation_id",
                  "");
    co_await wait_consumed(c, in, 2);
    redis::Reply p = co_await call(c, "XPENDING", in, options.consumer_group, "-", "+", "10");
    std::set<std::string> ids;
    for (const auto &e : p.elements)
      ids.insert(e.elements[0].str);
    EXPECT_EQ(ids, (std::set<std::string>{bad_json_id, bad_ts_id}));
  });
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{1, 0, 2}));
  auto t = parquet::FileReader::open(*processor->_steps._output_file)->read_all();
  EXPECT_EQ(t.columns[4].doubles, (std::vector<double>{12.0, 0.0, 1000.0}));
  EXPECT_EQ(log.count(LogLevel::kError,
                      "[EventHistorian] Error processing message " + bad_json_id + ": "),
            1u);
  EXPECT_EQ(
      log.count(LogLevel::kError, "[EventHistorian] Error processing message " + bad_ts_id + ": "),
      1u);
  EXPECT_EQ(log.count(LogLevel::kError), 2u);
  EXPECT_EQ(log.count(LogLevel::kWarning, "[EventHistorian] Invalid step payload: list"), 1u);
  expect_readers_agree(*processor->_steps._output_file);
}

TEST_F(StreamLoopTest, ValuesTheOutputCannotHoldFailOnlyTheirEntry) {
  for (const bool raw_json : {false, true}) {
    SCOPED_TRACE(raw_json ? "raw JSON columns" : "no raw JSON columns");
    const std::vector<Poisoned> entries = poisoned_entries();
    support::CapturingLogger log;
    options.include_raw_json = raw_json;
    options.input_topic += "x";
    std::vector<std::string> ids;
    run([&](redis::Connection &c) -> asio::awaitable<void> {
      const std::string &in = options.input_topic;
      co_await call(c, "XADD", in, "*", "data",
                    R"({"type": "skill_training_started", "skill_name": "walk"})");
      for (std::size_t i = 0; i < entries.size(); ++i) {
        co_await call(c, "XADD", in, "*", "data", good_step(static_cast<int>(i)));
        ids.push_back((co_await call(c, "XADD", in, "*", "data", entries[i].data)).str);
      }
      co_await call(c, "XADD", in, "*", "data", good_step(static_cast<int>(entries.size())));
      co_await wait_consumed(c, in, static_cast<std::int64_t>(entries.size()));
      co_await call(c, "XADD", *options.training_results_topic, "*", "data",
                    R"({"type": "ppo_training_result"})");
      co_await wait_consumed(c, *options.training_results_topic);
      redis::Reply p = co_await call(c, "XPENDING", in, options.consumer_group, "-", "+", "100");
      std::vector<std::string> pending;
      for (const auto &e : p.elements)
        pending.push_back(e.elements[0].str);
      EXPECT_EQ(pending, ids);
    });
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(log.count(LogLevel::kError, "[EventHistorian] Error processing message " + ids[i] +
                                                ": " + entries[i].error),
                1u)
          << entries[i].error;
    }
    EXPECT_EQ(log.count(LogLevel::kError), entries.size());

    // Every good step of the cycle, in order, under the skill that the bad event left as it was.
    const auto t = parquet::FileReader::open(*processor->_steps._output_file)->read_all();
    std::vector<std::int64_t> want(entries.size() + 1);
    for (std::size_t i = 0; i < want.size(); ++i)
      want[i] = static_cast<std::int64_t>(i);
    EXPECT_EQ(t.columns[3].ints, want);
    EXPECT_EQ(t.columns[5].strings, std::vector<std::string>(want.size(), "walk"));
    EXPECT_EQ(t.columns.size(), raw_json ? 17u : 15u);
    expect_readers_agree(*processor->_steps._output_file);
    expect_readers_agree(*processor->_cycle_summary._output_file);
  }
}

TEST_F(StreamLoopTest, TrainingResultsOnTheirOwnStreamCloseCycles) {
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data",
                  step("e1", 1, "[1]", "[1]", 2.0, true));
    co_await wait_consumed(c, options.input_topic);
    co_await call(c, "XADD", *options.training_results_topic, "*", "data",
                  R"({"type": "ppo_training_result"})");
    co_await wait_consumed(c, *options.training_results_topic);
    EXPECT_TRUE(fs::exists(*processor->_steps._parts_dir + "/part-00000.parquet"));
    co_await call(c, "XADD", options.input_topic, "*", "data", step("e2", 1, "[1]", "[1]"));
    co_await wait_consumed(c, options.input_topic);
  });
  EXPECT_EQ(episode_column(*processor->_steps._output_file),
            (std::vector<std::string>{"e1", "e2"}));
  auto cycles = parquet::FileReader::open(*processor->_cycle_summary._output_file)->read_all();
  ASSERT_EQ(cycles.num_rows(), 2u);
  EXPECT_EQ(cycles.columns[1].doubles[1], 2.0);
}

TEST_F(StreamLoopTest, SameStreamForStepsAndResults) {
  support::CapturingLogger log;
  options.training_results_topic = options.input_topic;
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(1));
    co_await call(c, "XADD", options.input_topic, "*", "data", R"({"training_result": {}})");
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(2));
    co_await wait_consumed(c, options.input_topic);
  });
  EXPECT_TRUE(log.contains(LogLevel::kDebug, "[EventHistorian] Consumer group "
                                             "'korvo-historian-group' already exists for topic '" +
                                                 options.input_topic + "'"));
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(parquet::FileReader::open(*processor->_cycle_summary._output_file)->num_rows(), 2);
}

TEST_F(StreamLoopTest, NoResultsStreamReadsOnlySteps) {
  options.training_results_topic = "";
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(1));
    co_await wait_consumed(c, options.input_topic);
    redis::Reply exists = co_await call(c, "EXISTS", "korvo.ppo.training_results");
    EXPECT_EQ(exists.integer, 0);
  });
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{1}));
}

TEST_F(StreamLoopTest, ExistingGroupKeepsItsPosition) {
  // Entries added before the group was made at "$" are never delivered to it.
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await client();
    co_await call(*c, "XADD", options.input_topic, "*", "data", good_step(1));
    co_await call(*c, "XGROUP", "CREATE", options.input_topic, options.consumer_group, "$");
  }());
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(2));
    co_await wait_consumed(c, options.input_topic);
  });
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{2}));
}

TEST_F(StreamLoopTest, ExistingFinalFileGetsATimeStampedName) {
  fs::create_directories(dir / "out");
  std::ofstream(dir / "out" / "v2_event_historian_unknown.parquet") << "earlier";
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(1));
    co_await wait_consumed(c, options.input_topic);
  });
  EXPECT_NE(*processor->_steps._output_file,
            (dir / "out" / "v2_event_historian_unknown.parquet").string());
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{1}));
  std::ifstream earlier(dir / "out" / "v2_event_historian_unknown.parquet");
  std::string text((std::istreambuf_iterator<char>(earlier)), {});
  EXPECT_EQ(text, "earlier");
}

TEST_F(StreamLoopTest, DeletedGroupMakesEveryReadFail) {
  support::CapturingLogger log;
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    co_await call(c, "XADD", options.input_topic, "*", "data", good_step(1));
    co_await wait_consumed(c, options.input_topic);
    co_await call(c, "XGROUP", "DESTROY", options.input_topic, options.consumer_group);
    const auto t0 = std::chrono::steady_clock::now();
    while (log.count(LogLevel::kError, "[EventHistorian] Error reading messages: ") < 3 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
      co_await loop::sleep_for(std::chrono::milliseconds(20));
    redis::Reply groups = co_await call(c, "XINFO", "GROUPS", options.input_topic);
    EXPECT_TRUE(groups.elements.empty()); // the loop does not create it again
  });
  EXPECT_GE(log.count(LogLevel::kError, "[EventHistorian] Error reading messages: "), 3u);
  EXPECT_EQ(step_column(*processor->_steps._output_file), (std::vector<std::int64_t>{1}));
}

TEST(StreamLoopRestart, RedisOutageLosesNothing) {
  support::CapturingLogger log;
  support::RedisServerOptions server_options;
  server_options.appendonly = true;
  support::RedisServer server(server_options);
  support::TempDir dir;
  ProcessorOptions o;
  o.redis_url = server.url();
  o.input_topic = "steps";
  o.training_results_topic = "";
  auto p = initialized(dir, o);

  asio::io_context io;
  auto add = [&](int from, int to) -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(server.url());
    auto c = co_await redis::Connection::connect(executor, endpoint);
    for (int n = from; n < to; ++n) {
      Args a = {"XADD", "steps", "*", "data", good_step(n)};
      co_await c->command(std::move(a));
    }
    for (int i = 0; i < 1000; ++i) {
      Args info = {"XINFO", "GROUPS", "steps"};
      redis::Reply g = co_await c->command(std::move(info));
      std::int64_t lag = -1, pending = -1;
      for (std::size_t k = 0; k + 1 < g.elements[0].elements.size(); k += 2) {
        if (g.elements[0].elements[k].str == "lag")
          lag = g.elements[0].elements[k + 1].integer;
        if (g.elements[0].elements[k].str == "pending")
          pending = g.elements[0].elements[k + 1].integer;
      }
      if (lag == 0 && pending == 0)
        break;
      co_await loop::sleep_for(std::chrono::milliseconds(10));
    }
    c->close();
  };
  asio::co_spawn(io, p->start(), [](const std::exception_ptr &e) {
    if (e)
      std::rethrow_exception(e);
  });
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 500 && !p->_is_running; ++i)
          co_await loop::sleep_for(std::chrono::milliseconds(10));
        co_await add(0, 50);
        server.stop();
        const std::size_t errors_before = log.count(LogLevel::kError);
        co_await loop::sleep_for(std::chrono::milliseconds(700));
        const std::size_t errors_during = log.count(LogLevel::kError) - errors_before;
        // One failed read per turn, each followed by the 0.1 s pause: a handful, not a flood.
        EXPECT_GE(errors_during, 3u);
        EXPECT_LE(errors_during, 8u);
        server.start();
        co_await add(50, 100);
        p->_is_running = false;
      },
      [](const std::exception_ptr &e) {
        if (e)
          std::rethrow_exception(e);
      });
  loop::run_context(io);

  std::vector<std::int64_t> steps =
      parquet::FileReader::open(*p->_steps._output_file)->read_all().columns[3].ints;
  std::vector<std::int64_t> want(100);
  for (int i = 0; i < 100; ++i)
    want[i] = i;
  EXPECT_EQ(steps, want);
  for (const auto &r : log.records())
    if (r.level == LogLevel::kError) {
      EXPECT_EQ(r.message.rfind("[EventHistorian] Error reading messages: ", 0), 0u) << r.message;
    }
}

} // namespace

namespace {

// A step of an episode (none: without an episode id) with its number (-1: none), reward and
// ending flags.
std::string episode_step(const std::string &episode, int number, double reward,
                         bool terminated = false, bool truncated = false) {
  const std::string id = episode.empty() ? "" : R"("episode_id": ")" + episode + R"(", )";
  const std::string n = number < 0 ? "" : R"("step_number": )" + std::to_string(number) + ", ";
  return "{" + id + n + R"("sim_data": {"sim_id": "s1", "result": {"observation": {"a": 1.0}, )" +
         R"("terminated": )" + (terminated ? "true" : "false") + R"(, "truncated": )" +
         (truncated ? "true" : "false") + R"(}}, "skill_data": {"action": [0.5], )" +
         R"("teacher_reward": )" + std::to_string(reward) + "}}";
}

// The column of t named `name` in schema, as optional integers, doubles or texts.
const parquet::Column &named(const parquet::Schema &schema, const parquet::Table &t,
                             const std::string &name) {
  for (std::size_t i = 0; i < schema.size(); ++i)
    if (schema.field(i).name == name)
      return t.columns[i];
  throw std::runtime_error("no column " + name);
}
std::vector<std::optional<std::int64_t>> ints(const parquet::Column &c) {
  std::vector<std::optional<std::int64_t>> out;
  for (std::size_t i = 0; i < c.size(); ++i)
    out.push_back(c.valid[i] ? std::optional(c.ints[i]) : std::nullopt);
  return out;
}

} // namespace

// Two skills, cycles of uneven episodes, an episode that spans a training result, a repeated
// and a missing step number, a step after an episode's end, a step without an episode id and
// episodes still open at the stop: each step knows its cycle and its place in its episode, each
// episode is one row, and every closed cycle's average is the mean return of its episodes.
TEST_F(StreamLoopTest, StepsKnowTheirCycleAndEpisodesAreRowsThatAddUpToTheCycleAverages) {
  options.training_results_topic = options.input_topic; // one stream: one order
  const std::string result = R"({"type": "ppo_training_result", "training_result": {}})";
  const std::vector<std::string> entries = {
      R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": 2})",
      episode_step("e1", 0, 1),
      episode_step("e2", 0, 0.5),
      episode_step("e1", 1, 1),
      episode_step("e2", 1, 0.5),
      episode_step("e2", 1, 0.5),
      episode_step("e1", 2, 1, true),
      episode_step("", 7, 5),
      episode_step("e2", 3, 0.5),
      result, // walk's cycle 1: e1 (3)
      episode_step("e2", 4, 0.5, false, true),
      episode_step("e3", 0, 2, true),
      episode_step("e3", 1, 10), // after its end, before its cycle closes
      R"({"type": "skill_training_started", "skill_name": "run"})",
      episode_step("e4", 0, 1),
      episode_step("e4", 1, 1),
      result, // run's cycle 1: e2 (2.5) and e3 (12)
      episode_step("e5", 0, 4),
      episode_step("e5", -1, 4)};
  run([&](redis::Connection &c) -> asio::awaitable<void> {
    for (const std::string &data : entries)
      co_await call(c, "XADD", options.input_topic, "*", "data", data);
    co_await wait_consumed(c, options.input_topic);
  });

  auto steps = parquet::FileReader::open(*processor->_steps._output_file);
  const parquet::Table s = steps->read_all();
  using Ints = std::vector<std::optional<std::int64_t>>;
  EXPECT_EQ(ints(named(steps->schema(), s, "cycle_index")),
            (Ints{1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 1, 1, 2, 2}));
  EXPECT_EQ(ints(named(steps->schema(), s, "step_index")),
            (Ints{0, 0, 1, 1, 2, 2, std::nullopt, 3, 4, 0, 1, 0, 1, 0, 1}));

  auto episodes = parquet::FileReader::open(*processor->_episodes._output_file);
  const parquet::Table e = episodes->read_all();
  const parquet::Schema &es = episodes->schema();
  ASSERT_EQ(e.num_rows(), 5u);
  EXPECT_EQ(named(es, e, "episode_id").strings,
            (std::vector<std::string>{"e1", "e2", "e3", "e4", "e5"}));
  EXPECT_EQ(named(es, e, "skill_name").strings,
            (std::vector<std::string>{"walk", "run", "run", "run", "run"}));
  EXPECT_EQ(ints(named(es, e, "episode_index")), (Ints{0, 1, 2, 3, 4}));
  EXPECT_EQ(ints(named(es, e, "cycle_index")), (Ints{1, 1, 1, std::nullopt, std::nullopt}));
  EXPECT_EQ(ints(named(es, e, "first_cycle_index")), (Ints{1, 1, 2, 1, 2}));
  EXPECT_EQ(ints(named(es, e, "episode_length")), (Ints{3, 5, 2, 2, 2}));
  EXPECT_EQ(named(es, e, "episode_return").doubles, (std::vector<double>{3, 2.5, 12, 2, 8}));
  EXPECT_EQ(named(es, e, "reward_min").doubles, (std::vector<double>{1, 0.5, 2, 1, 4}));
  EXPECT_EQ(named(es, e, "reward_max").doubles, (std::vector<double>{1, 0.5, 10, 1, 4}));
  EXPECT_EQ(named(es, e, "terminated").bools, (std::vector<std::uint8_t>{1, 0, 1, 0, 0}));
  EXPECT_EQ(named(es, e, "truncated").bools, (std::vector<std::uint8_t>{0, 1, 0, 0, 0}));
  EXPECT_EQ(named(es, e, "complete").bools, (std::vector<std::uint8_t>{1, 1, 1, 0, 0}));
  // A step number of 0 reads as none, as in the step file's step_number column.
  EXPECT_EQ(ints(named(es, e, "first_step_number")), (Ints{1, 1, 1, 1, std::nullopt}));
  EXPECT_EQ(ints(named(es, e, "last_step_number")), (Ints{2, 4, 1, 1, std::nullopt}));
  EXPECT_EQ(ints(named(es, e, "missing_steps")), (Ints{0, 1, 0, 0, 0}));
  EXPECT_EQ(ints(named(es, e, "duplicate_steps")), (Ints{0, 1, 0, 0, 0}));

  // Every closed cycle's average is the mean return of the episode rows of its skill and index.
  auto cycles = parquet::FileReader::open(*processor->_cycle_summary._output_file);
  const parquet::Table c = cycles->read_all();
  std::size_t closed = 0;
  for (std::size_t i = 0; i < c.num_rows(); ++i) {
    if (c.columns[4].bools[i])
      continue; // the metadata row
    double sum = 0;
    int n = 0;
    for (std::size_t j = 0; j < e.num_rows(); ++j) {
      if (named(es, e, "cycle_index").valid[j] &&
          named(es, e, "cycle_index").ints[j] == c.columns[0].ints[i] &&
          named(es, e, "skill_name").strings[j] == c.columns[2].strings[i]) {
        sum += named(es, e, "episode_return").doubles[j];
        ++n;
      }
    }
    ASSERT_GT(n, 0) << "cycle " << c.columns[0].ints[i];
    EXPECT_EQ(sum / n, c.columns[1].doubles[i]) << "cycle " << c.columns[0].ints[i];
    ++closed;
  }
  EXPECT_EQ(closed, 2u);
  for (const auto &path : {*processor->_steps._output_file, *processor->_episodes._output_file,
                           *processor->_cycle_summary._output_file})
    expect_readers_agree(path);
}
