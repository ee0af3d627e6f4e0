// The metrics and health endpoint of the real program, scraped over plain sockets while it
// consumes a real redis-server's stream.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "redis/cluster.h"
#include "tests/end_to_end/program.h"
#include "tests/support/cluster_rig.h"
#include "tests/support/sentinel_rig.h"

namespace end_to_end {
namespace {

// A connection to the endpoint, with every wait bounded.
class Client {
public:
  explicit Client(std::uint16_t port) : _fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    timeval timeout{30, 0};
    setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (connect(_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the metrics endpoint");
  }
  ~Client() { close(_fd); }
  // False once the server has closed the connection (or refused the bytes).
  bool send_text(const std::string &text) {
    return ::send(_fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // Everything until the server closes the connection (or 30 s pass).
  std::string receive_all() {
    std::string out;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = recv(_fd, buffer, sizeof buffer, 0)) > 0)
      out.append(buffer, static_cast<std::size_t>(n));
    return out;
  }

private:
  int _fd;
};

std::string get(std::uint16_t port, const std::string &path) {
  Client c(port);
  c.send_text("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  return c.receive_all();
}

// The value of one sample ("name{labels}"); -1 when it is not in the scrape.
double sample(const std::string &scrape, const std::string &name) {
  const auto at = scrape.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atof(scrape.c_str() + at + name.size() + 2);
}

// The program with its endpoint on a free loopback port; the port from its debug line.
struct Program {
  Program(const support::RedisServer &server, const support::TempDir &dir, const Args &extra = {})
      : Program(server.url(), dir, extra) {}
  Program(const std::string &url, const support::TempDir &dir, const Args &extra = {})
      : child(
            [&] {
              Args args = walk_run(Args{"--redis-url", url}, dir);
              args.insert(args.end(), {"--metrics-address", ":0", "--log-level", "debug",
                                       "--redis-timeout", "1"});
              args.insert(args.end(), extra.begin(), extra.end());
              return args;
            }(),
            dir) {
    const std::regex listening("Metrics endpoint listening on 127\\.0\\.0\\.1:([0-9]+)");
    std::smatch m;
    std::string err;
    if (!wait_until([&] { return std::regex_search(err = child.err(), m, listening); },
                    std::chrono::seconds(30)))
      throw std::runtime_error("no metrics endpoint: " + err);
    port = static_cast<std::uint16_t>(std::stoi(m[1]));
  }
  std::string scrape() { return get(port, "/metrics"); }
  Child child;
  std::uint16_t port = 0;
};

const std::string kResult = R"({"type": "ppo_training_result"})";

TEST(MetricsEndpoint, CountersAddUpAndHealthFollowsRedis) {
  support::RedisServer server;
  support::TempDir dir;
  add_steps(server.url(), "steps", 0, 300);
  command(server.url(), {"XADD", "steps", "*", "data", "{not json"});
  command(server.url(), {"XADD", "steps", "*", "data", kResult});
  add_steps(server.url(), "steps", 300, 500);
  command(server.url(), {"XADD", "steps", "*", "data", kResult});
  Program program(server, dir);

  std::string s;
  ASSERT_TRUE(wait_until(
      [&] {
        s = program.scrape();
        return sample(s, "event_historian_entries_read_total{stream=\"steps\"}") == 503 &&
               sample(s, "event_historian_consumer_group_lag{stream=\"steps\"}") == 0;
      },
      std::chrono::seconds(60)))
      << s;
  ASSERT_TRUE(wait_until(
      [&] {
        s = program.scrape();
        return sample(s, "event_historian_entries_acknowledged_total{stream=\"steps\"}") == 502;
      },
      std::chrono::seconds(10)))
      << s;
  EXPECT_NE(s.find("HTTP/1.1 200 OK\r\n"), std::string::npos);
  EXPECT_NE(s.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
            std::string::npos);
  EXPECT_NE(s.find("# TYPE event_historian_entries_read_total counter\n"), std::string::npos);
  EXPECT_EQ(sample(s, "event_historian_entries_failed_total{stream=\"steps\"}"), 1) << s;
  EXPECT_EQ(sample(s, "event_historian_steps_processed_total"), 500) << s;
  EXPECT_EQ(sample(s, "event_historian_cycles_closed_total"), 2) << s;
  EXPECT_EQ(sample(s, "event_historian_rows_buffered"), 0) << s;
  EXPECT_EQ(sample(s, "event_historian_part_files_written_total{dataset=\"steps\"}"), 2) << s;
  EXPECT_EQ(sample(s, "event_historian_flush_seconds_count"), 2) << s;
  EXPECT_EQ(sample(s, "event_historian_build_info{version=\"" HISTORIAN_VERSION "\"}"), 1) << s;
  const double rows_written = sample(s, "event_historian_rows_written_total{dataset=\"steps\"}");
  EXPECT_NE(get(program.port, "/healthz").find("200 OK\r\n"), std::string::npos);

  // A Redis that answers nothing turns the health check, and only it, unhealthy until it is
  // back.
  server.freeze();
  std::string health;
  EXPECT_TRUE(wait_until(
      [&] { return (health = get(program.port, "/healthz")).find("503 ") != std::string::npos; },
      std::chrono::seconds(15)))
      << health;
  EXPECT_NE(health.find("\r\n\r\nRedis command failed: "), std::string::npos) << health;
  server.thaw();
  EXPECT_TRUE(wait_until(
      [&] { return (health = get(program.port, "/healthz")).find("200 OK") != std::string::npos; },
      std::chrono::seconds(15)))
      << health;
  EXPECT_NE(health.find("\r\n\r\nok\n"), std::string::npos) << health;

  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(60)), 0) << program.child.err();
  const fs::path file = dir / "out" / "v2_event_historian_r1_walk.parquet";
  EXPECT_EQ(rows_written, 500);
  expect_all_steps(file, 500);
  const std::string err = program.child.err();
  const std::string parts = (dir / "out" / "v2_event_historian_r1_walk.parquet.parts").string();
  EXPECT_NE(err.find("Cycle 1 closed: 300 rows written to " + parts + "/part-00000.parquet\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Cycle 2 closed: 200 rows written to " + parts + "/part-00001.parquet\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Final step file " + file.string() + ": 500 rows\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("Final cycle summary file " + (dir / "out").string() +
                     "/v2_event_historian_r1_walk_cycle_summary.parquet: 3 rows\n"),
            std::string::npos)
      << err;
}

// Under Sentinel: the master read from and the failovers followed are shown; with every
// Sentinel gone the historian still reads from its master but is unhealthy (a failover would
// not be followed), and it stops cleanly.
TEST(MetricsEndpoint, SentinelMasterFailoversAndHealth) {
  support::SentinelRig rig;
  support::TempDir dir;
  const std::uint16_t first = rig.master_port();
  add_steps(rig.server_url(first), "steps", 0, 100);
  Program program(rig.url(), dir);
  const auto master_sample = [](std::uint16_t port) {
    return "event_historian_redis_master{address=\"127.0.0.1:" + std::to_string(port) + "\"}";
  };
  std::string s;
  ASSERT_TRUE(wait_until([&] { return sample(s = program.scrape(), master_sample(first)) == 1; },
                         std::chrono::seconds(30)))
      << s;
  EXPECT_EQ(sample(s, "event_historian_redis_failovers_total"), 0) << s;

  rig.failover();
  ASSERT_TRUE(
      wait_until([&] { return rig.all_name(rig.master_port()) && rig.master_port() != first; },
                 std::chrono::seconds(30)));
  const std::uint16_t second = rig.master_port();
  ASSERT_TRUE(wait_until([&] { return sample(s = program.scrape(), master_sample(second)) == 1; },
                         std::chrono::seconds(30)))
      << s;
  EXPECT_EQ(sample(s, "event_historian_redis_failovers_total"), 1) << s;

  for (auto &sentinel : rig.sentinels())
    sentinel->stop();
  std::string health;
  EXPECT_TRUE(wait_until(
      [&] {
        health = get(program.port, "/healthz");
        return health.find("503 ") != std::string::npos &&
               health.find("\r\n\r\nno Sentinel answers: ") != std::string::npos;
      },
      std::chrono::seconds(15)))
      << health;
  add_steps(rig.server_url(second), "steps", 100, 200);
  EXPECT_TRUE(consumed(rig.server_url(second), "steps"));

  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(60)), 0) << program.child.err();
  EXPECT_NE(program.child.err().find("No Sentinel answers: Sentinel 127.0.0.1:"), std::string::npos)
      << program.child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 200);
}

