// The event-historian program as users run it: a child process, a real redis-server, signals,
// and the files read back by the independent readers.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
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
#include "tests/support/silent_listener.h"
#include "tests/support/small_tmpfs.h"
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
  pid_t pid() const { return _pid; }
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
        "--callback-url", "--job-id", "--run-id", "--log-level"})
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

// The step file holds rows from .. to-1 in order, and the independent readers agree with it.
void expect_steps(const fs::path &file, std::int64_t from, std::int64_t to) {
  auto reader = parquet::FileReader::open(file.string());
  ASSERT_EQ(reader->num_rows(), to - from);
  auto t = reader->read_all();
  for (std::int64_t i = from; i < to; ++i)
    EXPECT_EQ(t.columns[3].ints[i - from], i);
  expect_readers_agree(file.string());
}

void expect_all_steps(const fs::path &file, std::int64_t n) { expect_steps(file, 0, n); }

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

TEST(Program, BufferBoundWritesEarlyPartsAndTheSameFinalFile) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 250);
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--max-buffered-rows", "100"});
  Child child(args, dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  // No training result came, yet two full buffers are on disk already.
  const fs::path parts = dir / "out" / "v2_event_historian_r1_walk.parquet.parts";
  ASSERT_EQ(support::sorted_entries(parts),
            (std::vector<std::string>{"part-00000.parquet", "part-00001.parquet"}));
  EXPECT_EQ(parquet::FileReader::open((parts / "part-00001.parquet").string())->num_rows(), 100);
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 250);
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

// A durable run over two streams: a skill start, cycles of steps whose episodes end every ten
// steps, each cycle closed by a training result once its steps were delivered, and entries
// that cannot be processed.
class DurableRun {
public:
  static constexpr int kCycles = 8;
  static constexpr int kStepsPerCycle = 120;

  DurableRun(const support::RedisServer &server, const support::TempDir &dir, std::string name)
      : _url(server.url()), _steps(name + "-steps"), _results(name + "-results"),
        _out(dir / (name + "-out")) {}

  Args args() const {
    return {"run",
            "--redis-url",
            _url,
            "--input-topic",
            _steps,
            "--training-results-topic",
            _results,
            "--output-path",
            _out.string(),
            "--run-id",
            "r1",
            "--durable",
            "--flush-interval",
            "0.05",
            "--log-level",
            "debug",
            "--callback-url",
            _jobs.url(),
            "--job-id",
            "j"};
  }
  // The iterations of the cycle-metrics reports, in the order they came.
  std::vector<int> reported() const {
    std::vector<int> iterations;
    for (const auto &request : _jobs.requests()) {
      rapidjson::Document doc;
      doc.Parse(request.body.c_str());
      iterations.push_back(doc.IsObject() && doc.HasMember("iteration") ? doc["iteration"].GetInt()
                                                                        : -1);
    }
    return iterations;
  }
  const fs::path &out() const { return _out; }

  // Publishes every cycle; each training result goes out once a historian has taken in the
  // steps before it, as a trainer's would. Returns false when that did not happen in time.
  bool publish() {
    command(_url,
            {"XADD", _steps, "*", "data",
             R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": 8})"});
    for (int c = 0; c < kCycles; ++c) {
      add_cycle_steps(c);
      if (c % 3 == 1)
        command(_url, {"XADD", _steps, "*", "data", "{not json"});
      if (!wait_until([&] { return group_field(_url, _steps, "lag") == 0; },
                      std::chrono::seconds(120)))
        return false;
      command(_url, {"XADD", _results, "*", "data",
                     R"({"type": "ppo_training_result", "steps_per_sec": )" +
                         std::to_string(100 + c) + "}"});
      if (!wait_until([&] { return group_field(_url, _results, "lag") == 0; },
                      std::chrono::seconds(120)))
        return false;
    }
    return true;
  }

  // Every entry was handled and acknowledged, but for the ones that cannot be processed.
  bool settled() const {
    return wait_until(
        [&] {
          return group_field(_url, _steps, "pending") == kBadEntries &&
                 group_field(_url, _results, "pending") == 0 &&
                 group_field(_url, _steps, "lag") == 0;
        },
        std::chrono::seconds(120));
  }

private:
  static constexpr int kBadEntries = 3; // cycles 1, 4 and 7

