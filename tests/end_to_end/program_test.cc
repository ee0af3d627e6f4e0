// The event-historian program as users run it: a child process, a real redis-server, signals,
// and the files read back by the independent readers.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "loop/loop.h"
#include "parquet/file_reader.h"
#include "redis/connection.h"
#include "tests/support/http_sink.h"
#include "tests/support/parquet_readers.h"
#include "tests/support/redis_server.h"
#include "tests/support/temp_dir.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kProgram =
    std::string(HISTORIAN_BINARY_DIR) + "/tools/historian_host/event-historian";

std::string slurp(const fs::path &p) {
  std::ifstream in(p);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

enum class Stderr { kFile, kPipe };

// The program as a child process with its output in files, or its standard error in a pipe
// whose read end the test holds.
class Child {
public:
  Child(const Args &args, const support::TempDir &dir, Stderr err = Stderr::kFile)
      : _out(dir / "stdout"), _err(dir / "stderr") {
    std::vector<std::string> all = {kProgram};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    argv.reserve(all.size() + 1);
    for (auto &a : all)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, _out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int pipe_fds[2] = {-1, -1};
    if (err == Stderr::kPipe) {
      if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
      posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    } else {
      posix_spawn_file_actions_addopen(&actions, 2, _err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    const int spawned =
        posix_spawn(&_pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipe_fds[1] >= 0)
      close(pipe_fds[1]);
    _err_pipe = pipe_fds[0];
    if (spawned != 0)
      throw std::runtime_error("cannot start " + kProgram);
  }
  ~Child() {
    close_err_pipe();
    if (_pid > 0) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
  }
  void close_err_pipe() {
    if (_err_pipe >= 0)
      close(_err_pipe);
    _err_pipe = -1;
  }
  void signal(int sig) { kill(_pid, sig); }
  // The exit status, or -1 when it did not exit within timeout.
  int wait(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(_pid, &status, WNOHANG) == _pid) {
        _pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  std::string out() const { return slurp(_out); }
  std::string err() const { return slurp(_err); }

private:
  pid_t _pid = -1;
  int _err_pipe = -1;
  fs::path _out, _err;
};

// Commands against a server from the test thread.
redis::Reply command(const std::string &url, Args args) {
  return loop::run([&]() -> asio::awaitable<redis::Reply> {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(url);
    auto c = co_await redis::Connection::connect(executor, endpoint);
    redis::Reply r = co_await c->command(std::move(args));
    c->close();
    co_return r;
  }());
}

std::int64_t group_field(const std::string &url, const std::string &stream,
                         const std::string &field) {
  redis::Reply groups;
  try {
    groups = command(url, {"XINFO", "GROUPS", stream});
  } catch (const std::exception &) {
    return -1;
  }
  if (groups.elements.empty())
    return -1;
  const auto &g = groups.elements[0].elements;
  for (std::size_t i = 0; i + 1 < g.size(); i += 2)
    if (g[i].str == field)
      return g[i + 1].integer;
  return -1;
}

bool wait_until(const std::function<bool()> &done, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string step_data(int n, int sensors = 4) {
  std::string obs;
  for (int k = 0; k < sensors; ++k)
    obs += (k ? ", " : "") + std::string("\"joint_") + std::to_string(k) +
           "\": " + std::to_string(n * 0.5 + k);
  return R"({"episode_id": "ep-)" + std::to_string(n / 10) + R"(", "step_number": )" +
         std::to_string(n) + R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": {)" +
         obs + R"(}}}, "skill_data": {"action": [0.5, -0.5], "teacher_reward": 0.25}})";
}

void add_steps(const std::string &url, const std::string &stream, int from, int to,
               int sensors = 4) {
  loop::run([&]() -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(url);
    auto c = co_await redis::Connection::connect(executor, endpoint);
    for (int n = from; n < to; ++n)
      c->send({"XADD", stream, "*", "data", step_data(n, sensors), "timestamp",
               std::to_string(1000 + n)},
              [](const std::exception_ptr &, const redis::Reply &) {});
    co_await c->drain();
    c->close();
  }());
}

void expect_readers_agree(const std::string &path) {
  auto reader = parquet::FileReader::open(path);
  const auto readouts = support::read_files_with_all_readers({path});
  EXPECT_EQ(support::mismatches(readouts.at(0),
                                support::expected_columns(reader->schema(), reader->read_all())),
            "");
}

TEST(Program, HelpAndVersion) {
  support::TempDir dir;
  Child help({"run", "--help"}, dir);
  EXPECT_EQ(help.wait(std::chrono::seconds(10)), 0);
  for (const char *option :
       {"--redis-url", "--input-topic", "--output-topic", "--consumer-group", "--output-path",
        "--skill-name", "--include-raw-json", "--training-results-topic", "--total-cycles",
        "--callback-url", "--job-id", "--run-id", "--log-level", "--compression",
        "--compression-level"})
    EXPECT_NE(help.out().find(option), std::string::npos) << option;
  Child version({"--version"}, dir);
  EXPECT_EQ(version.wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(version.out().find("event-historian 0."), std::string::npos) << version.out();
}

TEST(Program, BadOptionsAndUnreachableRedisWriteNothing) {
  const Args bad[] = {
      {"run", "--total-cycles", "seven"},
      {"run", "--log-level", "info"},
      {"run", "--redis-url", "http://x"},
      {"run", "--redis-url", "redis://127.0.0.1:" + std::to_string(support::free_port())},
  };
  for (const auto &args : bad) {
    support::TempDir dir;
    Args full = args;
    full.push_back("--output-path");
    full.push_back((dir / "out").string());
    Child child(full, dir);
    const int status = child.wait(std::chrono::seconds(20));
    EXPECT_NE(status, 0) << args.back();
    EXPECT_NE(status, -1) << args.back();
    const std::string err = child.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(fs::exists(dir / "out")) << args.back();
  }
}

TEST(Program, SigtermWritesTheFinalFiles) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 250);
  Child child({"run", "--redis-url", server.url(), "--input-topic", "steps", "--output-path",
               (dir / "out").string(), "--run-id", "r1", "--skill-name", "walk", "--total-cycles",
               "2.9", "--training-results-topic", "results"},
              dir);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(30)))
      << child.err();
  command(server.url(), {"XADD", "results", "*", "data", R"({"type": "ppo_training_result"})"});
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "results", "lag") == 0 &&
               group_field(server.url(), "results", "pending") == 0;
      },
      std::chrono::seconds(30)));
  add_steps(server.url(), "steps", 250, 300);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(30)));
  child.signal(SIGTERM);
  child.signal(SIGTERM); // a second signal does not cut the shutdown short
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  EXPECT_EQ(support::sorted_entries(dir / "out"),
            (std::vector<std::string>{"v2_event_historian_r1_walk.parquet",
                                      "v2_event_historian_r1_walk_cycle_summary.parquet"}));
  const std::string steps = (dir / "out" / "v2_event_historian_r1_walk.parquet").string();
  auto reader = parquet::FileReader::open(steps);
  EXPECT_EQ(reader->num_rows(), 300);
  auto t = reader->read_all();
  for (std::int64_t n = 0; n < 300; ++n)
    EXPECT_EQ(t.columns[3].ints[n], n);
  expect_readers_agree(steps);
  const std::string cycles =
      (dir / "out" / "v2_event_historian_r1_walk_cycle_summary.parquet").string();
  auto c = parquet::FileReader::open(cycles)->read_all();
  ASSERT_EQ(c.num_rows(), 2u);
  EXPECT_EQ(c.columns[3].ints[0], 2); // --total-cycles 2.9 is taken as 2
  expect_readers_agree(cycles);
}

