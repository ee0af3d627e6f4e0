// The program against a Redis Cluster while 50,000 steps and their training results flow on
// streams in different slots: a failover, the master killed, the step stream's slot moved by a
// reshard, and a migration held open by hand (ASK). The historian never exits; at the stop its
// files hold every step the cluster holds (once in the durable mode, at least once in the
// default mode) and the cycles of an uninterrupted run.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "redis/cluster.h"
#include "redis/error.h"
#include "tests/end_to_end/program.h"
#include "tests/support/cluster_rig.h"

namespace end_to_end {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCycles = 10;
constexpr int kStepsPerCycle = 5000;
constexpr int kSteps = kCycles * kStepsPerCycle;

// Publishes a skill start, then each cycle's steps and, once the historian has taken them in,
// its training result, as a trainer does. Every entry gets its id from one counter, so that
// every run holds the same entries under the same ids, and a write that failed is sent again
// with its id until the stream has it.
class Trainer {
public:
  Trainer(std::string url, std::string steps, std::string results)
      : _url(std::move(url)), _steps(std::move(steps)), _results(std::move(results)) {}

  bool publish() {
    return loop::run([&]() -> asio::awaitable<bool> {
      auto c = co_await redis::Connection::connect(co_await asio::this_coro::executor,
                                                   redis::parse_url(_url), 2s);
      co_await add(*c, _steps,
                   R"({"type": "skill_training_started", "skill_name": "walk", "total_cycles": )" +
                       std::to_string(kCycles) + "}");
      bool ok = true;
      for (int cycle = 0; cycle < kCycles && ok; ++cycle) {
        for (int n = cycle * kStepsPerCycle; n < (cycle + 1) * kStepsPerCycle; ++n) {
          co_await add(*c, _steps, step(n), std::to_string(1000 + n));
          ++produced;
        }
        ok = ok && co_await taken_in(*c, _steps);
        co_await add(*c, _results,
                     R"({"type": "ppo_training_result", "steps_per_sec": )" +
                         std::to_string(100 + cycle) + "}");
        ok = ok && co_await taken_in(*c, _results);
      }
      c->close();
      co_return ok;
    }());
  }

  std::atomic<int> produced{0};
  // Set to give up: publish() returns false soon.
  std::atomic<bool> abandon{false};

private:
  static std::string step(int n) {
    return R"({"episode_id": "ep-)" + std::to_string(n / 7) + R"(", "step_number": )" +
           std::to_string(n) + R"(, "sim_data": {"sim_id": "sim-1", "result": {"observation": )" +
           R"({"joint_0": )" + std::to_string(n * 0.5) + R"(, "joint_1": 1.5}, "terminated": )" +
           (n % 7 == 6 ? "true" : "false") +
           R"(}}, "skill_data": {"action": [0.5, -0.5], "teacher_reward": )" +
           std::to_string((n % 7) * 0.125) + "}}";
  }

  asio::awaitable<void> add(redis::Connection &c, const std::string &stream, std::string data,
                            std::string timestamp = "") {
    const std::string id = std::to_string(++_last_id) + "-0";
    std::vector<std::string> args = {"XADD", stream, id, "data", std::move(data)};
    if (!timestamp.empty())
      args.insert(args.end(), {"timestamp", timestamp});
    while (!abandon) {
      try {
        co_await c.command(args);
        co_return;
      } catch (const redis::ResponseError &e) {
        // An earlier attempt was written after all.
        if (std::strstr(e.what(), "equal or smaller") != nullptr)
          co_return;
      } catch (const std::exception &) {
      }
      co_await loop::sleep_for(10ms);
    }
  }