  void add_cycle_steps(int cycle) {
    loop::run([&]() -> asio::awaitable<void> {
      const auto executor = co_await asio::this_coro::executor;
      auto c = co_await redis::Connection::connect(executor, redis::parse_url(_url));
      for (int i = 0; i < kStepsPerCycle; ++i) {
        const int n = cycle * kStepsPerCycle + i;
        const std::string data =
            R"({"episode_id": "ep-)" + std::to_string(n / 10) + R"(", "step_number": )" +
            std::to_string(n) + R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": )" +
            R"({"joint_0": )" + std::to_string(n * 0.5) + R"(, "joint_1": 1.5}, "terminated": )" +
            (n % 10 == 9 ? "true" : "false") +
            R"(}}, "skill_data": {"action": [0.5, -0.5], "teacher_reward": )" +
            std::to_string((n % 7) * 0.125) + "}}";
        c->send({"XADD", _steps, "*", "data", data, "timestamp", std::to_string(1000 + n)},
                [](const std::exception_ptr &, const redis::Reply &) {});
      }
      co_await c->drain();
      c->close();
    }());
  }

  std::string _url, _steps, _results;
  fs::path _out;
  support::HttpSink _jobs;
};

// Kills the child once its standard error shows a test pause at point, or after at most
// timeout. Returns whether the pause was seen.
bool kill_in(Child &child, const std::string &point, std::chrono::seconds timeout) {
  const bool seen = wait_until(
      [&] { return child.err().find("Test pause in " + point) != std::string::npos; }, timeout);
  child.signal(SIGKILL);
  child.wait(std::chrono::seconds(10));
  return seen;
}