TEST(Program, SigtermDuringAFlushFinishesIt) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 20000, 64);
  Child child({"run", "--redis-url", server.url(), "--input-topic", "steps", "--output-path",
               (dir / "out").string(), "--include-raw-json"},
              dir);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(120)))
      << child.err();
  command(server.url(), {"XADD", "steps", "*", "data", R"({"type": "ppo_training_result"})"});
  // The result is delivered (lag 0) but not yet acknowledged while its flush runs.
  ASSERT_TRUE(wait_until([&] { return group_field(server.url(), "steps", "lag") == 0; },
                         std::chrono::seconds(30)));
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(120)), 0) << child.err();
  const auto files = support::sorted_entries(dir / "out");
  ASSERT_EQ(files.size(), 2u);
  auto reader = parquet::FileReader::open((dir / "out" / files[0]).string());
  EXPECT_EQ(reader->num_rows(), 20000);
  EXPECT_EQ(reader->schema().size(), 10u + 64 + 2 + 2);
}

TEST(Program, DemoShowsItsFiles) {
  support::TempDir dir;
  Child demo({"demo", "--output-path", (dir / "out").string()}, dir);
  EXPECT_EQ(demo.wait(std::chrono::seconds(120)), 0) << demo.out() << demo.err();
  const std::string out = demo.out();
  EXPECT_NE(out.find("Summary: 300 step rows (300 published)"), std::string::npos) << out;
  EXPECT_NE(out.find("POST /internal/jobs/demo-job/cycle-metrics"), std::string::npos) << out;
  EXPECT_EQ(support::sorted_entries(dir / "out").size(), 2u);
}

