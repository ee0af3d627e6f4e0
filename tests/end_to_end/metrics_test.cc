// The metrics and health endpoint of the real program, scraped over plain sockets while it
// consumes a real redis-server's stream.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "tests/end_to_end/program.h"

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
  Program(const support::RedisServer &server, const support::TempDir &dir)
      : child(
            [&] {
              Args args = walk_run(server, dir);
              args.insert(args.end(), {"--metrics-address", ":0", "--log-level", "debug",
                                       "--redis-timeout", "1"});
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

} // namespace
} // namespace end_to_end
