// The program as users run it: options, signals, exit statuses and the faults it must survive.

#include <regex>

#include "tests/end_to_end/program.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>

namespace {

using namespace end_to_end;

TEST(Program, HelpAndVersion) {
  support::TempDir dir;
  Child help({"run", "--help"}, dir);
  EXPECT_EQ(help.wait(std::chrono::seconds(10)), 0);
  for (const char *option :
       {"--redis-url", "--input-topic", "--output-topic", "--consumer-group", "--output-path",
        "--skill-name", "--include-raw-json", "--training-results-topic", "--total-cycles",
        "--callback-url", "--job-id", "--run-id", "--log-level", "--redis-timeout", "--compression",
        "--compression-level", "--redis-url-file"})
    EXPECT_NE(help.out().find(option), std::string::npos) << option;
  for (const char *option : {"--redis-tls-ca-file", "--redis-tls-cert-file", "--redis-tls-key-file",
                             "--redis-tls-insecure"})
    EXPECT_NE(help.out().find(option), std::string::npos) << option;
  Child version({"--version"}, dir);
  EXPECT_EQ(version.wait(std::chrono::seconds(10)), 0);
  EXPECT_TRUE(std::regex_match(version.out(),
                               std::regex("event-historian " HISTORIAN_VERSION
                                          " \\(build ([0-9a-f]{7,}|unknown), [^,]+, [^,]+\\)\n")))
      << version.out();
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
                                      "v2_event_historian_r1_walk_cycle_summary.parquet",
                                      "v2_event_historian_r1_walk_episodes.parquet"}));
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

namespace {

// The commands a redis-server carries out, as MONITOR shows them, gathered on a thread until
// destroyed: one line each, `<time> [<db> <client>] "COMMAND" "arg" ...`.
class Monitor {
public:
  explicit Monitor(std::uint16_t port) {
    _fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        write(_fd, "MONITOR\r\n", 9) != 9)
      throw std::runtime_error("cannot start MONITOR");
    // Watching once the server has said so: commands sent after the constructor all show.
    std::string ok;
    for (char c; ok.size() < 5 && read(_fd, &c, 1) == 1;)
      ok.push_back(c);
    if (ok != "+OK\r\n")
      throw std::runtime_error("MONITOR refused: " + ok);
    _thread = std::thread([this] {
      char buf[65536];
      for (ssize_t n; (n = read(_fd, buf, sizeof buf)) > 0;) {
        std::lock_guard lock(_mutex);
        _text.append(buf, static_cast<std::size_t>(n));
      }
    });
  }
  ~Monitor() {
    shutdown(_fd, SHUT_RDWR);
    _thread.join();
    close(_fd);
  }
  // The arguments of each command of that name, in order.
  std::vector<Args> commands(const std::string &name) {
    std::vector<Args> found;
    for (Args &command : all())
      if (command.at(0) == name)
        found.emplace_back(command.begin() + 1, command.end());
    return found;
  }
  // Every command with its arguments, in the order the server carried them out.
  std::vector<Args> all() {
    std::lock_guard lock(_mutex);
    std::vector<Args> found;
    std::istringstream lines(_text);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t start = line.find("] \"");
      if (start == std::string::npos)
        continue;
      Args args;
      bool quoted = false;
      for (std::size_t i = start + 2; i < line.size(); ++i) {
        const char c = line[i];
        if (!quoted) {
          quoted = c == '"';
          if (quoted)
            args.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
          args.back().push_back(line[++i]);
        } else if (c == '"') {
          quoted = false;
        } else {
          args.back().push_back(c);
        }
      }
      found.push_back(std::move(args));
    }
    return found;
  }

private:
  int _fd = -1;
  std::thread _thread;
  std::mutex _mutex;
  std::string _text;
};

} // namespace