TEST(Durable, KillsAtAnyInstantNeitherLoseNorRepeatRows) {
  support::RedisServer server;
  support::TempDir dir;

  DurableRun reference(server, dir, "reference");
  {
    Child child(reference.args(), dir);
    ASSERT_TRUE(reference.publish()) << child.err();
    ASSERT_TRUE(reference.settled()) << child.err();
    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  }

  // Every write pauses, and the kills land in the pauses or anywhere in between.
  setenv("HISTORIAN_TEST_PAUSE_MS", "100", 1);
  DurableRun crashed(server, dir, "crashed");
  std::thread producer([&] { EXPECT_TRUE(crashed.publish()); });
  std::mt19937 random(7);
  int kills = 0;
  bool in_flush = false, in_checkpoint = false;
  for (; kills < 24; ++kills) {
    support::TempDir logs;
    Child child(crashed.args(), logs);
    switch (kills % 3) {
    case 0:
      std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
      child.signal(SIGKILL);
      child.wait(std::chrono::seconds(10));
      break;
    case 1:
      in_flush = kill_in(child, "flush", std::chrono::seconds(5)) || in_flush;
      break;
    case 2:
      in_checkpoint = kill_in(child, "checkpoint", std::chrono::seconds(5)) || in_checkpoint;
      break;
    }
  }
  {
    Child child(crashed.args(), dir);
    producer.join();
    ASSERT_TRUE(crashed.settled()) << child.err();
    child.signal(SIGTERM);
    EXPECT_TRUE(kill_in(child, "compaction", std::chrono::seconds(30))) << child.err();
  }
  unsetenv("HISTORIAN_TEST_PAUSE_MS");
  EXPECT_TRUE(in_flush);
  EXPECT_TRUE(in_checkpoint);
  {
    // It finishes the merge that was killed, and nothing else is left to do.
    Child child(crashed.args(), dir);
    ASSERT_TRUE(wait_until(
        [&] { return child.err().find("Started event processing") != std::string::npos; },
        std::chrono::seconds(30)))
        << child.err();
    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  }

  for (const char *name :
       {"v2_event_historian_r1.parquet", "v2_event_historian_r1_cycle_summary.parquet"}) {
    const auto readouts = support::read_files_with_all_readers(
        {(reference.out() / name).string(), (crashed.out() / name).string()});
    ASSERT_EQ(readouts.size(), 2u);
    for (std::size_t r = 0; r < readouts[0].readers.size(); ++r) {
      const support::ReaderResult &want = readouts[0].readers[r];
      const support::ReaderResult &got = readouts[1].readers[r];
      ASSERT_EQ(want.error, "") << name;
      ASSERT_EQ(got.error, "") << name;
      EXPECT_EQ(got.num_rows, want.num_rows) << name << " " << got.reader;
      ASSERT_EQ(got.columns.size(), want.columns.size()) << name;
      for (std::size_t c = 0; c < want.columns.size(); ++c)
        EXPECT_TRUE(got.columns[c].cells == want.columns[c].cells)
            << name << " " << got.reader << " " << want.columns[c].name;
    }
  }
  EXPECT_EQ(parquet::FileReader::open((reference.out() / "v2_event_historian_r1.parquet").string())
                ->num_rows(),
            DurableRun::kCycles * DurableRun::kStepsPerCycle);
  // Each cycle is reported at most once, in order; a crash may lose a report, never repeat it.
  EXPECT_EQ(reference.reported(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  const std::vector<int> crashed_reports = crashed.reported();
  EXPECT_TRUE(std::is_sorted(crashed_reports.begin(), crashed_reports.end()) &&
              std::adjacent_find(crashed_reports.begin(), crashed_reports.end()) ==
                  crashed_reports.end())
      << ::testing::PrintToString(crashed_reports);
  EXPECT_GE(crashed_reports.size(), 1u);
}

TEST(Durable, AFullDiskLosesNothingAndHoldsReadingAtTheBound) {
  support::RedisServer server;
  support::TempDir dir;
  support::SmallTmpfs disk(dir / "disk", "2m");
  if (!disk.mounted)
    GTEST_SKIP() << "mounting a 2 MiB tmpfs needs root or CAP_SYS_ADMIN: " << disk.error;
  Args args = walk_run(server, dir);
  args[6] = (disk.path / "out").string(); // the value of --output-path
  args.insert(args.end(), {"--durable", "--max-buffered-rows", "200", "--flush-interval", "0.05",
                           "--log-level", "debug"});
  Child child(args, dir);
  ASSERT_TRUE(
      wait_until([&] { return child.err().find("Started event processing") != std::string::npos; },
                 std::chrono::seconds(30)))
      << child.err();
  // Leaves about 16 KiB: a part or two.
  const fs::path filler = disk.path / "filler";
  {
    const std::uintmax_t free = fs::space(disk.path).available;
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'x');
    for (std::uintmax_t n = 0; n + 16384 < free; n += block.size())
      out << block;
  }
  add_steps(server.url(), "steps", 0, 2000, 16);
  ASSERT_TRUE(
      wait_until([&] { return child.err().find("failed; retrying in") != std::string::npos; },
                 std::chrono::seconds(60)))
      << child.err();
  // Reading waits at the bound: no more than a buffer and a read are unacknowledged.
  for (int i = 0; i < 10; ++i) {
    const std::int64_t pending = group_field(server.url(), "steps", "pending");
    EXPECT_GT(pending, 0);
    EXPECT_LE(pending, 200 + 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GT(group_field(server.url(), "steps", "lag"), 0);
  fs::remove(filler);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(90)))
      << child.err();
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(disk.path / "out" / "v2_event_historian_r1_walk.parquet", 2000);
}

TEST(ProgramFaults, HungJobServiceDelaysNeitherIntakeNorStop) {
  support::RedisServer server;
  support::SilentListener jobs;
  support::TempDir dir;
  Args args = walk_run(server, dir);
  const Args callbacks = {"--callback-url", jobs.url(), "--job-id", "j1"};
  args.insert(args.end(), callbacks.begin(), callbacks.end());
  Child child(args, dir);
  const auto close_cycle = [&] {
    command(server.url(), {"XADD", "steps", "*", "data", R"({"type": "ppo_training_result"})"});
  };
  for (int cycle = 0; cycle < 3; ++cycle) {
    add_steps(server.url(), "steps", cycle * 20, cycle * 20 + 20);
    close_cycle();
  }
  ASSERT_TRUE(wait_until(
      [&] {
        const auto held = jobs.connections();
        return !held.empty() && held[0].received.find("\r\n\r\n") != std::string::npos;
      },
      std::chrono::seconds(30)))
      << child.err();
  add_steps(server.url(), "steps", 60, 80);
  close_cycle();
  const fs::path out = dir / "out";
  const std::vector<std::string> parts = {"part-00000.parquet", "part-00001.parquet",
                                          "part-00002.parquet", "part-00003.parquet"};
  ASSERT_TRUE(wait_until(
      [&] {
        return support::sorted_entries(out / "v2_event_historian_r1_walk.parquet.parts") == parts &&
               support::sorted_entries(
                   out / "v2_event_historian_r1_walk_cycle_summary.parquet.parts") == parts;
      },
      std::chrono::seconds(30)))
      << child.err();
  // Every cycle was written while the first report still hangs, the others queued behind it.
  auto held = jobs.connections();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_FALSE(held[0].closed);
  // The stop gives the reports 5 s in all: the first ends, the second gets what is left.
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(10)), 0) << child.err();
  held = jobs.connections();
  EXPECT_EQ(held.size(), 2u);
  EXPECT_NE(child.err().find("[EventHistorian] 2 cycle metrics callbacks dropped: not sent "
                             "within 5 s of the stop"),
            std::string::npos)
      << child.err();
  expect_all_steps(out / "v2_event_historian_r1_walk.parquet", 80);
}

