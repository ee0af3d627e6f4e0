#pragma once

// A durable run over two streams, as the crash suites drive it, and what they check it with.

#include "networking/remote_historian/v2/stats/column_stats.h"
#include "tests/end_to_end/program.h"

namespace end_to_end {

// A durable run over two streams: a skill start, cycles of steps whose episodes end every seven
// steps (so that some span a training result), each cycle closed by a training result once its
// steps were delivered, entries that cannot be processed, and after the last cycle the steps of
// an episode still open at the stop.
class DurableRun {
public:
  static constexpr int kCycles = 8;
  static constexpr int kStepsPerCycle = 120;
  static constexpr int kTrailingSteps = 5;

  DurableRun(const support::RedisServer &server, const support::TempDir &dir, std::string name)
      : _url(server.url()), _steps(name + "-steps"), _results(name + "-results"),
        _out(dir / (name + "-out")) {}

  // extra: more options; out: the output directory of this start, out() by default.
  Args args(const Args &extra = {}, const fs::path *out = nullptr) const {
    Args a = {"run",
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
    if (out)
      a[std::find(a.begin(), a.end(), "--output-path") - a.begin() + 1] = out->string();
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
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
      add_steps(c * kStepsPerCycle, kStepsPerCycle);
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
    add_steps(kCycles * kStepsPerCycle, kTrailingSteps);
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

  void add_steps(int first, int count) {
    loop::run([&]() -> asio::awaitable<void> {
      const auto executor = co_await asio::this_coro::executor;
      auto c = co_await redis::Connection::connect(executor, redis::parse_url(_url));
      for (int n = first; n < first + count; ++n) {
        const std::string data =
            R"({"episode_id": "ep-)" + std::to_string(n / 7) + R"(", "step_number": )" +
            std::to_string(n) + R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": )" +
            R"({"joint_0": )" + std::to_string(n * 0.5) + R"(, "joint_1": 1.5}, "terminated": )" +
            (n % 7 == 6 ? "true" : "false") +
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

// The statistics a final file's footer carries.
inline networking::remote_historian::v2::DatasetStats stats_of(const fs::path &file) {
  const auto stats = networking::remote_historian::v2::merged_stats_of({file.string()});
  if (!stats)
    throw std::runtime_error(file.string() + " carries no statistics");
  return *stats;
}

// Kills the child once its standard error shows a test pause at point, or after at most
// timeout. Returns whether the pause was seen.
inline bool kill_in(Child &child, const std::string &point, std::chrono::seconds timeout) {
  const bool seen = wait_until(
      [&] { return child.err().find("Test pause in " + point) != std::string::npos; }, timeout);
  child.signal(SIGKILL);
  child.wait(std::chrono::seconds(10));
  return seen;
}

// Both final files equal, cell by cell in every reader, but for the entry ids of each run's own
// stream.
inline void expect_same_files(const fs::path &want_file, const fs::path &got_file) {
  const auto readouts =
      support::read_files_with_all_readers({want_file.string(), got_file.string()});
  ASSERT_EQ(readouts.size(), 2u);
  for (std::size_t r = 0; r < readouts[0].readers.size(); ++r) {
    const support::ReaderResult &want = readouts[0].readers[r];
    const support::ReaderResult &got = readouts[1].readers[r];
    ASSERT_EQ(want.error, "") << want_file;
    ASSERT_EQ(got.error, "") << got_file;
    EXPECT_EQ(got.num_rows, want.num_rows) << got_file << " " << got.reader;
    ASSERT_EQ(got.columns.size(), want.columns.size()) << got_file;
    for (std::size_t c = 0; c < want.columns.size(); ++c)
      EXPECT_TRUE(want.columns[c].name == "entry_id" ||
                  got.columns[c].cells == want.columns[c].cells)
          << got_file << " " << got.reader << " " << want.columns[c].name;
  }
}

} // namespace end_to_end