TEST(Program, BatchedReadsAcknowledgeEachReadAtOnce) {
  support::RedisServer server;
  support::TempDir dir;
  const std::string url = server.url();
  add_steps(url, "steps", 0, 30);
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--training-results-topic", "results", "--read-count", "1000"});
  Monitor monitor(server.port());
  Child child(args, dir);
  ASSERT_TRUE(consumed(url, "steps")) << child.err();
  // Stopped, so that its next read takes the entries of both streams at once.
  child.signal(SIGSTOP);
  ASSERT_TRUE(wait_until(
      [&] {
        const std::string stat = slurp("/proc/" + std::to_string(child.pid()) + "/stat");
        return stat.find(") T ") != std::string::npos;
      },
      std::chrono::seconds(10)));
  // A read it sent just before ends within its 1 ms BLOCK.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  add_steps(url, "steps", 30, 45);
  const std::string bad = command(url, {"XADD", "steps", "*", "data", "not json"}).str;
  add_steps(url, "steps", 45, 60);
  command(url, {"XADD", "results", "*", "data", R"({"type": "ppo_training_result"})"});
  child.signal(SIGCONT);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(url, "steps", "lag") == 0 && group_field(url, "steps", "pending") == 1 &&
               group_field(url, "results", "pending") == 0 &&
               group_field(url, "results", "lag") == 0;
      },
      std::chrono::seconds(30)))
      << child.err();
  const redis::Reply pending = command(url, {"XPENDING", "steps", "korvo-historian-group"});
  ASSERT_EQ(pending.elements.size(), 4u);
  EXPECT_EQ(pending.elements[1].str, bad);
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 60);

  const std::vector<Args> reads = monitor.commands("XREADGROUP");
  ASSERT_FALSE(reads.empty());
  for (const Args &read : reads)
    EXPECT_EQ(read.at(4), "1000") << read.at(3);
  // One XACK per stream and read: the first read's 30 entries, then 30 of the 31 and the
  // training result; the failed entry in none.
  std::vector<std::pair<std::string, std::size_t>> acks;
  for (const Args &ack : monitor.commands("XACK")) {
    EXPECT_EQ(std::count(ack.begin(), ack.end(), bad), 0);
    acks.emplace_back(ack.at(0), ack.size() - 2);
  }
  EXPECT_EQ(acks, (std::vector<std::pair<std::string, std::size_t>>{
                      {"steps", 30}, {"steps", 30}, {"results", 1}}));
}

// The default sequence reads ahead: the next read of 10 goes out as soon as a batch has
// arrived, before that batch is handled, while each entry is still acknowledged alone and only
// once handled, and a failed entry never.
TEST(Program, DefaultReadsAheadAndAcknowledgesEachEntryOnceHandled) {
  support::RedisServer server;
  support::TempDir dir;
  const std::string url = server.url();
  std::vector<std::string> ids;
  std::string bad;
  for (int n = 0; n < 35; ++n) {
    if (n == 12)
      ids.push_back(bad = command(url, {"XADD", "steps", "*", "data", "not json"}).str);
    ids.push_back(command(url, {"XADD", "steps", "*", "data", step_data(n)}).str);
  }
  Monitor monitor(server.port());
  Child child(walk_run(server, dir), dir);
  ASSERT_TRUE(wait_until(
      [&] {
        return group_field(url, "steps", "lag") == 0 && group_field(url, "steps", "pending") == 1;
      },
      std::chrono::seconds(30)))
      << child.err();
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 35);
  EXPECT_EQ(group_field(url, "steps", "pending"), 1);

  std::size_t reads = 0;
  std::size_t reads_at_first_ack = 0;
  std::vector<std::string> acked;
  for (const Args &c : monitor.all()) {
    // The start first reads this consumer's own pending entries (from id 0): none here.
    if (c.at(0) == "XREADGROUP" && c.back() == "0")
      continue;
    if (c.at(0) == "XREADGROUP") {
      EXPECT_EQ(c.at(5), "10");
      ++reads;
    } else if (c.at(0) == "XACK") {
      ASSERT_EQ(c.size(), 4u) << "one entry per XACK";
      const auto at = std::find(ids.begin(), ids.end(), c.at(3));
      ASSERT_NE(at, ids.end());
      EXPECT_NE(c.at(3), bad);
      // Reads of 10 deliver the entries in order: entry i comes with read i / 10 at the
      // earliest.
      EXPECT_GT(reads, static_cast<std::size_t>(at - ids.begin()) / 10) << c.at(3);
      if (acked.empty())
        reads_at_first_ack = reads;
      acked.push_back(c.at(3));
    }
  }
  EXPECT_EQ(reads_at_first_ack, 2u) << "the second read goes out before the first batch's XACKs";
  std::vector<std::string> good = ids;
  std::erase(good, bad);
  EXPECT_EQ(acked, good);
}