  // Waits until the group has read and acknowledged every entry of the stream.
  asio::awaitable<bool> taken_in(redis::Connection &c, const std::string &stream) {
    const auto deadline = Clock::now() + 120s;
    while (Clock::now() < deadline && !abandon) {
      try {
        const redis::Reply groups = co_await c.command("XINFO", "GROUPS", stream);
        std::int64_t lag = -1, pending = -1;
        for (const redis::Reply &g : groups.elements) {
          for (std::size_t i = 0; i + 1 < g.elements.size(); i += 2) {
            if (g.elements[i].str == "lag")
              lag = g.elements[i + 1].type == redis::Reply::Type::kInteger
                        ? g.elements[i + 1].integer
                        : -1;
            if (g.elements[i].str == "pending")
              pending = g.elements[i + 1].integer;
          }
        }
        if (lag == 0 && pending == 0)
          co_return true;
      } catch (const std::exception &) {
      }
      co_await loop::sleep_for(10ms);
    }
    co_return false;
  }

  std::string _url, _steps, _results;
  std::int64_t _last_id = 0;
};

Args run_args(const std::string &url, const std::string &steps, const std::string &results,
              const fs::path &out, bool durable) {
  Args args = {
      "run",    "--redis-url",   url,          "--input-topic", steps, "--training-results-topic",
      results,  "--output-path", out.string(), "--run-id",      "r1",  "--log-level",
      "warning"};
  if (durable)
    args.insert(args.end(), {"--durable", "--flush-interval", "0.5"});
  return args;
}

const char *const kStepFile = "v2_event_historian_r1.parquet";
const char *const kCycleFile = "v2_event_historian_r1_cycle_summary.parquet";

// The same cells, NaN equal to NaN.
bool same_cells(const parquet::Column &a, const parquet::Column &b) {
  if (a.valid != b.valid || a.strings != b.strings || a.ints != b.ints || a.bools != b.bools ||
      a.doubles.size() != b.doubles.size())
    return false;
  for (std::size_t i = 0; i < a.doubles.size(); ++i) {
    if (!(a.doubles[i] == b.doubles[i] || (std::isnan(a.doubles[i]) && std::isnan(b.doubles[i]))))
      return false;
  }
  return true;
}

// The columns of a file that differ from the reference's ("" when none).
std::string differences(const fs::path &got, const fs::path &want) {
  auto g = parquet::FileReader::open(got.string());
  auto w = parquet::FileReader::open(want.string());
  if (!(g->schema() == w->schema()))
    return "schema: " + g->schema().first_difference(w->schema());
  const parquet::Table gt = g->read_all();
  const parquet::Table wt = w->read_all();
  std::string differ;
  for (std::size_t c = 0; c < wt.columns.size(); ++c) {
    if (!same_cells(gt.columns[c], wt.columns[c]))
      differ += " " + w->schema().field(c).name;
  }
  return differ;
}

// The step numbers a step file holds, with their counts.
std::map<std::int64_t, int> steps_in(const fs::path &file) {
  auto reader = parquet::FileReader::open(file.string());
  const std::size_t column = *reader->schema().index_of("step_number");
  std::map<std::int64_t, int> counts;
  const parquet::Table table = reader->read_all();
  for (std::int64_t n : table.columns[column].ints)
    ++counts[n];
  return counts;
}

// The step numbers the stream holds.
std::map<std::int64_t, int> steps_held(const std::string &url, const std::string &stream) {
  std::map<std::int64_t, int> held;
  const std::regex number(R"("step_number": (\d+))");
  for (const redis::Reply &entry : command(url, {"XRANGE", stream, "-", "+"}).elements) {
    const auto &fields = entry.elements[1].elements;
    std::smatch m;
    if (fields.size() >= 2 && std::regex_search(fields[1].str, m, number))
      ++held[std::stoll(m[1])];
  }
  return held;
}

enum class Fault { kFailover, kKill, kReshard, kAsk };
const char *const kFaultNames[] = {"Failover", "Kill", "Reshard", "Ask"};

struct Case {
  Fault fault;
  bool durable;
};

class ClusterRun : public ::testing::TestWithParam<Case> {
protected:
  // Once the historian has made its group on the results stream: results go out after that.
  static bool group_made(const std::string &url) {
    return wait_until(
        [&] {
          try {
            return !command(url, {"XINFO", "GROUPS", kResultStream}).elements.empty();
          } catch (const std::exception &) {
            return false;
          }
        },
        30s);
  }