// On a Redis Cluster: the nodes connected to, and with the step stream's master killed, the
// health check fails until its replica takes over; the move, the redirections and the slot
// maps read are counted, and no step is lost.
TEST(MetricsEndpoint, ClusterNodesMovesAndHealth) {
  support::ClusterRig rig;
  support::TempDir dir;
  add_steps(rig.url(), "steps", 0, 100);
  Program program(rig.url(), dir);
  const std::uint16_t master = rig.master_of(redis::key_slot("steps"));
  const std::string node =
      "event_historian_redis_node_up{address=\"127.0.0.1:" + std::to_string(master) +
      "\",role=\"master\"}";
  std::string s;
  ASSERT_TRUE(
      wait_until([&] { return sample(s = program.scrape(), node) == 1; }, std::chrono::seconds(30)))
      << s;
  EXPECT_TRUE(consumed(rig.url(), "steps"));

  // What the master took is on its replica, so that the kill loses nothing.
  rig.wait_replicated(master);
  rig.kill(master);
  std::string health;
  EXPECT_TRUE(wait_until(
      [&] {
        health = get(program.port, "/healthz");
        return health.find("503 ") != std::string::npos;
      },
      std::chrono::seconds(15)))
      << health;
  ASSERT_TRUE(wait_until(
      [&] {
        s = program.scrape();
        return sample(s, "event_historian_redis_stream_moves_total") == 1 &&
               get(program.port, "/healthz").find("200 ") != std::string::npos;
      },
      std::chrono::seconds(30)))
      << s << program.child.err();
  // The dead node, whatever role the map now gives it, is shown as not connected.
  std::string dead = node;
  dead.replace(dead.find("master"), 6, "replica");
  EXPECT_EQ(std::min(sample(s, node), sample(s, dead)), -1) << s;
  EXPECT_EQ(std::max(sample(s, node), sample(s, dead)), 0) << s;
  EXPECT_GT(sample(s, "event_historian_redis_redirections_total{kind=\"lost\"}"), 0) << s;
  EXPECT_GT(sample(s, "event_historian_redis_slot_map_refreshes_total"), 1) << s;
  // The writes below ignore their errors: they wait for every node to see the new master.
  rig.wait_settled();
  add_steps(rig.url(), "steps", 100, 200);
  ASSERT_EQ(command(rig.url(), {"XLEN", "steps"}).integer, 200);
  EXPECT_TRUE(consumed(rig.url(), "steps"));
  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(60)), 0) << program.child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 200);
}

