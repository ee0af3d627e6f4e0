// End-to-end throughput and idle cost of the event-historian program against a redis-server
// or a Redis Cluster.
//
//   e2e_bench (--port PORT | --redis-url URL) --data DIR --program PATH [--n N] [--file F]
//             [--stream S] [--results-stream R] [--load-only] [--feed] [--idle-seconds T]
//             [--arg ARG]...
//
// Loads N benchmark payloads (fields data and timestamp) of DIR/F (default steps.jsonl, the
// file's lines over and over when N is larger) into stream S, then starts
// `PROGRAM run` with its default settings on that stream and reports the entries per second
// from its start until every entry is acknowledged, and the time its shutdown takes to write
// the final files. --load-only only fills the stream (for the other consumers of the run).
// --feed adds the entries while the program reads them instead, never more than kFeedAhead
// unread nor more than about kFeedAheadBytes of payload, and trims what it has read, so that
// Redis holds little of a very long run (the memory figure of a cycle of millions of steps, or
// of a few hundred wide steps cycled through).
// --idle-seconds measures the CPU use of an idle historian over that many seconds.
// Each --arg is passed on to `event-historian run` (e.g. --arg --durable). The figures include
// the historian's peak resident memory.
// --port names a redis-server on 127.0.0.1; --redis-url any URL the historian takes, which the
// bench loads through too (a redis+cluster:// URL routes each command to its slot's master).
// --results-stream R: the historian reads its training results from R (emptied first), in the
// same XREADGROUP as S; without it, it reads S alone. Under a cluster, S and R with one hash tag
// ({bench}:steps, {bench}:results) share a master. The group's progress is then polled on
// the stream's master directly, and the timed run waits until the master's replicas have
// applied the load, so that a replica catching up does not take the run's CPU.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "loop/loop.h"
#include "parquet/file_reader.h"
#include "redis/cluster.h"
#include "redis/connection.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

// The Redis of the run, as the historian is given it.
std::string g_url;
// Where the group's progress is asked: g_url, or under a cluster its stream's master.
std::string g_poll_url;

redis::Reply command(Args args, const std::string &url = g_url) {
  return loop::run([&]() -> asio::awaitable<redis::Reply> {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(url);
    auto c = co_await redis::Connection::connect(executor, endpoint);
    redis::Reply r = co_await c->command(std::move(args));
    c->close();
    co_return r;
  }());
}

void load(const std::string &stream, const std::string &path, std::size_t n) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::vector<std::string> lines;
  for (std::string line; lines.size() < n && std::getline(in, line);)
    lines.push_back(line);
  if (lines.empty())
    throw std::runtime_error("no steps in " + path);
  command({"DEL", stream});
  loop::run([&]() -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    const auto endpoint = redis::parse_url(g_url);
    auto c = co_await redis::Connection::connect(executor, endpoint);
    // More entries than the file has lines repeat its lines.
    for (std::size_t i = 0; i < n; ++i) {
      char ts[32];
      std::snprintf(ts, sizeof ts, "%.6f", 1733600000.0 + i * 0.01);
      c->send({"XADD", stream, "*", "data", lines[i % lines.size()], "timestamp", ts},
              [](std::exception_ptr, redis::Reply) {});
      if (i % 1000 == 999)
        co_await c->drain();
    }
    co_await c->drain();
    c->close();
  }());
}

struct GroupInfo {
  std::int64_t lag = -1, pending = -1;
  std::string last_delivered;
};

// The group's lag, pending count and last delivered id; -1 while the group does not exist
// (or Redis cannot tell the lag).
GroupInfo group_info(const std::string &stream, const std::string &group) {
  redis::Reply groups;
  try {
    groups = command({"XINFO", "GROUPS", stream}, g_poll_url);
  } catch (const std::exception &) {
    return {}; // no such stream yet
  }
  for (const auto &g : groups.elements) {
    GroupInfo info;
    std::string name;
    for (std::size_t i = 0; i + 1 < g.elements.size(); i += 2) {
      const std::string &key = g.elements[i].str;
      const redis::Reply &value = g.elements[i + 1];
      if (key == "name")
        name = value.str;
      else if (key == "lag" && value.type == redis::Reply::Type::kInteger)
        info.lag = value.integer;
      else if (key == "pending")
        info.pending = value.integer;
      else if (key == "last-delivered-id")
        info.last_delivered = value.str;
    }
    if (name == group)
      return info;
  }
  return {};
}

std::pair<std::int64_t, std::int64_t> progress(const std::string &stream,
                                               const std::string &group) {
  const GroupInfo info = group_info(stream, group);
  return {info.lag, info.pending};
}