  // An uninterrupted run on one redis-server, of the same entries.
  static void SetUpTestSuite() {
    support::RedisServer server;
    _reference = std::make_unique<support::TempDir>();
    Trainer trainer(server.url(), kStepStream, kResultStream);
    Child child(run_args(server.url(), kStepStream, kResultStream, out(), true), *_reference);
    ASSERT_TRUE(group_made(server.url())) << child.err();
    ASSERT_TRUE(trainer.publish()) << child.err();
    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(120s), 0) << child.err();
  }
  static void TearDownTestSuite() { _reference.reset(); }
  static fs::path out() { return *_reference / "out"; }

  // The step stream's slot is among the first of the first master's, which a reshard of that
  // master moves; the results are on another master.
  static const std::string kStepStream;
  static const std::string kResultStream;
  static std::unique_ptr<support::TempDir> _reference;
};

const std::string ClusterRun::kStepStream = "{tag-57}:steps"; // checked against the rig below
const std::string ClusterRun::kResultStream = "training-results";
std::unique_ptr<support::TempDir> ClusterRun::_reference;

TEST_P(ClusterRun, KeepsEveryStepAndCycleThroughTheFault) {
  const Case c = GetParam();
  support::ClusterRig rig;
  const std::uint16_t slot = redis::key_slot(kStepStream);
  const std::uint16_t first = rig.nodes()[0]->port();
  ASSERT_EQ(rig.master_of(slot), first);
  ASSERT_LT(slot, rig.first_slot_of(first) + 100);
  ASSERT_NE(rig.master_of(redis::key_slot(kResultStream)), first);
  const std::string url = rig.url();
  support::TempDir dir;
  Child historian(run_args(url, kStepStream, kResultStream, dir / "out", c.durable), dir);
  ASSERT_TRUE(group_made(url)) << historian.err();

  Trainer trainer(url, kStepStream, kResultStream);
  std::atomic<bool> published{false};
  std::thread producer([&] { published = trainer.publish(); });
  struct Join {
    Trainer &trainer;
    std::thread &thread;
    ~Join() {
      trainer.abandon = true;
      if (thread.joinable())
        thread.join();
    }
  } join{trainer, producer};

  // Midway through a cycle's steps, the fault.
  ASSERT_TRUE(wait_until([&] { return trainer.produced >= kSteps / 2 + kStepsPerCycle / 2; }, 120s))
      << trainer.produced << " steps written; " << historian.err();
  auto delivered = [&] { return last_delivered_id(url, kStepStream); };
  const auto started = Clock::now();
  std::uint16_t other = 0;
  for (std::uint16_t m : rig.masters())
    other = m != first ? m : other;
  switch (c.fault) {
  case Fault::kFailover:
    rig.failover(*rig.replica_of(first));
    break;
  case Fault::kKill:
    rig.kill(first);
    break;
  case Fault::kReshard:
    rig.reshard(first, other, 100);
    break;
  case Fault::kAsk:
    rig.begin_migration(slot, first, other);
    rig.migrate_key(first, other, kStepStream);
    break;
  }
  const std::string at_fault = delivered();
  ASSERT_TRUE(wait_until(
      [&] {
        const std::string now = delivered();
        return !now.empty() && now != at_fault;
      },
      30s))
      << historian.err();
  std::printf("%s: read again %.2f s after the fault began\n",
              ::testing::UnitTest::GetInstance()->current_test_info()->name(),
              std::chrono::duration<double>(Clock::now() - started).count());
  if (c.fault == Fault::kAsk) {
    // Reading and writing go on through the open migration for a while.
    std::this_thread::sleep_for(1s);
    rig.finish_migration(slot, first, other);
  }
  producer.join();
  ASSERT_TRUE(published) << historian.err();
  EXPECT_EQ(historian.wait(0s), -1) << "the historian exited: " << historian.err();
  historian.signal(SIGTERM);
  ASSERT_EQ(historian.wait(120s), 0) << historian.err();
  if (c.fault != Fault::kAsk) {
    EXPECT_NE(historian.err().find("Redis Cluster slot " + std::to_string(slot) + " of stream '" +
                                   kStepStream + "' moved from 127.0.0.1:" + std::to_string(first)),
              std::string::npos)
        << historian.err();
  }

  // Every step the cluster holds is in the file: once in the durable mode. The file may also
  // hold steps that only the killed master took.
  const std::map<std::int64_t, int> held = steps_held(url, kStepStream);
  const std::map<std::int64_t, int> written = steps_in(dir / "out" / kStepFile);
  int missing = 0, repeated = 0, lost = 0;
  for (const auto &[n, count] : held)
    missing += written.count(n) ? 0 : 1;
  for (const auto &[n, count] : written)
    repeated += count > 1 ? 1 : 0;
  lost = kSteps - static_cast<int>(held.size());
  EXPECT_EQ(missing, 0);
  if (c.durable) {
    EXPECT_EQ(repeated, 0);
  }
  if (c.fault != Fault::kKill) {
    EXPECT_EQ(lost, 0);
  }
  std::printf("%d steps lost by the cluster, %d written twice\n", lost, repeated);
  // Where nothing was lost or repeated, the files are those of the uninterrupted run, cell by
  // cell; the cycles are in any case.
  if (lost == 0 && repeated == 0) {
    EXPECT_EQ(differences(dir / "out" / kStepFile, out() / kStepFile), "");
    EXPECT_EQ(differences(dir / "out" / kCycleFile, out() / kCycleFile), "");
  } else {
    EXPECT_EQ(parquet::FileReader::open((dir / "out" / kCycleFile).string())->num_rows(),
              parquet::FileReader::open((out() / kCycleFile).string())->num_rows());
  }
  expect_readers_agree((dir / "out" / kCycleFile).string());
}

