#include "redis/sentinel.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loop/loop.h"
#include "redis/connection.h"
#include "redis/error.h"
#include "tests/support/sentinel_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using redis::Connection;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Writes {
  std::uint16_t first_port = 0;
  std::uint16_t last_port = 0;
  Clock::time_point switched{}; // first write accepted by another server than the first
  int accepted = 0;
  int accepted_since_switch = 0;
  int failed = 0;
};

// XADDs through a Sentinel-managed connection every 5 ms until `until` says stop, noting
// where each accepted write went.
Writes write_through(const std::string &url, const std::string &stream,
                     const std::function<bool(const Writes &)> &until) {
  Writes w;
  loop::run([&]() -> asio::awaitable<void> {
    auto c =
        co_await Connection::connect(co_await asio::this_coro::executor, redis::parse_url(url), 2s);
    w.first_port = c->endpoint().port;
    for (int n = 0; !until(w); ++n) {
      try {
        co_await c->command("XADD", stream, "*", "n", std::to_string(n));
        w.last_port = c->endpoint().port;
        ++w.accepted;
        if (w.last_port != w.first_port && w.switched == Clock::time_point{})
          w.switched = Clock::now();
        if (w.switched != Clock::time_point{})
          ++w.accepted_since_switch;
      } catch (const redis::ConnectionError &) {
        ++w.failed;
      } catch (const redis::ResponseError &) {
        ++w.failed;
      }
      co_await loop::sleep_for(5ms);
    }
    c->close();
  }());
  return w;
}

// A failover the Sentinels run while the old master still answers (it stays writable until they
// demote it, many seconds later): the connection leaves it once the Sentinels name the new one,
// and what it writes from then on is on the new master. With every Sentinel gone, no master
// can be found, and the message says so.
TEST(Sentinel, FollowsAFailoverWhileTheOldMasterStillAnswers) {
  support::SentinelRig rig;
  const std::uint16_t old_master = rig.master_port();
  std::atomic<std::int64_t> visible_ns{0};
  std::thread fault([&] {
    std::this_thread::sleep_for(500ms);
    rig.failover();
    while (rig.all_name(old_master))
      std::this_thread::sleep_for(20ms);
    // Some Sentinel names the new master.
    visible_ns = Clock::now().time_since_epoch().count();
  });
  const auto deadline = Clock::now() + 30s;
  Writes w = write_through(rig.url(), "s", [&](const Writes &w) {
    return Clock::now() > deadline || w.accepted_since_switch >= 100;
  });
  fault.join();
  ASSERT_NE(w.last_port, old_master) << "the connection stayed on the old master";
  const std::uint16_t new_master = rig.master_port();
  EXPECT_EQ(w.last_port, new_master);
  const double delay = seconds(w.switched - Clock::time_point(Clock::duration(visible_ns.load())));
  std::printf("first write on the new master %.2f s after a Sentinel named it\n", delay);
  EXPECT_LT(delay, 3.0);
  // Every write accepted since the switch is on the new master.
  const redis::Reply length = support::SentinelRig::command(new_master, {"XLEN", "s"});
  EXPECT_GE(length.integer, w.accepted_since_switch);

  for (auto &s : rig.sentinels())
    s->stop();
  loop::run([&]() -> asio::awaitable<void> {
    std::string message;
    try {
      co_await Connection::connect(co_await asio::this_coro::executor, redis::parse_url(rig.url()),
                                   2s);
    } catch (const redis::ConnectionError &e) {
      message = e.what();
    }
    EXPECT_NE(message.find("No Sentinel (127.0.0.1:"), std::string::npos) << message;
    EXPECT_NE(message.find("named a master 'main': Sentinel 127.0.0.1:"), std::string::npos)
        << message;
  }());
}

// The master is killed: commands fail until a replica is promoted, then go to it.
TEST(Sentinel, FollowsThePromotionAfterTheMasterIsKilled) {
  support::SentinelRig rig;
  const std::uint16_t old_master = rig.master_port();
  std::atomic<std::int64_t> visible_ns{0};
  std::thread fault([&] {
    std::this_thread::sleep_for(500ms);
    ::kill(rig.server_at(old_master).pid(), SIGKILL);
    while (rig.master_port() == old_master)
      std::this_thread::sleep_for(20ms);
    visible_ns = Clock::now().time_since_epoch().count();
  });
  const auto deadline = Clock::now() + 30s;
  Writes w = write_through(rig.url(), "s", [&](const Writes &w) {
    return Clock::now() > deadline || w.accepted_since_switch >= 50;
  });
  fault.join();
  ASSERT_EQ(w.last_port, rig.master_port());
  EXPECT_GT(w.failed, 0);
  std::printf("first write on the new master %.2f s after a Sentinel named it\n",
              seconds(w.switched - Clock::time_point(Clock::duration(visible_ns.load()))));
}

// A Sentinel that names a replica as the master: no connection is made to it, and the message
// says why.
TEST(Sentinel, RefusesAnAddressThatIsNotAMaster) {
  support::RedisServer master;
  support::RedisServer replica(
      {.extra_args = {"--replicaof", "127.0.0.1", std::to_string(master.port())}});
  support::RedisServer sentinel(support::RedisServer::SentinelConfig{
      {"sentinel monitor wrong 127.0.0.1 " + std::to_string(replica.port()) + " 1"}});
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await Connection::connect(co_await asio::this_coro::executor,
                                   redis::parse_url("redis+sentinel://127.0.0.1:" +
                                                    std::to_string(sentinel.port()) + "/wrong"),
                                   1s);
    } catch (const redis::ConnectionError &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message, "The Sentinels name 127.0.0.1:" + std::to_string(replica.port()) +
                         " as master 'wrong', but it answers ROLE with 'slave'");
}

} // namespace