// The redis:// URL of the master serving stream's slot: a fresh connection per progress poll
// then costs what it costs against a single server, with no slot map read each time.
std::string master_url(const std::string &stream) {
  return loop::run([&]() -> asio::awaitable<std::string> {
    const auto executor = co_await asio::this_coro::executor;
    auto c = co_await redis::Connection::connect(executor, redis::parse_url(g_url));
    const std::optional<redis::HostPort> master = c->cluster()->master_of(redis::key_slot(stream));
    c->close();
    if (!master)
      throw std::runtime_error("no master serves the slot of " + stream);
    co_return "redis://" + master->address();
  }());
}

// Waits until every replica of the polled server is online and has applied what it held when
// asked (their acknowledged offsets come about once a second). No replicas: at once.
void await_replicas() {
  const auto info = [] {
    const std::string text = command({"INFO", "replication"}, g_poll_url).str;
    std::int64_t offset = -1;
    std::vector<std::pair<std::string, std::int64_t>> replicas; // state, offset
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("master_repl_offset:", 0) == 0)
        offset = std::stoll(line.substr(19));
      if (line.rfind("slave", 0) != 0 || line.find(":ip=") == std::string::npos)
        continue;
      const std::size_t state = line.find("state="), at = line.find("offset=");
      if (state == std::string::npos || at == std::string::npos)
        continue;
      replicas.emplace_back(line.substr(state + 6, line.find(',', state) - state - 6),
                            std::stoll(line.substr(at + 7)));
    }
    return std::make_pair(offset, replicas);
  };
  const std::int64_t target = info().first;
  const auto t0 = Clock::now();
  for (;;) {
    const auto replicas = info().second;
    if (std::all_of(replicas.begin(), replicas.end(),
                    [target](const auto &r) { return r.first == "online" && r.second >= target; }))
      return;
    if (Clock::now() - t0 > std::chrono::seconds(120))
      throw std::runtime_error("the replicas of " + g_poll_url + " did not catch up in 120 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Throws once the program has exited (and reaps it): a refused option or a crash would leave
// the bench waiting for acknowledgements that never come.
void require_running(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == pid)
    throw std::runtime_error("the program exited (status " +
                             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) +
                             ") before every entry was acknowledged");
}

constexpr std::size_t kFeedAhead = 50'000;
constexpr std::size_t kFeedBatch = 5'000;
// Unread payload bytes the feed keeps in the stream at most: wide steps of 1 MB feed a few
// hundred entries ahead, not 50,000.
constexpr std::size_t kFeedAheadBytes = 256 << 20;

// Adds n entries (the file's lines, repeated) while the group reads them: a batch whenever
// fewer than kFeedAhead (or kFeedAheadBytes of payload) are unread, then the delivered ones are
// trimmed away.
void feed(const std::string &stream, const std::string &group, const std::string &path,
          std::size_t n, pid_t program) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::size_t bytes = 0;
  for (std::string line; lines.size() < 200'000 && std::getline(in, line);) {
    bytes += line.size();
    lines.push_back(line);
  }
  if (lines.empty())
    throw std::runtime_error("no steps in " + path);
  // 50,000 ahead in batches of 5,000 for the 3.3 kB payload; 1 MB steps 272 ahead, 27 a batch.
  const std::size_t ahead =
      std::clamp<std::size_t>(kFeedAheadBytes / (bytes / lines.size() + 1), 10, kFeedAhead);
  const std::size_t per_batch = std::max<std::size_t>(1, ahead / (kFeedAhead / kFeedBatch));
  loop::run([&]() -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    auto c = co_await redis::Connection::connect(executor, redis::parse_url(g_url));
    for (std::size_t i = 0; i < n;) {
      require_running(program);
      const GroupInfo info = group_info(stream, group);
      if (info.lag < 0 || static_cast<std::size_t>(info.lag) + per_batch > ahead) {
        co_await loop::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      for (const std::size_t end = std::min(n, i + per_batch); i < end; ++i) {
        char ts[32];
        std::snprintf(ts, sizeof ts, "%.6f", 1733600000.0 + i * 0.01);
        c->send({"XADD", stream, "*", "data", lines[i % lines.size()], "timestamp", ts},
                [](std::exception_ptr, redis::Reply) {});
      }
      if (!info.last_delivered.empty() && info.last_delivered != "0-0")
        c->send({"XTRIM", stream, "MINID", info.last_delivered},
                [](std::exception_ptr, redis::Reply) {});
      co_await c->drain();
    }
    c->close();
  }());
}

pid_t spawn(const Args &args) {
  std::vector<std::string> all = args;
  std::vector<char *> argv;
  for (auto &a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, all[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + all[0]);
  return pid;
}

double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i)
    fields >> skip; // state ... cmajflt
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

