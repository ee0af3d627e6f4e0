// Durable mode as users run it: killed at any instant and started again, on a full disk.

#include "tests/end_to_end/durable_run.h"

namespace {

using namespace end_to_end;

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
       {"v2_event_historian_r1.parquet", "v2_event_historian_r1_cycle_summary.parquet",
        "v2_event_historian_r1_episodes.parquet"}) {
    expect_same_files(reference.out() / name, crashed.out() / name);
  }
  EXPECT_EQ(parquet::FileReader::open((reference.out() / "v2_event_historian_r1.parquet").string())
                ->num_rows(),
            DurableRun::kCycles * DurableRun::kStepsPerCycle + DurableRun::kTrailingSteps);
  // The statistics too, though the crashed run's parts were cut elsewhere: combining them
  // differs from the reference's only in the last few bits.
  for (const char *name :
       {"v2_event_historian_r1.parquet", "v2_event_historian_r1_episodes.parquet"}) {
    const auto want = stats_of(reference.out() / name);
    const auto got = stats_of(crashed.out() / name);
    ASSERT_EQ(got.columns().size(), want.columns().size()) << name;
    ASSERT_FALSE(want.empty()) << name;
    for (std::size_t i = 0; i < want.columns().size(); ++i) {
      const auto &[column, w] = want.columns()[i];
      const auto &[got_column, g] = got.columns()[i];
      EXPECT_EQ(got_column, column);
      EXPECT_EQ(g.count, w.count) << name << " " << column;
      EXPECT_EQ(g.nulls, w.nulls) << name << " " << column;
      EXPECT_EQ(g.nans, w.nans) << name << " " << column;
      EXPECT_EQ(g.min, w.min) << name << " " << column;
      EXPECT_EQ(g.max, w.max) << name << " " << column;
      EXPECT_NEAR(g.mean, w.mean, 1e-12 * std::max(1.0, std::abs(w.mean))) << name << " " << column;
      EXPECT_NEAR(g.m2, w.m2, 1e-10 * std::max(1.0, w.m2)) << name << " " << column;
    }
  }
  // Each cycle is reported at most once, in order; a crash may lose a report, never repeat it.
  EXPECT_EQ(reference.reported(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  const std::vector<int> crashed_reports = crashed.reported();
  EXPECT_TRUE(std::is_sorted(crashed_reports.begin(), crashed_reports.end()) &&
              std::adjacent_find(crashed_reports.begin(), crashed_reports.end()) ==
                  crashed_reports.end())
      << ::testing::PrintToString(crashed_reports);
  EXPECT_GE(crashed_reports.size(), 1u);
}

// A restart whose options would change what the files hold refuses before it reads anything,
// naming the option and the value its files were begun with; with the same options it goes on.
TEST(Durable, ARestartWithOptionsThatChangeTheFilesRefuses) {
  support::RedisServer server;
  support::TempDir dir;
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--durable", "--flush-interval", "0.05"});
  add_steps(server.url(), "steps", 0, 20);
  {
    Child child(args, dir);
    ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
    child.signal(SIGKILL);
    child.wait(std::chrono::seconds(10));
  }
  add_steps(server.url(), "steps", 20, 30);
  const struct {
    std::vector<std::string> extra;
    std::string named;
  } changes[] = {{{"--include-raw-json"}, "--include-raw-json off"},
                 {{"--compression", "zstd"}, "--compression snappy"},
                 {{"--total-cycles", "4"}, "--total-cycles unset"}};
  for (const auto &change : changes) {
    Args changed = args;
    changed.insert(changed.end(), change.extra.begin(), change.extra.end());
    Child child(changed, dir);
    EXPECT_EQ(child.wait(std::chrono::seconds(30)), 2) << child.err();
    EXPECT_NE(child.err().find("was written with " + change.named + ";"), std::string::npos)
        << child.err();
    EXPECT_EQ(group_field(server.url(), "steps", "lag"), 10) << "nothing was read";
  }
  Child child(args, dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 30);
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

TEST(Durable, AnEntryThatKeepsFailingGoesToTheDeadLetterStream) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 20);
  const std::string bad = command(server.url(), {"XADD", "steps", "*", "data", "{not json"}).str;
  add_steps(server.url(), "steps", 20, 40);
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--durable", "--flush-interval", "0.05", "--dead-letter-stream", "dead",
                           "--max-deliveries", "2", "--log-level", "debug"});
  // Each start delivers the failing entry once more: the third goes past two deliveries.
  for (int start = 1; start <= 3; ++start) {
    Child child(args, dir);
    ASSERT_TRUE(wait_until(
        [&] {
          return child.err().find("Error processing message " + bad) != std::string::npos &&
                 group_field(server.url(), "steps", "lag") == 0 &&
                 group_field(server.url(), "steps", "pending") == (start < 3 ? 1 : 0);
        },
        std::chrono::seconds(30)))
        << start << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  }
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 40);
  const redis::Reply dead = command(server.url(), {"XRANGE", "dead", "-", "+"});
  ASSERT_EQ(dead.elements.size(), 1u);
  std::vector<std::string> fields;
  for (const redis::Reply &f : dead.elements[0].elements[1].elements)
    fields.push_back(f.str);
  ASSERT_EQ(fields.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.begin() + 2),
            (std::vector<std::string>{"data", "{not json"}));
  EXPECT_EQ(fields[2], "error");
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 4, fields.end()),
            (std::vector<std::string>{"source_stream", "steps", "source_id", bad}));
}

} // namespace
