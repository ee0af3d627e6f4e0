// The names of the output files: one historian per name, no file ever replaced, and the parts
// that killed runs leave behind.

#include "tests/end_to_end/program.h"

namespace {

using namespace end_to_end;

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
  // The step files, then each run's episodes file (its episode is open at the stop).
  const auto files = support::sorted_entries(out);
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[3], kBase + "_episodes.parquet");
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