// Entries another consumer left (one of them deleted from the stream since) are taken over and
// counted, and the consumers left idle without pending entries are removed and counted.
TEST(MetricsEndpoint, TakenOverEntriesAndRemovedConsumersAreCounted) {
  support::RedisServer server;
  support::TempDir dir;
  const std::string url = server.url();
  const std::string group = "korvo-historian-group";
  command(url, {"XGROUP", "CREATE", "steps", group, "0", "MKSTREAM"});
  add_steps(url, "steps", 0, 20);
  const redis::Reply read =
      command(url, {"XREADGROUP", "GROUP", group, "gone", "COUNT", "20", "STREAMS", "steps", ">"});
  command(url,
          {"XDEL", "steps", read.elements.at(0).elements.at(1).elements.at(5).elements[0].str});
  command(url, {"XGROUP", "CREATECONSUMER", "steps", group, "never-read"});
  // Two Redis time-outs (1 s each) are the least the default mode allows.
  Program program(server, dir, {"--claim-idle", "2.5"});

  std::string s;
  ASSERT_TRUE(wait_until(
      [&] {
        s = program.scrape();
        return sample(s, "event_historian_entries_claimed_total{stream=\"steps\"}") == 19 &&
               sample(s, "event_historian_consumers_removed_total") == 2;
      },
      std::chrono::seconds(30)))
      << s << program.child.err();
  EXPECT_EQ(group_field(url, "steps", "pending"), 0);
  EXPECT_EQ(command(url, {"XINFO", "CONSUMERS", "steps", group}).elements.size(), 1u);
  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(60)), 0) << program.child.err();
  auto file =
      parquet::FileReader::open((dir / "out" / "v2_event_historian_r1_walk.parquet").string());
  EXPECT_EQ(file->num_rows(), 19);
}

