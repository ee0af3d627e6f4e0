// Instances of one consumer group covering for one another: a killed instance's pending entries
// taken over by a live one, and a restarted instance handling its own.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include "tests/end_to_end/program.h"

namespace {

using namespace end_to_end;

const std::string kGroup = "korvo-historian-group";

// The step numbers of the step files, each with how often it occurs.
std::map<std::int64_t, int> step_numbers(const std::vector<fs::path> &files) {
  std::map<std::int64_t, int> seen;
  for (const fs::path &file : files) {
    auto reader = parquet::FileReader::open(file.string());
    const auto table = reader->read_all();
    for (std::int64_t n : table.columns[3].ints)
      ++seen[n];
    expect_readers_agree(file.string());
  }
  return seen;
}

std::int64_t pending_of(const std::string &url, const std::string &consumer) {
  const redis::Reply r = command(url, {"XPENDING", "steps", kGroup, "-", "+", "100000", consumer});
  return static_cast<std::int64_t>(r.elements.size());
}

std::set<std::string> consumers(const std::string &url) {
  std::set<std::string> names;
  for (const redis::Reply &c : command(url, {"XINFO", "CONSUMERS", "steps", kGroup}).elements)
    names.insert(c.elements.at(1).str);
  return names;
}

int occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// Whether a log shows entries taken over from consumer.
bool took_over_from(const std::string &log, const std::string &consumer) {
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find("Took over") != std::string::npos &&
        line.find("'" + consumer + "'") != std::string::npos)
      return true;
  return false;
}

// Two durable instances share the stream; one is killed in the middle of a checkpoint, holding
// entries it read and wrote but never acknowledged. The other takes them over, and is itself
// killed just after it took them and started again. In the end every step is in exactly one
// of the files: the killed instance's parts up to its checkpoint (compacted) and the
// survivor's final file; the entry delivered too often is in the dead-letter stream instead,
// and the consumers left idle without pending entries are gone from the group.
TEST(Takeover, AKilledInstancesEntriesEndUpExactlyOnceInTheSurvivorsFiles) {
  support::RedisServer server;
  support::TempDir dir;
  const std::string url = server.url();
  // A consumer that read ten steps and vanished, one of them delivered five times already,
  // and one that never read anything.
  command(url, {"XGROUP", "CREATE", "steps", kGroup, "0", "MKSTREAM"});
  add_steps(url, "steps", 0, 10);
  const redis::Reply ghost = command(
      url, {"XREADGROUP", "GROUP", kGroup, "ghost", "COUNT", "10", "STREAMS", "steps", ">"});
  const std::string worn = ghost.elements.at(0).elements.at(1).elements.at(3).elements.at(0).str;
  command(url, {"XCLAIM", "steps", kGroup, "ghost", "0", worn, "RETRYCOUNT", "5"});
  command(url, {"XGROUP", "CREATECONSUMER", "steps", kGroup, "idle-ghost"});

  auto instance = [&](const std::string &name, const char *flush_interval) {
    Args args = walk_run(server, dir);
    args[6] = (dir / name).string(); // the value of --output-path
    args.insert(args.end(),
                {"--durable", "--consumer-name", name, "--flush-interval", flush_interval,
                 "--claim-idle", "3.5", "--redis-timeout", "1", "--dead-letter-stream", "dead",
                 "--max-deliveries", "3", "--log-level", "debug"});
    return args;
  };
  support::TempDir logs_a, logs_b;
  constexpr int kSteps = 4010; // 10 read by the ghost, then 160 batches of 25
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    for (int n = 10; n < kSteps; n += 25) {
      add_steps(url, "steps", n, n + 25);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    producing = false;
  });

  // Every checkpoint and flush pauses, so that b can be killed inside one.
  setenv("HISTORIAN_TEST_PAUSE_MS", "300", 1);
  auto a = std::make_unique<Child>(instance("a", "0.2"), logs_a);
  Child b(instance("b", "1"), logs_b);
  unsetenv("HISTORIAN_TEST_PAUSE_MS");
  // Its first checkpoint is written at the start, before it reads anything.
  ASSERT_TRUE(wait_until([&] { return pending_of(url, "b") > 0; }, std::chrono::seconds(30)))
      << b.err();
  const int before = occurrences(b.err(), "Test pause in checkpoint");
  ASSERT_TRUE(wait_until([&] { return occurrences(b.err(), "Test pause in checkpoint") > before; },
                         std::chrono::seconds(30)))
      << b.err();
  b.signal(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  b.wait(std::chrono::seconds(10));
  const std::int64_t left_by_b = pending_of(url, "b");
  EXPECT_GT(left_by_b, 0);

  // a is killed as soon as it has handled b's entries, before a checkpoint holds them.
  ASSERT_TRUE(wait_until([&] { return took_over_from(a->err(), "b"); }, std::chrono::seconds(60)))
      << a->err();
  std::printf("%lld entries of the killed instance taken over %.2f s after the kill\n",
              static_cast<long long>(left_by_b),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count());
  a->signal(SIGKILL);
  a->wait(std::chrono::seconds(10));
  a.reset();
  support::TempDir logs_again;
  Child again(instance("a", "0.2"), logs_again);
  producer.join();
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(url, "steps", "lag") == 0 && group_field(url, "steps", "pending") == 0;
      },
      std::chrono::seconds(60)))
      << again.err();
  ASSERT_TRUE(wait_until([&] { return consumers(url) == std::set<std::string>{"a"}; },
                         std::chrono::seconds(30)))
      << ::testing::PrintToString(consumers(url)) << again.err();
  again.signal(SIGTERM);
  ASSERT_EQ(again.wait(std::chrono::seconds(60)), 0) << again.err();

  // b's parts up to its checkpoint; the one it wrote in the checkpoint it died in goes.
  support::TempDir logs_compact;
  const fs::path b_file = dir / "b" / "v2_event_historian_r1_walk.parquet";
  Child compact({"compact", b_file.string() + ".parts"}, logs_compact);
  ASSERT_EQ(compact.wait(std::chrono::seconds(60)), 0) << compact.err();
  EXPECT_NE(compact.err().find("written after checkpoint"), std::string::npos) << compact.err();

  std::vector<fs::path> files = {dir / "a" / "v2_event_historian_r1_walk.parquet"};
  if (fs::exists(b_file))
    files.push_back(b_file);
  const std::map<std::int64_t, int> seen = step_numbers(files);
  const redis::Reply dead = command(url, {"XRANGE", "dead", "-", "+"});
  ASSERT_EQ(dead.elements.size(), 1u);
  const auto &fields = dead.elements[0].elements[1].elements;
  ASSERT_EQ(fields.size(), 10u);
  EXPECT_EQ(fields[1].str, step_data(3));
  EXPECT_EQ(fields[5].str, "delivered 6 times without being acknowledged");
  EXPECT_EQ(fields[9].str, worn);
  std::vector<std::int64_t> wrong;
  for (std::int64_t n = 0; n < kSteps; ++n)
    if (seen.count(n) ? seen.at(n) != 1 || n == 3 : n != 3)
      wrong.push_back(n);
  EXPECT_TRUE(wrong.empty()) << "steps missing or repeated: " << ::testing::PrintToString(wrong);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kSteps - 1));
}

