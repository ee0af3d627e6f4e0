#pragma once

// The event-historian program as users run it, for the tests that run it: a child process, a
// real redis-server, signals, and the files read back by the independent readers.

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
#include <map>
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

namespace end_to_end {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

inline const std::string kProgram =
    std::string(HISTORIAN_BINARY_DIR) + "/tools/historian_host/event-historian";

inline std::string slurp(const fs::path &p) {
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

// A server as the helpers below reach it: by URL, or by an endpoint with TLS options.
struct Server {
  Server(const std::string &url) : endpoint(redis::parse_url(url)) {}
  Server(redis::Endpoint e) : endpoint(std::move(e)) {}
  redis::Endpoint endpoint;
};

// Commands against a server from the test thread.
inline redis::Reply command(const Server &server, Args args) {
  return loop::run([&]() -> asio::awaitable<redis::Reply> {
    const auto executor = co_await asio::this_coro::executor;
    auto c = co_await redis::Connection::connect(executor, server.endpoint);
    redis::Reply r = co_await c->command(std::move(args));
    c->close();
    co_return r;
  }());
}

// The integer fields of the stream's first group, from one XINFO GROUPS; empty when unreadable.
// Fields that must agree with each other (read and pending) are taken from one answer. A field
// Redis cannot tell (lag and entries-read are nil for a while after a failover) is left out.
inline std::map<std::string, std::int64_t> group_fields(const Server &server,
                                                        const std::string &stream) {
  std::map<std::string, std::int64_t> fields;
  redis::Reply groups;
  try {
    groups = command(server, {"XINFO", "GROUPS", stream});
  } catch (const std::exception &) {
    return fields;
  }
  if (groups.elements.empty())
    return fields;
  const auto &g = groups.elements[0].elements;
  for (std::size_t i = 0; i + 1 < g.size(); i += 2) {
    if (g[i + 1].type == redis::Reply::Type::kInteger)
      fields[g[i].str] = g[i + 1].integer;
  }
  return fields;
}

// One integer field of the stream's first group; -1 when unreadable or unknown.
inline std::int64_t group_field(const Server &server, const std::string &stream,
                                const std::string &field) {
  const auto fields = group_fields(server, stream);
  const auto it = fields.find(field);
  return it == fields.end() ? -1 : it->second;
}

// The group's last delivered id on the stream; "" when it cannot be read.
inline std::string last_delivered_id(const Server &server, const std::string &stream) {
  try {
    const redis::Reply groups = command(server, {"XINFO", "GROUPS", stream});
    const auto &g = groups.elements.at(0).elements;
    for (std::size_t i = 0; i + 1 < g.size(); i += 2)
      if (g[i].str == "last-delivered-id")
        return g[i + 1].str;
  } catch (const std::exception &) {
  }
  return std::string();
}

inline bool wait_until(const std::function<bool()> &done, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

inline std::string step_data(int n, int sensors = 4) {
  std::string obs;
  for (int k = 0; k < sensors; ++k)
    obs += (k ? ", " : "") + std::string("\"joint_") + std::to_string(k) +
           "\": " + std::to_string(n * 0.5 + k);
  return R"({"episode_id": "ep-)" + std::to_string(n / 10) + R"(", "step_number": )" +
         std::to_string(n) + R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": {)" +
         obs + R"(}}}, "skill_data": {"action": [0.5, -0.5], "teacher_reward": 0.25}})";
}

inline void add_steps(const Server &server, const std::string &stream, int from, int to,
                      int sensors = 4) {
  loop::run([&]() -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    auto c = co_await redis::Connection::connect(executor, server.endpoint);
    for (int n = from; n < to; ++n)
      c->send({"XADD", stream, "*", "data", step_data(n, sensors), "timestamp",
               std::to_string(1000 + n)},
              [](const std::exception_ptr &, const redis::Reply &) {});
    co_await c->drain();
    c->close();
  }());
}

inline void expect_readers_agree(const std::string &path) {
  auto reader = parquet::FileReader::open(path);
  const auto readouts = support::read_files_with_all_readers({path});
  EXPECT_EQ(support::mismatches(readouts.at(0),
                                support::expected_columns(reader->schema(), reader->read_all())),
            "");
}

// True once every entry of the stream was delivered to the group and acknowledged.
inline bool consumed(const Server &server, const std::string &stream) {
  return wait_until(
      [&] {
        return group_field(server, stream, "lag") == 0 &&
               group_field(server, stream, "pending") == 0;
      },
      std::chrono::seconds(30));
}

// The step file holds rows from .. to-1 in order, and the independent readers agree with it.
inline void expect_steps(const fs::path &file, std::int64_t from, std::int64_t to) {
  auto reader = parquet::FileReader::open(file.string());
  ASSERT_EQ(reader->num_rows(), to - from);
  auto t = reader->read_all();
  for (std::int64_t i = from; i < to; ++i)
    EXPECT_EQ(t.columns[3].ints[i - from], i);
  expect_readers_agree(file.string());
}

inline void expect_all_steps(const fs::path &file, std::int64_t n) { expect_steps(file, 0, n); }

// A run of skill "walk" reading the stream "steps" into dir/out, from the Redis that `redis`
// names ({"--redis-url", URL} or {"--redis-url-file", PATH}).
inline Args walk_run(Args redis, const support::TempDir &dir) {
  Args args = {"run"};
  args.insert(args.end(), redis.begin(), redis.end());
  args.insert(args.end(), {"--input-topic", "steps", "--output-path", (dir / "out").string(),
                           "--run-id", "r1", "--skill-name", "walk"});
  return args;
}

inline Args walk_run(const support::RedisServer &server, const support::TempDir &dir) {
  return walk_run(Args{"--redis-url", server.url()}, dir);
}

} // namespace end_to_end