// Whether a connection to port on 127.0.0.1 is established (the kernel completes it for a
// stopped server).
bool connected_to(std::uint16_t port) {
  char peer[16];
  std::snprintf(peer, sizeof peer, "0100007F:%04X", port);
  std::ifstream tcp("/proc/net/tcp");
  std::string line, slot, local, remote, state;
  while (std::getline(tcp, line)) {
    std::istringstream(line) >> slot >> local >> remote >> state;
    if (remote == peer && state == "01")
      return true;
  }
  return false;
}

const std::string kBase = "v2_event_historian_r1_walk";

TEST(ProgramNames, ASecondInstanceOnTheSameNamesWritesNothing) {
  support::RedisServer server;
  support::TempDir dir, logs;
  const fs::path out = dir / "out";
  add_steps(server.url(), "steps", 0, 100);
  Child first(walk_run(server, dir), dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << first.err();
  const auto before = support::sorted_entries(out);
  Child second(walk_run(server, dir), logs);
  EXPECT_EQ(second.wait(std::chrono::seconds(20)), 1);
  EXPECT_EQ(second.err(), "event-historian: error: another historian is writing " + kBase + " in " +
                              out.string() + " (it holds " + out.string() + "/." + kBase +
                              ".lock)\n");
  EXPECT_EQ(support::sorted_entries(out), before);
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(std::chrono::seconds(60)), 0) << first.err();
  expect_all_steps(out / (kBase + ".parquet"), 100);
}