// A default-mode instance killed with entries read and not acknowledged finds them again under
// its own name when started with the same options: every step is written (at least once), and
// the entry that failed goes to the dead-letter stream on its second delivery.
TEST(Takeover, ADefaultModeRestartHandlesItsOwnPendingEntries) {
  support::RedisServer server;
  support::TempDir dir;
  const std::string url = server.url();
  add_steps(url, "steps", 0, 5);
  const std::string bad = command(url, {"XADD", "steps", "*", "data", "{not json"}).str;
  add_steps(url, "steps", 5, 60);
  Args args = walk_run(server, dir);
  // Every step is written as a part before it is acknowledged, and the writes pause.
  args.insert(args.end(), {"--max-buffered-rows", "1", "--dead-letter-stream", "dead",
                           "--max-deliveries", "1", "--log-level", "debug"});
  {
    setenv("HISTORIAN_TEST_PAUSE_MS", "200", 1);
    Child child(args, dir);
    unsetenv("HISTORIAN_TEST_PAUSE_MS");
    ASSERT_TRUE(wait_until([&] { return occurrences(child.err(), "Test pause in flush") >= 8; },
                           std::chrono::seconds(30)))
        << child.err();
    child.signal(SIGKILL);
    child.wait(std::chrono::seconds(10));
    EXPECT_NE(child.err().find("Error processing message " + bad), std::string::npos);
  }
  EXPECT_GT(group_field(url, "steps", "pending"), 1) << "the failed entry and at least one step";
  EXPECT_EQ(command(url, {"XLEN", "dead"}).integer, 0);

  support::TempDir logs;
  Child child(args, logs);
  ASSERT_TRUE(consumed(url, "steps")) << child.err();
  child.signal(SIGTERM);
  ASSERT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  const std::map<std::int64_t, int> seen =
      step_numbers({dir / "out" / "v2_event_historian_r1_walk.parquet"});
  std::vector<std::int64_t> missing;
  for (std::int64_t n = 0; n < 60; ++n)
    if (!seen.count(n))
      missing.push_back(n);
  EXPECT_TRUE(missing.empty()) << ::testing::PrintToString(missing);
  EXPECT_EQ(seen.size(), 60u);
  const redis::Reply dead = command(url, {"XRANGE", "dead", "-", "+"});
  ASSERT_EQ(dead.elements.size(), 1u);
  EXPECT_EQ(dead.elements[0].elements[1].elements.at(7).str, bad);
  EXPECT_EQ(consumers(url).size(), 1u) << "the restart read as the same consumer";
}

} // namespace