// True once every entry of the stream was delivered to the group and acknowledged.
bool consumed(const std::string &url, const std::string &stream) {
  return wait_until(
      [&] {
        return group_field(url, stream, "lag") == 0 && group_field(url, stream, "pending") == 0;
      },
      std::chrono::seconds(30));
}

// The step file holds rows 0 .. n-1 in order, and the independent readers agree with it.
void expect_all_steps(const fs::path &file, std::int64_t n) {
  auto reader = parquet::FileReader::open(file.string());
  ASSERT_EQ(reader->num_rows(), n);
  auto t = reader->read_all();
  for (std::int64_t i = 0; i < n; ++i)
    EXPECT_EQ(t.columns[3].ints[i], i);
  expect_readers_agree(file.string());
}

// A run of skill "walk" reading the stream "steps" into dir/out.
Args walk_run(const support::RedisServer &server, const support::TempDir &dir) {
  return {"run",
          "--redis-url",
          server.url(),
          "--input-topic",
          "steps",
          "--output-path",
          (dir / "out").string(),
          "--run-id",
          "r1",
          "--skill-name",
          "walk"};
}

// --compression zstd --compression-level reaches every file, parts and merge alike, and the
// files tell a reader the run, the skill, the writer's version and the sensor names as the
// steps spelled them, before they became column names.
TEST(Program, CompressionAndKeyValueMetadata) {
  support::RedisServer server;
  support::TempDir dir;
  for (int n = 0; n < 30; ++n) {
    const std::string data =
        R"x({"episode_id": "ep-1", "step_number": )x" + std::to_string(n) +
        R"x(, "sim_data": {"result": {"observation": {"Left Knee.Angle": 1.5, "hip-yaw (rad)": 2}}},)x"
        R"x( "skill_data": {"action": [0.5]}})x";
    command(server.url(), {"XADD", "steps", "*", "data", data});
    if (n == 14) // a training result closes the first part: the merge has two to join
      command(server.url(), {"XADD", "steps", "*", "data", R"({"type": "ppo_training_result"})"});
  }
  Args args = walk_run(server, dir);
  for (const char *a : {"--compression", "zstd", "--compression-level", "9"})
    args.push_back(a);
  Child child(args, dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  child.signal(SIGTERM);
  ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  for (const char *name :
       {"v2_event_historian_r1_walk.parquet", "v2_event_historian_r1_walk_cycle_summary.parquet"}) {
    const std::string file = (dir / "out" / name).string();
    expect_readers_agree(file);
    const std::string from = "(" + support::sql_string(file) + ")";
    EXPECT_EQ(support::duckdb_query("SELECT DISTINCT compression FROM parquet_metadata" + from),
              "[{\"compression\":\"ZSTD\"}]\n")
        << name;
    const bool steps = std::string(name).find("cycle") == std::string::npos;
    EXPECT_EQ(support::duckdb_query(
                  "SELECT decode(key) AS k, decode(value) AS v FROM parquet_kv_metadata" + from),
              std::string("[") +
                  (steps ? R"({"k":"event_historian.sensor_names","v":"[\"Left Knee.Angle\", )"
                           R"(\"hip-yaw (rad)\"]"},)"
                         : "") +
                  R"({"k":"event_historian.run_id","v":"r1"},)"
                  R"({"k":"event_historian.skill_name","v":"walk"},)"
                  R"({"k":"event_historian.version","v":")" HISTORIAN_VERSION "\"}]\n")
        << name;
  }
  EXPECT_EQ(parquet::FileReader::open((dir / "out" / "v2_event_historian_r1_walk.parquet").string())
                ->schema()
                .field(10)
                .name,
            "left_knee_angle");
}

TEST(ProgramFaults, SighupStopsLikeSigterm) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 200);
  Child child(walk_run(server, dir), dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  child.signal(SIGHUP);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 200);
}

TEST(ProgramFaults, AMissingFinalFileExitsThree) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 50);
  Child child(walk_run(server, dir), dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  // Something else took the final name while the run went on: the merge cannot publish it.
  const fs::path final_file = dir / "out" / "v2_event_historian_r1_walk.parquet";
  fs::create_directories(final_file / "occupied");
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 3) << child.err();
  EXPECT_NE(child.err().find("event-historian: error: 0 rows dropped; final files missing: " +
                             final_file.string()),
            std::string::npos)
      << child.err();
  // The rows are kept in their part for a later merge.
  EXPECT_EQ(support::sorted_entries(dir / "out" / "v2_event_historian_r1_walk.parquet.parts"),
            (std::vector<std::string>{"part-00000.parquet"}));
}