// No seed answers, or the seed is a single server: one line that says so, and status 1.
TEST(ClusterStart, NoSeedServesACluster) {
  support::TempDir dir;
  const std::string a = "127.0.0.1:" + std::to_string(support::free_port());
  Child none({"run", "--redis-url", "redis+cluster://:s3cret@" + a, "--output-path",
              (dir / "out").string()},
             dir);
  EXPECT_EQ(none.wait(30s), 1);
  EXPECT_EQ(none.err(), "event-historian: error: cannot reach Redis at redis+cluster://:***@" + a +
                            ": no seed node of the Redis Cluster answers: " + a +
                            " (Connection refused (" + a + "))\n");
  support::RedisServer single;
  const std::string b = "127.0.0.1:" + std::to_string(single.port());
  Child plain(
      {"run", "--redis-url", "redis+cluster://" + b, "--output-path", (dir / "out").string()}, dir);
  EXPECT_EQ(plain.wait(30s), 1);
  EXPECT_EQ(plain.err(), "event-historian: error: cannot reach Redis at redis+cluster://" + b +
                             ": " + b +
                             " is not a Redis Cluster node (ERR This instance has cluster "
                             "support disabled): a single server takes a redis:// URL\n");
}

INSTANTIATE_TEST_SUITE_P(Faults, ClusterRun,
                         ::testing::Values(Case{Fault::kFailover, true}, Case{Fault::kKill, true},
                                           Case{Fault::kReshard, true}, Case{Fault::kAsk, true},
                                           Case{Fault::kFailover, false}, Case{Fault::kKill, false},
                                           Case{Fault::kReshard, false}, Case{Fault::kAsk, false}),
                         [](const auto &info) {
                           return std::string(kFaultNames[static_cast<int>(info.param.fault)]) +
                                  (info.param.durable ? "Durable" : "Default");
                         });

} // namespace
} // namespace end_to_end