TEST(MetricsEndpoint, HostileClientsDoNotHoldUpIntake) {
  support::RedisServer server;
  support::TempDir dir;
  Program program(server, dir);

  // A slow client: the request line, then one header byte a second.
  Client slow(program.port);
  ASSERT_TRUE(slow.send_text("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
  std::atomic<bool> slow_answered{false};
  std::string slow_reply;
  std::thread dribble([&] {
    for (int i = 0; i < 30 && slow.send_text("a"); ++i)
      std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  std::thread reader([&] {
    slow_reply = slow.receive_all();
    slow_answered = true;
  });

  // A 1 MB header: an error status, or the connection closed on it.
  {
    Client big(program.port);
    big.send_text("GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n");
    const std::string reply = big.receive_all();
    EXPECT_TRUE(reply.empty() || std::regex_search(reply, std::regex("^HTTP/1.1 4[0-9][0-9] ")))
        << reply.substr(0, 200);
  }
  EXPECT_NE(get(program.port, "/nowhere").find("HTTP/1.1 404 "), std::string::npos);
  EXPECT_NE(get(program.port, "/metrics").find("HTTP/1.1 200 "), std::string::npos);

  // Intake goes on, and the endpoint answers others, while the slow client holds a thread.
  add_steps(server.url(), "steps", 0, 1000);
  std::string s;
  EXPECT_TRUE(wait_until(
      [&] { return sample(s = program.scrape(), "event_historian_steps_processed_total") == 1000; },
      std::chrono::seconds(60)))
      << s;
  EXPECT_FALSE(slow_answered) << "the slow client was answered before intake was checked";
  reader.join();
  dribble.join();
  EXPECT_EQ(slow_reply.rfind("HTTP/1.1 408 ", 0), 0u) << slow_reply;

  // A stop is not held up by a client that never finishes its request: it ends before that
  // client's deadline (10 s) would have closed the connection.
  Client stalled(program.port);
  ASSERT_TRUE(stalled.send_text("GET /metrics HTTP/1.1\r\n"));
  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(8)), 0) << program.child.err();
  expect_all_steps(dir / "out" / "v2_event_historian_r1_walk.parquet", 1000);
}

// Wide steps (3,000 sensors, 24 kB of values each) under a byte bound far below what the row
// bound allows: the buffer is written early each time it holds the bound's bytes, the gauge
// that reports them never shows more, and the final file holds every step.
TEST(MetricsEndpoint, ByteBoundHoldsForWideSteps) {
  support::RedisServer server;
  support::TempDir dir;
  constexpr int kSensors = 3000;
  constexpr int kSteps = 3000;
  constexpr double kBound = 32 << 20;
  Program program(server, dir, {"--max-buffered-bytes", "32MiB"});
  std::atomic<bool> done{false};
  double most_bytes = 0;
  double most_rows = 0;
  int scrapes = 0;
  std::thread watch([&] {
    while (!done) {
      const std::string s = program.scrape();
      most_bytes = std::max(most_bytes, sample(s, "event_historian_buffered_bytes"));
      most_rows = std::max(most_rows, sample(s, "event_historian_rows_buffered"));
      ++scrapes;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  add_steps(server.url(), "steps", 0, kSteps, kSensors);
  // 200 MB of JSON: slow under the sanitizers.
  const bool all = wait_until(
      [&] {
        return group_field(server.url(), "steps", "lag") == 0 &&
               group_field(server.url(), "steps", "pending") == 0;
      },
      std::chrono::seconds(300));
  std::string s = program.scrape();
  done = true;
  watch.join();
  ASSERT_TRUE(all) << program.child.err();
  EXPECT_GT(scrapes, 10);
  // Each row holds at least its 24,008 bytes of values: a bound on bytes, not on rows.
  EXPECT_GT(most_bytes, kBound / 2);
  EXPECT_LE(most_bytes, kBound);
  EXPECT_LT(most_rows, kBound / (8 * kSensors)) << s;
  // No training result came: every part on disk was written because of the bound.
  const int early =
      static_cast<int>(sample(s, "event_historian_part_files_written_total{dataset=\"steps\"}"));
  EXPECT_GE(early, kSteps * 8 * kSensors / (32 << 20));
  EXPECT_EQ(
      support::sorted_entries(dir / "out" / "v2_event_historian_r1_walk.parquet.parts").size(),
      static_cast<std::size_t>(early));

  program.child.signal(SIGTERM);
  ASSERT_EQ(program.child.wait(std::chrono::seconds(120)), 0) << program.child.err();
  const std::string file = (dir / "out" / "v2_event_historian_r1_walk.parquet").string();
  auto reader = parquet::FileReader::open(file);
  ASSERT_EQ(reader->num_rows(), kSteps);
  ASSERT_EQ(reader->schema().size(), 10u + kSensors + 2 + 3); // the two indices, the entry id
  const parquet::Table t = reader->read_all();
  for (int n = 0; n < kSteps; ++n) {
    ASSERT_EQ(t.columns[3].ints[n], n);
    for (int k : {0, kSensors / 2, kSensors - 1})
      ASSERT_EQ(t.columns[10 + k].doubles[n], n * 0.5 + k) << n << " " << k;
  }
  // Every reader reads the whole file; the fixed columns and a few sensors are compared cell
  // by cell (the text of all 9 million cells would not fit one reader's output).
  const std::vector<std::string> names = {"run_id",     "episode_id", "step_number",
                                          "timestamp",  "reward",     "joint_0",
                                          "joint_1500", "joint_2999", "a_1"};
  std::vector<support::ExpectedColumn> expected;
  for (auto &column : support::expected_columns(reader->schema(), t))
    if (std::find(names.begin(), names.end(), column.name) != names.end())
      expected.push_back(std::move(column));
  ASSERT_EQ(expected.size(), names.size());
  const auto readouts = support::read_files_with_all_readers({file}, names);
  for (const auto &result : readouts.at(0).readers)
    EXPECT_EQ(support::mismatches(result, expected), "");
}

} // namespace
} // namespace end_to_end