TEST(ProgramFaults, ClosedStderrPipeKeepsItRunning) {
  support::RedisServer server;
  support::TempDir dir;
  Child child({"run", "--redis-url", server.url(), "--input-topic", "steps", "--output-path",
               (dir / "out").string(), "--run-id", "r1", "--log-level", "debug"},
              dir, Stderr::kPipe);
  child.close_err_pipe();
  add_steps(server.url(), "steps", 0, 100);
  // Each one logs a warning into the closed pipe.
  for (int i = 0; i < 3; ++i)
    command(server.url(), {"XADD", "steps", "*", "data", "[1, 2]"});
  add_steps(server.url(), "steps", 100, 150);
  ASSERT_TRUE(consumed(server.url(), "steps"));
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0);
  expect_all_steps(dir / "out" / "v2_event_historian_r1.parquet", 150);
}

TEST(ProgramFaults, UsageErrorsExitTwoStartFailuresOne) {
  const struct {
    Args args;
    int want;
  } cases[] = {
      {{"run", "--no-such-option", "1"}, 2},
      {{"run", "--log-level", "info"}, 2},
      {{"run", "--total-cycles"}, 2},
      {{"run", "--total-cycles", "seven"}, 2},
      {{"frobnicate"}, 2},
      {{"run", "--compression", "lz4"}, 2},
      {{"run", "--compression-level", "3"}, 2}, // a level without zstd
      {{"run", "--compression", "zstd", "--compression-level", "23"}, 2},
      {{"run", "--redis-url", "redis://127.0.0.1:" + std::to_string(support::free_port())}, 1},
  };
  for (const auto &c : cases) {
    support::TempDir dir;
    Child child(c.args, dir);
    EXPECT_EQ(child.wait(std::chrono::seconds(20)), c.want) << c.args.back();
    const std::string err = child.err();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(ProgramFaults, NonFiniteStepsPerSecondPostsNull) {
  support::RedisServer server;
  support::HttpSink sink;
  support::TempDir dir;
  Child child({"run", "--redis-url", server.url(), "--input-topic", "steps", "--output-path",
               (dir / "out").string(), "--training-results-topic", "results", "--callback-url",
               sink.url(), "--job-id", "j1"},
              dir);
  const char *results[] = {R"({"type": "ppo_training_result", "steps_per_sec": NaN})",
                           R"({"type": "ppo_training_result", "steps_per_sec": -1e999})",
                           R"({"type": "ppo_training_result", "steps_per_sec": 1830.5})"};
  // The group is created at start-up, reading only what is added after it.
  ASSERT_TRUE(wait_until([&] { return group_field(server.url(), "results", "pending") == 0; },
                         std::chrono::seconds(30)))
      << child.err();
  // One at a time: a callback reports its cycle's state once the handler has returned, which a
  // result right behind it could already have changed.
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < std::size(results); ++i) {
    command(server.url(), {"XADD", "results", "*", "data", results[i]});
    const auto requests = sink.wait_for_requests(i + 1, std::chrono::seconds(30));
    ASSERT_EQ(requests.size(), i + 1) << child.err();
    rapidjson::Document doc;
    doc.Parse(requests[i].body.c_str()); // strict: no NaN or Infinity
    ASSERT_FALSE(doc.HasParseError()) << requests[i].body;
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("steps_per_sec")) << requests[i].body;
    const auto &sps = doc["steps_per_sec"];
    seen.push_back(sps.IsNull() ? "null" : sps.IsNumber() ? std::to_string(sps.GetDouble()) : "?");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"null", "null", "1830.500000"}));
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
}

TEST(ProgramFaults, ObservationOnlyStepsAreWrittenAtTheStop) {
  support::RedisServer server;
  support::TempDir dir;
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--training-results-topic", "steps"});
  Child child(args, dir);
  auto add = [&](int from, int to) {
    for (int n = from; n < to; ++n)
      command(server.url(),
              {"XADD", "steps", "*", "data",
               R"({"episode_id": "ep-0", "step_number": )" + std::to_string(n) +
                   R"(, "sim_data": {"result": {"observation": {"joint_0": 1.5}}}})"});
  };
  add(0, 20);
  // A training result cannot write rows whose action width is still unknown.
  command(server.url(), {"XADD", "steps", "*", "data", R"({"type": "ppo_training_result"})"});
  add(20, 30);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  const fs::path file = dir / "out" / "v2_event_historian_r1_walk.parquet";
  expect_all_steps(file, 30);
  auto reader = parquet::FileReader::open(file.string());
  EXPECT_EQ(reader->schema().size(), 10u + 1) << "one observation column, no action columns";
  const std::string err = child.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("WARNING"), std::string::npos) << err;
  EXPECT_NE(err.find("[EventHistorian] No step carried an action vector; writing 30 rows without "
                     "action columns\n"),
            std::string::npos)
      << err;
}

} // namespace