// A stop while the next read is under way: what that read delivered is still handled, so
// every delivered entry is in the file and none is left pending. With reads of 10 as well as
// batched ones.
TEST(Program, ReadsAheadLeaveNothingDeliveredBehindAtAStop) {
  for (const char *count : {"10", "200"}) {
    SCOPED_TRACE(count);
    support::RedisServer server;
    support::TempDir dir;
    const std::string url = server.url();
    add_steps(url, "steps", 0, 20000);
    Args args = walk_run(server, dir);
    // A full buffer every few reads: its flush is where the stop lands, mid-batch.
    args.insert(args.end(), {"--read-count", count, "--max-buffered-rows", "150"});
    Child child(args, dir);
    ASSERT_TRUE(wait_until([&] { return group_field(url, "steps", "entries-read") >= 2000; },
                           std::chrono::seconds(30)))
        << child.err();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(std::chrono::seconds(60)), 0) << child.err();
    const std::int64_t delivered = group_field(url, "steps", "entries-read");
    EXPECT_LT(delivered, 20000) << "the whole stream was read before the stop";
    EXPECT_EQ(group_field(url, "steps", "pending"), 0);
    expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", delivered);
  }
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
  ASSERT_EQ(files.size(), 3u);
  auto reader = parquet::FileReader::open((dir / "out" / files[0]).string());
  EXPECT_EQ(reader->num_rows(), 20000);
  EXPECT_EQ(reader->schema().size(), 10u + 64 + 2 + 2 + 3); // the two indices and the entry id
}

TEST(Program, DemoShowsItsFiles) {
  support::TempDir dir;
  Child demo({"demo", "--output-path", (dir / "out").string()}, dir);
  EXPECT_EQ(demo.wait(std::chrono::seconds(120)), 0) << demo.out() << demo.err();
  const std::string out = demo.out();
  EXPECT_NE(out.find("Summary: 300 step rows (300 published)"), std::string::npos) << out;
  EXPECT_NE(out.find("POST /internal/jobs/demo-job/cycle-metrics"), std::string::npos) << out;
  EXPECT_EQ(support::sorted_entries(dir / "out").size(), 3u);
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
    // The step file's statistics come last; their figures are tested apart.
    EXPECT_EQ(support::duckdb_query("SELECT count(*)::INT AS n FROM parquet_kv_metadata" + from +
                                    " WHERE decode(key) = 'event_historian.stats'"),
              steps ? "[{\"n\":1}]\n" : "[{\"n\":0}]\n")
        << name;
    EXPECT_EQ(support::duckdb_query(
                  "SELECT decode(key) AS k, decode(value) AS v FROM parquet_kv_metadata" + from +
                  " WHERE decode(key) <> 'event_historian.stats'"),
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
      {{"run", "--redis-timeout", "0"}, 2},
      {{"run", "--redis-timeout", "soon"}, 2},
      {{"frobnicate"}, 2},
      {{"run", "--compression", "lz4"}, 2},
      {{"run", "--compression-level", "3"}, 2}, // a level without zstd
      {{"run", "--compression", "zstd", "--compression-level", "23"}, 2},
      {{"run", "--read-count", "0"}, 2},
      {{"run", "--read-count", "100001"}, 2},
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
  EXPECT_EQ(reader->schema().size(), 10u + 1 + 3)
      << "one observation column, no action columns, the two indices and the entry id";
  // Each row keeps the id of its entry (the training result, the 21st, has no row).
  std::vector<std::string> ids;
  for (const redis::Reply &entry : command(server.url(), {"XRANGE", "steps", "-", "+"}).elements)
    ids.push_back(entry.elements[0].str);
  ASSERT_EQ(ids.size(), 31u);
  ids.erase(ids.begin() + 20);
  EXPECT_EQ(reader->read_all().columns.back().strings, ids);
  const std::string err = child.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("WARNING"), std::string::npos) << err;
  EXPECT_NE(err.find("[EventHistorian] No step carried an action vector; writing 30 rows without "
                     "action columns\n"),
            std::string::npos)
      << err;
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
  // The stop gives the reports 5 s in all: those started by then get what is left (how many
  // depends on how much of the first one's time-out had passed), the rest of the four are
  // dropped with one line.
  child.signal(SIGTERM);
  EXPECT_EQ(child.wait(std::chrono::seconds(10)), 0) << child.err();
  held = jobs.connections();
  ASSERT_GE(held.size(), 2u);
  ASSERT_LT(held.size(), 4u);
  EXPECT_NE(child.err().find("[EventHistorian] " + std::to_string(4 - held.size()) +
                             " cycle metrics callbacks dropped: not sent within 5 s of the stop"),
            std::string::npos)
      << child.err();
  expect_all_steps(out / "v2_event_historian_r1_walk.parquet", 80);
}