// The program's peak resident memory so far, in MiB (0 once it is gone).
double peak_rss_mb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0)
      return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  std::string port, url, data, file = "steps.jsonl", program, stream = "e2e.steps", results;
  std::size_t n = 200000;
  bool load_only = false, feeding = false;
  int idle_seconds = 0;
  Args extra;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--port")
      port = next();
    else if (a == "--redis-url")
      url = next();
    else if (a == "--data")
      data = next();
    else if (a == "--program")
      program = next();
    else if (a == "--n")
      n = std::stoul(next());
    else if (a == "--file")
      file = next();
    else if (a == "--stream")
      stream = next();
    else if (a == "--results-stream")
      results = next();
    else if (a == "--load-only")
      load_only = true;
    else if (a == "--feed")
      feeding = true;
    else if (a == "--idle-seconds")
      idle_seconds = std::stoi(next());
    else if (a == "--arg")
      extra.push_back(next());
  }
  g_url = url.empty() ? "redis://127.0.0.1:" + port : url;
  g_poll_url = redis::parse_url(g_url).uses_cluster() ? master_url(stream) : g_url;
  const fs::path out = fs::temp_directory_path() / ("e2e-bench-" + std::to_string(getpid()));
  if (idle_seconds > 0) {
    const std::string idle_stream = stream + ".idle";
    command({"DEL", idle_stream});
    pid_t pid = spawn({program, "run", "--redis-url", g_url, "--input-topic", idle_stream,
                       "--training-results-topic", "", "--output-path", out.string()});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double c0 = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const double c1 = cpu_seconds(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::printf("idle seconds=%d cpu_seconds=%.3f cpu_percent_of_one_core=%.2f\n", idle_seconds,
                c1 - c0, 100.0 * (c1 - c0) / idle_seconds);
    fs::remove_all(out);
    return 0;
  }
  if (feeding)
    command({"DEL", stream});
  else
    load(stream, data + "/" + file, n);
  if (load_only)
    return 0;
  if (!results.empty())
    command({"DEL", results});
  await_replicas();

  const auto t0 = Clock::now();
  Args run = {program,
              "run",
              "--redis-url",
              g_url,
              "--input-topic",
              stream,
              "--training-results-topic",
              results,
              "--consumer-group",
              "e2e-historian",
              "--output-path",
              out.string()};
  run.insert(run.end(), extra.begin(), extra.end());
  pid_t pid = spawn(run);
  try {
    if (feeding) {
      // The program makes the group (and the stream) as it starts.
      while (group_info(stream, "e2e-historian").pending < 0) {
        require_running(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      feed(stream, "e2e-historian", data + "/" + file, n, pid);
    }
    while (true) {
      auto [lag, pending] = progress(stream, "e2e-historian");
      if (lag == 0 && pending == 0)
        break;
      require_running(pid);
      if (Clock::now() - t0 > std::chrono::seconds(600))
        throw std::runtime_error("timed out");
      // Coarse polling: each poll is work for the same redis-server the historian is timed on.
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  } catch (const std::exception &e) {
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    fs::remove_all(out);
    std::fprintf(stderr, "e2e_bench: %s\n", e.what());
    return 1;
  }
  const double consume = std::chrono::duration<double>(Clock::now() - t0).count();
  // CPU time per entry is steadier than the rate on a shared machine.
  const double consume_cpu = cpu_seconds(pid);
  const auto t1 = Clock::now();
  kill(pid, SIGTERM);
  // The peak as the kernel counts it for the program's own memory (VmHWM; a child's ru_maxrss
  // would start from this process's), read until it exits.
  int status = 0;
  double peak_mb = 0;
  for (;;) {
    peak_mb = std::max(peak_mb, peak_rss_mb(pid));
    if (waitpid(pid, &status, WNOHANG) == pid)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double shutdown = std::chrono::duration<double>(Clock::now() - t1).count();
  std::int64_t rows = 0;
  // The step file: the one that is neither the cycle summary nor the episodes.
  for (const auto &e : fs::directory_iterator(out))
    if (e.path().extension() == ".parquet" &&
        e.path().filename().string().find("cycle_summary") == std::string::npos &&
        e.path().filename().string().find("_episodes") == std::string::npos)
      rows = parquet::FileReader::open(e.path().string())->num_rows();
  std::string args_text;
  for (const std::string &a : extra)
    args_text += " " + a;
  std::printf("historian_e2e%s n=%zu consume_seconds=%.3f entries_per_s=%.0f "
              "cpu_us_per_entry=%.2f shutdown_seconds=%.3f rows_written=%lld peak_rss_mb=%.1f "
              "exit=%d file=%s\n",
              args_text.c_str(), n, consume, n / consume, 1e6 * consume_cpu / n, shutdown,
              static_cast<long long>(rows), peak_mb, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              file.c_str());
  fs::remove_all(out);
  return 0;
}