TEST(ProgramNames, TwoStartsWithinOneSecondGetDistinctNames) {
  // Each run waits in its start-up probe of a stopped server (database 1: the probe selects
  // it) until the test lets it go, right after a second begins.
  support::RedisServer servers[2];
  support::TempDir dir, logs[2];
  const fs::path out = dir / "out";
  fs::create_directories(out);
  std::ofstream(out / (kBase + ".parquet")) << "an earlier run";
  std::vector<std::unique_ptr<Child>> runs;
  for (int i = 0; i < 2; ++i) {
    add_steps(servers[i].url() + "/1", "steps", 10 * i, 10 * i + 10);
    kill(servers[i].pid(), SIGSTOP);
    Args args = walk_run(servers[i], dir);
    args[2] += "/1";
    runs.push_back(std::make_unique<Child>(args, logs[i]));
  }
  ASSERT_TRUE(
      wait_until([&] { return connected_to(servers[0].port()) && connected_to(servers[1].port()); },
                 std::chrono::seconds(30)));
  for (const std::time_t now = std::time(nullptr); std::time(nullptr) == now;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::time_t first_start = std::time(nullptr);
  std::time_t second_start = 0; // by when the second run had started
  for (int i = 0; i < 2; ++i) {
    kill(servers[i].pid(), SIGCONT);
    ASSERT_TRUE(consumed(servers[i].url() + "/1", "steps")) << runs[i]->err();
    second_start = std::time(nullptr);
    runs[i]->signal(SIGTERM);
    EXPECT_EQ(runs[i]->wait(std::chrono::seconds(60)), 0) << runs[i]->err();
  }
  EXPECT_EQ(slurp(out / (kBase + ".parquet")), "an earlier run");
  const auto files = support::sorted_entries(out);
  ASSERT_EQ(files.size(), 3u);
  expect_steps(out / files[1], 0, 10);
  expect_steps(out / files[2], 10, 20);
  if (second_start != first_start)
    GTEST_SKIP() << "the two starts took more than a second here, so the names did not collide";
  EXPECT_EQ(files[2], kBase + "_" + std::to_string(first_start) + "_2.parquet");
}

TEST(ProgramNames, AKilledRunsPartsAreNamedAndCompacted) {
  support::RedisServer server;
  support::TempDir dir, logs;
  const fs::path out = dir / "out";
  fs::create_directories(out);
  std::ofstream(out / (kBase + ".parquet")) << "an earlier run"; // the next run gets a stamp
  add_steps(server.url(), "steps", 0, 50);
  command(server.url(), {"XADD", "steps", "*", "data", R"({"type": "ppo_training_result"})"});
  Child killed(walk_run(server, dir), dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << killed.err(); // flushed before acknowledged
  // A merge of this base cut short, and one of another base.
  const std::string tail = ".merge-" + std::to_string(killed.pid()) + "-7";
  killed.signal(SIGKILL);
  EXPECT_EQ(killed.wait(std::chrono::seconds(20)), 128 + SIGKILL);
  for (const std::string &base : {kBase, std::string("v2_event_historian_r2_walk")})
    std::ofstream(out / ("." + base + ".parquet" + tail)) << "PAR1";
  const auto entries = support::sorted_entries(out);
  // Lock, two temporaries, the plain file, the killed run's stamped step parts and cycle parts.
  ASSERT_EQ(entries.size(), 6u);
  const fs::path parts = out / entries[4];
  ASSERT_TRUE(entries[4].starts_with(kBase + "_1") && entries[4].ends_with(".parquet.parts"))
      << entries[4];

  Child next(walk_run(server, dir), logs);
  ASSERT_TRUE(wait_until([&] { return !next.err().empty(); }, std::chrono::seconds(30)));
  EXPECT_NE(next.err().find("WARNING networking.remote_historian.v2.event_historian_processor: "
                            "[EventHistorian] Parts of earlier runs were never merged: " +
                            parts.string() +
                            "; merge each into its final file with: event-historian compact "
                            "PARTS_DIR\n"),
            std::string::npos)
      << next.err();
  EXPECT_FALSE(fs::exists(out / ("." + kBase + ".parquet" + tail)));
  EXPECT_TRUE(fs::exists(out / (".v2_event_historian_r2_walk.parquet" + tail)));
  next.signal(SIGTERM);
  EXPECT_EQ(next.wait(std::chrono::seconds(60)), 0) << next.err();
  const std::string err = next.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

  const fs::path merged = out / parts.stem();
  const fs::path bad = dir / "bad.parquet.parts";
  fs::create_directories(bad);
  std::ofstream(bad / "part-00000.parquet") << "not parquet";
  const std::pair<Args, int> runs[] = {
      {{"compact", parts.string()}, 0},
      {{"compact", merged.string()}, 2},                       // no ".parts", no OUTPUT_FILE
      {{"compact", (dir / "none.parquet.parts").string()}, 1}, // not a directory
      {{"compact", out.string(), merged.string()}, 1},         // would replace a file
      {{"compact", bad.string()}, 3},                          // its one part set aside
  };
  for (const auto &[args, want] : runs) {
    support::TempDir compact_logs;
    Child compact(args, compact_logs);
    EXPECT_EQ(compact.wait(std::chrono::seconds(60)), want) << args.back() << compact.err();
    if (want == 0)
      EXPECT_EQ(compact.out(), merged.string() + "\n");
    else
      EXPECT_NE(compact.err().find("event-historian: error: "), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(parts));
  expect_all_steps(merged, 50);
}

} // namespace