// Failing after it connected (the step stream is a plain key), start-up still ends the program.
TEST(ProgramFaults, StartUpFailureAfterConnectingEnds) {
  support::RedisServer server;
  support::TempDir dir;
  command(server.url(), {"SET", "steps", "not a stream"});
  Child child(walk_run(server, dir), dir);
  EXPECT_EQ(child.wait(std::chrono::seconds(20)), 1);
  EXPECT_EQ(child.err(), "event-historian: error: WRONGTYPE Operation against a key holding the "
                         "wrong kind of value\n");
}

TEST(ProgramRedisTimeout, FrozenServerStillStopsWithEveryRow) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 300);
  Child child(walk_run(server, dir), dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();
  server.freeze();
  child.signal(SIGTERM);
  // The read in flight gets no reply: the default time-out breaks the connection.
  EXPECT_EQ(child.wait(std::chrono::seconds(12)), 0) << child.err();
  server.thaw();
  EXPECT_NE(child.err().find("Error reading messages: No reply from Redis within 5 s"),
            std::string::npos)
      << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 300);
}

// A script adds steps and then holds the server for 3 s: the read that takes them is answered
// after the time-out, so the historian drops its connection, and with it the answer, while the
// server has delivered the steps to its consumer all the same. They are still written, once.
TEST(ProgramRedisTimeout, StepsOfAReadAnsweredTooLateAreStillWritten) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 100);
  Args args = walk_run(server, dir);
  args.insert(args.end(), {"--redis-timeout", "1"});
  Child child(args, dir);
  ASSERT_TRUE(consumed(server.url(), "steps")) << child.err();

  Args script = {"EVAL",
                 "for i = 2, #ARGV, 2 do "
                 "  redis.call('XADD', KEYS[1], '*', 'data', ARGV[i], 'timestamp', ARGV[i + 1]) "
                 "end "
                 "local function now() "
                 "  local t = redis.call('TIME') "
                 "  return tonumber(t[1]) + tonumber(t[2]) / 1e6 "
                 "end "
                 "local start = now() "
                 "while now() - start < tonumber(ARGV[1]) do end "
                 "return 1",
                 "1", "steps", "3"};
  for (int n = 100; n < 200; ++n) {
    script.push_back(step_data(n, 4));
    script.push_back(std::to_string(1000 + n));
  }
  ASSERT_EQ(command(server.url(), script).integer, 1);
  ASSERT_TRUE(wait_until(
      [&] { return child.err().find("No reply from Redis within 1 s") != std::string::npos; },
      std::chrono::seconds(10)))
      << child.err();
  EXPECT_TRUE(consumed(server.url(), "steps")) << child.err();
  child.signal(SIGTERM);
  ASSERT_EQ(child.wait(std::chrono::seconds(30)), 0) << child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 200);
}

// In place of Redis, a listener that never answers: start-up fails within the time-out, and a
// stop during it does not wait for the time-out.
TEST(ProgramRedisTimeout, StartUpAgainstASilentListenerEnds) {
  asio::io_context io;
  asio::ip::tcp::acceptor silent(io, {asio::ip::address_v4::loopback(), 0});
  silent.non_blocking(true);
  const std::string address = "127.0.0.1:" + std::to_string(silent.local_endpoint().port());
  support::TempDir dir;
  const auto run = [&](const std::string &timeout) {
    return Args{"run",   "--redis-url",   "redis://" + address,  "--redis-timeout",
                timeout, "--output-path", (dir / "out").string()};
  };
  {
    Child child(run("60"), dir);
    asio::ip::tcp::socket peer(io);
    ASSERT_TRUE(wait_until(
        [&] {
          asio::error_code ec;
          silent.accept(peer, ec);
          return !ec;
        },
        std::chrono::seconds(10)));
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(std::chrono::seconds(10)), 0) << child.err();
  }
  Child child(run("1.5"), dir);
  EXPECT_EQ(child.wait(std::chrono::seconds(10)), 1);
  EXPECT_EQ(child.err(), "event-historian: error: cannot reach Redis at redis://" + address +
                             ": No reply from Redis within 1.5 s (" + address + ")\n");
  EXPECT_FALSE(fs::exists(dir / "out"));
}

} // namespace
