#include "redis/cluster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "loop/loop.h"
#include "redis/connection.h"
#include "redis/error.h"
#include "tests/support/cluster_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using redis::Connection;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

TEST(KeySlot, AgreesWithTheServer) {
  support::RedisServer node(support::RedisServerOptions{
      .port = support::free_cluster_port(), .extra_args = {"--cluster-enabled", "yes"}});
  std::vector<std::string> keys = {
      "",  "123456789", "{user1000}.following", "foo{}{bar}",     "foo{{bar}}zap", "foo{bar}{zap}",
      "{", "}{",        "{job-7}:steps",        "{job-7}:results"};
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string key;
    const int length = static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k)
      key += "ab{}\xff\x00z"[random() % 7];
    keys.push_back(key);
  }
  for (const std::string &key : keys) {
    const redis::Reply slot = support::command_at(node.port(), {"CLUSTER", "KEYSLOT", key});
    EXPECT_EQ(redis::key_slot(key), slot.integer) << key;
  }
}

// XADDs to one stream through a cluster connection every 2 ms, counting what was accepted.
class Writer {
public:
  Writer(const std::string &url, std::string stream) : _stream(std::move(stream)) {
    _thread = std::thread([this, url] {
      loop::run([&]() -> asio::awaitable<void> {
        auto c = co_await Connection::connect(co_await asio::this_coro::executor,
                                              redis::parse_url(url), 2s);
        cluster = c->cluster().get();
        while (_running) {
          try {
            co_await c->command("XADD", _stream, "*", "n", std::to_string(accepted.load()));
            ++accepted;
          } catch (const std::exception &) {
            ++failed;
          }
          co_await loop::sleep_for(2ms);
        }
        cluster = nullptr;
        c->close();
      }());
    });
  }
  ~Writer() { stop(); }
  void stop() {
    _running = false;
    if (_thread.joinable())
      _thread.join();
  }
  // Waits for `more` further accepted writes.
  bool go_on(int more = 50) {
    const int target = accepted + more;
    const auto deadline = Clock::now() + 30s;
    while (accepted < target && Clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    return accepted >= target;
  }

  std::atomic<int> accepted{0};
  std::atomic<int> failed{0};
  // The writer's router, while it runs.
  std::atomic<redis::Cluster *> cluster{nullptr};

private:
  std::string _stream;
  std::atomic<bool> _running{true};
  std::thread _thread;
};

redis::Reply through(const std::string &url, std::vector<std::string> args) {
  return loop::run([&]() -> asio::awaitable<redis::Reply> {
    auto c =
        co_await Connection::connect(co_await asio::this_coro::executor, redis::parse_url(url), 2s);
    redis::Reply r = co_await c->command(std::move(args));
    c->close();
    co_return r;
  }());
}

TEST(Cluster, RoutesEveryCommandAndFollowsEveryMove) {
  support::ClusterRig rig;
  const std::string url = rig.url();

  // Keys on every master land there, and a read of streams in two slots answers as one.
  for (int i = 0; i < 12; ++i)
    through(url, {"XADD", "s" + std::to_string(i), "*", "i", std::to_string(i)});
  for (int i = 0; i < 12; ++i) {
    const std::string key = "s" + std::to_string(i);
    EXPECT_EQ(support::command_at(rig.master_of(redis::key_slot(key)), {"XLEN", key}).integer, 1);
  }
  std::string far = "s1";
  for (int i = 1; rig.master_of(redis::key_slot(far)) == rig.master_of(redis::key_slot("s0"));)
    far = "s" + std::to_string(++i);
  through(url, {"XGROUP", "CREATE", "s0", "g", "0"});
  through(url, {"XGROUP", "CREATE", far, "g", "0"});
  const redis::Reply both =
      through(url, {"XREADGROUP", "GROUP", "g", "c", "BLOCK", "1", "STREAMS", far, "s0", ">", ">"});
  ASSERT_EQ(both.elements.size(), 2u);
  EXPECT_EQ(both.elements[0].elements[0].str, far);
  EXPECT_EQ(both.elements[1].elements[0].str, "s0");
  EXPECT_EQ(both.elements[1].elements[1].elements.at(0).elements[1].elements[1].str, "0");

  // The stream moved: its slot is among the first slots of its master, which reshard moves.
  const std::uint16_t first_master = rig.nodes()[0]->port();
  const std::string key = rig.key_in_slots("w", "", rig.first_slot_of(first_master), 50);
  const std::uint16_t slot = redis::key_slot(key);
  Writer writer(url, key);
  ASSERT_TRUE(writer.go_on());
  auto other_master = [&](std::uint16_t than) {
    for (std::uint16_t m : rig.masters())
      if (m != than)
        return m;
    return std::uint16_t{0};
  };
  auto counted = [&](auto field) -> std::uint64_t {
    return (writer.cluster.load()->counts().*field).load();
  };

  // A migration held open: the key gone to the target, the slot not yet handed over.
  std::uint16_t from = rig.master_of(slot);
  std::uint16_t to = other_master(from);
  rig.begin_migration(slot, from, to);
  rig.migrate_key(from, to, key);
  const std::uint64_t asked = counted(&redis::Cluster::Counts::ask);
  ASSERT_TRUE(writer.go_on());
  EXPECT_GT(counted(&redis::Cluster::Counts::ask), asked + 40);
  rig.finish_migration(slot, from, to);
  ASSERT_TRUE(writer.go_on());

  // redis-cli moves the slot back with the first slots of the target.
  rig.wait_settled();
  from = rig.master_of(slot);
  ASSERT_EQ(from, to);
  rig.reshard(from, first_master, 100);
  ASSERT_EQ(rig.master_of(slot), first_master);
  ASSERT_TRUE(writer.go_on());
  EXPECT_GT(counted(&redis::Cluster::Counts::moved), 0u);

  // A failover the replica asks for: nothing lost.
  const std::uint16_t replica = *rig.replica_of(first_master);
  rig.failover(replica);
  ASSERT_TRUE(writer.go_on());
  // Every write accepted is there; the one under way may be too.
  const int accepted = writer.accepted;
  const std::int64_t length = through(url, {"XLEN", key}).integer;
  EXPECT_GE(length, accepted);
  EXPECT_LE(length, writer.accepted + 1);
  EXPECT_EQ(writer.failed, 0);

  // The master killed: writes fail until the replica is promoted, then go on.
  rig.wait_settled();
  const std::uint16_t master = rig.master_of(slot);
  ASSERT_EQ(master, replica);
  const auto killed = Clock::now();
  rig.kill(master);
  // The write under way may have been accepted before the kill.
  ASSERT_TRUE(writer.go_on(2));
  std::printf("writes went on %.2f s after the master was killed\n",
              seconds(Clock::now() - killed));
  ASSERT_TRUE(writer.go_on());
  EXPECT_GT(counted(&redis::Cluster::Counts::refreshes), 1u);
  writer.stop();
  EXPECT_NE(rig.master_of(slot, master), master);
}

TEST(ClusterStart, SaysWhyNoSeedServes) {
  const std::uint16_t a = support::free_port();
  const std::uint16_t b = support::free_port();
  auto start = [](const std::string &url) -> std::string {
    try {
      through(url, {"PING"});
    } catch (const redis::ConnectionError &e) {
      return e.what();
    }
    return "connected";
  };
  const std::string none = "127.0.0.1:" + std::to_string(a);
  const std::string other = "127.0.0.1:" + std::to_string(b);
  EXPECT_EQ(start("redis+cluster://" + none + "," + other),
            "no seed node of the Redis Cluster answers: " + none + " (Connection refused (" + none +
                ")); " + other + " (Connection refused (" + other + "))");
  support::RedisServer single;
  const std::string address = "127.0.0.1:" + std::to_string(single.port());
  EXPECT_EQ(start("redis+cluster://" + address),
            address +
                " is not a Redis Cluster node (ERR This instance has cluster support disabled): "
                "a single server takes a redis:// URL");
}

} // namespace
