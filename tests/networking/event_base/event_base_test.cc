#include "networking/event_base/event_base.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "loop/loop.h"
#include "redis/error.h"
#include "tests/support/redis_server.h"

namespace {

using networking::event_base::EventBase;
using redis::Reply;

// Field names and values of every entry of a stream, in order.
asio::awaitable<std::vector<std::vector<std::string>>> read_stream(redis::Connection &c,
                                                                   const std::string &stream) {
  Reply range = co_await c.command("XRANGE", stream, "-", "+");
  std::vector<std::vector<std::string>> entries;
  for (const auto &entry : range.elements) {
    std::vector<std::string> fields;
    for (const auto &word : entry.elements[1].elements)
      fields.push_back(word.str);
    entries.push_back(fields);
  }
  co_return entries;
}

asio::awaitable<std::shared_ptr<redis::Connection>> observer(const support::RedisServer &s) {
  auto executor = co_await asio::this_coro::executor;
  co_return co_await redis::Connection::connect(executor, redis::parse_url(s.url()));
}

class EventBaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!server)
      server = std::make_unique<support::RedisServer>();
    name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  static void TearDownTestSuite() { server.reset(); }

  static std::unique_ptr<support::RedisServer> server;
  std::string name;
};
std::unique_ptr<support::RedisServer> EventBaseTest::server;

TEST_F(EventBaseTest, ConnectGivesAWorkingClientAndKeepsTheConfiguration) {
  EventBase base(server->url(), name + ":in", name + ":out", "group");
  EXPECT_EQ(base.redis_url, server->url());
  EXPECT_EQ(base.input_topic, name + ":in");
  EXPECT_EQ(base.output_topic, name + ":out");
  EXPECT_EQ(base.consumer_group, "group");
  EXPECT_EQ(base.redis_client, nullptr);
  loop::run([&]() -> asio::awaitable<void> {
    co_await base.connect();
    if (!base.redis_client)
      co_return;
    EXPECT_TRUE(base.redis_client->is_open());
    Reply pong = co_await base.redis_client->command("PING");
    EXPECT_EQ(pong.str, "PONG");
    co_await base.disconnect();
  }());
}

TEST_F(EventBaseTest, ConsumerNamesNameTheProcessAndDifferPerInstance) {
  EventBase a(server->url(), "in", "out", "g");
  EventBase b(server->url(), "in", "out", "g");
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::regex form("historian-" + std::string(host) + "-" + std::to_string(getpid()) +
                        "-[0-9a-f]{6}");
  EXPECT_TRUE(std::regex_match(a.consumer_name, form)) << a.consumer_name;
  EXPECT_NE(a.consumer_name, b.consumer_name);
}

TEST_F(EventBaseTest, PublishMessageAddsTheReplyToTheOutputStream) {
  EventBase base(server->url(), name + ":in", name + ":out", "g");
  std::vector<std::vector<std::string>> entries;
  loop::run([&]() -> asio::awaitable<void> {
    co_await base.connect();
    json::Object data;
    data.insert("a", json::Value(1));
    data.insert("b", json::Value(json::Array{json::Value(1.5), json::Value("x")}));
    co_await base.publish_message(json::Value(std::move(data)), "c-1", "u-1");
    co_await base.publish_message(json::Value(nullptr), std::nullopt, std::nullopt);
    co_await base.publish_message(json::Value("only unique"), std::nullopt, "u-2");
    auto c = co_await observer(*server);
    entries = co_await read_stream(*c, name + ":out");
    co_await base.disconnect();
  }());
  const std::vector<std::vector<std::string>> want = {
      {"data", R"({"a": 1, "b": [1.5, "x"]})", "correlation_id", "c-1", "unique_id", "u-1"},
      {"data", "null"},
      {"data", R"("only unique")", "unique_id", "u-2"},
  };
  EXPECT_EQ(entries, want);
}

TEST_F(EventBaseTest, DisconnectFlushesUnawaitedCommandsThenCloses) {
  EventBase base(server->url(), name, name + ":out", "g");
  base._is_running = true;
  long long pending_after = -1;
  loop::run([&]() -> asio::awaitable<void> {
    co_await base.connect();
    auto &client = *base.redis_client;
    co_await client.command("XGROUP", "CREATE", name, "g", "0", "MKSTREAM");
    co_await client.command("XADD", name, "*", "data", "{}");
    Reply read = co_await client.command("XREADGROUP", "GROUP", "g", "c", "COUNT", "10", "STREAMS",
                                         name, ">");
    const std::string id = read.elements[0].elements[1].elements[0].elements[0].str;
    client.send({"XACK", name, "g", id}, nullptr); // not awaited, as the read loop does
    co_await base.disconnect();
    EXPECT_EQ(base.redis_client, nullptr);
    co_await base.disconnect(); // a second run finds nothing to close
    auto c = co_await observer(*server);
    Reply pending = co_await c->command("XPENDING", name, "g");
    pending_after = pending.elements[0].integer;
  }());
  EXPECT_FALSE(base._is_running);
  EXPECT_EQ(pending_after, 0) << "the XACK queued before disconnect reached the server";
}

TEST_F(EventBaseTest, PublishWithoutAConnectionFails) {
  EventBase base(server->url(), "in", "out", "g");
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await base.publish_message(json::Value(1), std::nullopt, std::nullopt);
    } catch (const std::runtime_error &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message, "Not connected to Redis");
}

TEST(EventBaseConnect, BadUrlIsAnInvalidArgument) {
  EventBase base("http://127.0.0.1:6379", "in", "out", "g");
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await base.connect();
    } catch (const std::invalid_argument &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message,
            "Invalid Redis URL 'http://127.0.0.1:6379': unsupported scheme 'http', expected "
            "redis://, rediss://, redis+sentinel://, rediss+sentinel://, redis+cluster:// or "
            "rediss+cluster://");
  EXPECT_EQ(base.redis_client, nullptr);
}

TEST(EventBaseConnect, UnreachablePortIsAConnectionError) {
  const std::uint16_t port = support::free_port();
  EventBase base("redis://127.0.0.1:" + std::to_string(port), "in", "out", "g");
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await base.connect();
    } catch (const redis::ConnectionError &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message, "Connection refused (127.0.0.1:" + std::to_string(port) + ")");
  EXPECT_EQ(base.redis_client, nullptr);
}

} // namespace
