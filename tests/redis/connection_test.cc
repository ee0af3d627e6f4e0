#include "redis/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "loop/loop.h"
#include "redis/error.h"
#include "tests/support/redis_server.h"

namespace {

using namespace std::chrono_literals;
using redis::Connection;
using redis::Reply;

asio::awaitable<std::shared_ptr<Connection>> connect_to(const std::string &url) {
  auto executor = co_await asio::this_coro::executor;
  co_return co_await Connection::connect(executor, redis::parse_url(url));
}

std::string refused(std::uint16_t port) {
  return "Connection refused (127.0.0.1:" + std::to_string(port) + ")";
}

// ASSERT_* cannot return from a coroutine: `if (!holds(...)) co_return;` does it instead.
bool holds(bool condition, const char *what) {
  if (!condition)
    ADD_FAILURE() << "expected " << what;
  return condition;
}

std::size_t count_lines(const std::string &text) {
  std::size_t n = 0;
  for (char c : text)
    n += c == '\n';
  return n;
}

// One server for the suite; every test uses keys named after itself.
class ConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!server)
      server = std::make_unique<support::RedisServer>();
    key = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  static void TearDownTestSuite() { server.reset(); }

  static std::unique_ptr<support::RedisServer> server;
  std::string key;
};
std::unique_ptr<support::RedisServer> ConnectionTest::server;

TEST_F(ConnectionTest, RepliesOfEachType) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    std::string binary = "a";
    binary += '\0';
    binary += "b\r\nc";
    Reply set = co_await c->command("SET", key, binary);
    EXPECT_EQ(set.type, Reply::Type::kStatus);
    EXPECT_EQ(set.str, "OK");
    Reply get = co_await c->command("GET", key);
    EXPECT_EQ(get.type, Reply::Type::kString);
    EXPECT_EQ(get.str, binary);
    Reply missing = co_await c->command("GET", key + ":missing");
    EXPECT_EQ(missing.type, Reply::Type::kNil);
    Reply count = co_await c->command("RPUSH", key + ":list", "x", "", "z");
    EXPECT_EQ(count.type, Reply::Type::kInteger);
    EXPECT_EQ(count.integer, 3);
    Reply list = co_await c->command("LRANGE", key + ":list", "0", "-1");
    if (!holds(list.type == Reply::Type::kArray, "list.type == Reply::Type::kArray"))
      co_return;
    if (!holds(list.elements.size() == 3u, "list.elements.size() == 3u"))
      co_return;
    EXPECT_EQ(list.elements[1].type, Reply::Type::kString);
    EXPECT_EQ(list.elements[1].str, "");
    EXPECT_EQ(list.elements[2].str, "z");
  }());
}

TEST_F(ConnectionTest, NestedRepliesAndErrorsInsideArrays) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    // Arrays in arrays, with nil and integer elements, keep their shape.
    Reply nested = co_await c->command("EVAL", "return {1, {'a', false, {}}, 'b'}", "0");
    if (!holds(nested.type == Reply::Type::kArray && nested.elements.size() == 3u,
               "three elements"))
      co_return;
    EXPECT_EQ(nested.elements[0].integer, 1);
    const Reply &inner = nested.elements[1];
    if (!holds(inner.type == Reply::Type::kArray && inner.elements.size() == 3u, "inner array"))
      co_return;
    EXPECT_EQ(inner.elements[0].str, "a");
    EXPECT_EQ(inner.elements[1].type, Reply::Type::kNil);
    EXPECT_EQ(inner.elements[2].type, Reply::Type::kArray);
    EXPECT_TRUE(inner.elements[2].elements.empty());
    EXPECT_EQ(nested.elements[2].str, "b");
    // An error inside an array fails that command only; the next reply is whole again.
    co_await c->command("SET", key, "text");
    co_await c->command("MULTI");
    co_await c->command("INCR", key);
    co_await c->command("GET", key);
    std::string message;
    try {
      co_await c->command("EXEC");
    } catch (const redis::ResponseError &e) {
      message = e.what();
    }
    EXPECT_EQ(message, "ERR value is not an integer or out of range");
    Reply get = co_await c->command("GET", key);
    EXPECT_EQ(get.str, "text");
  }());
}

TEST_F(ConnectionTest, CommandsQueuedInOneTurnGoOutInOneWriteAndAnswerInOrder) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    std::vector<long long> seen;
    const auto writes_before = c->writes();
    for (int i = 0; i < 10; ++i) {
      c->send({"INCR", key}, [&](const std::exception_ptr &error, const Reply &reply) {
        EXPECT_FALSE(error);
        seen.push_back(reply.integer);
      });
    }
    Reply total = co_await c->command("GET", key);
    EXPECT_EQ(c->writes() - writes_before, 1u);
    EXPECT_EQ(seen, (std::vector<long long>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(total.str, "10");
  }());
}

TEST_F(ConnectionTest, ReadLoopPatternAcksAndNextReadShareAWrite) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    co_await c->command("XGROUP", "CREATE", key, "g", "0", "MKSTREAM");
    for (int i = 0; i < 3; ++i) {
      co_await c->command("XADD", key, "*", "data", "{\"i\": " + std::to_string(i) + "}");
    }
    const std::vector<std::string> read = {"XREADGROUP", "GROUP", "g",       "c", "COUNT", "10",
                                           "BLOCK",      "1",     "STREAMS", key, ">"};
    Reply batch = co_await c->command(read);
    // [[stream, [[id, [field, value, ...]], ...]]]
    if (!holds(batch.type == Reply::Type::kArray, "batch.type == Reply::Type::kArray"))
      co_return;
    if (!holds(batch.elements.size() == 1u, "batch.elements.size() == 1u"))
      co_return;
    EXPECT_EQ(batch.elements[0].elements[0].str, key);
    const auto &entries = batch.elements[0].elements[1].elements;
    if (!holds(entries.size() == 3u, "entries.size() == 3u"))
      co_return;
    EXPECT_EQ(entries[2].elements[1].elements[0].str, "data");
    EXPECT_EQ(entries[2].elements[1].elements[1].str, "{\"i\": 2}");

    const auto writes_before = c->writes();
    std::vector<long long> acked;
    for (const auto &entry : entries) {
      c->send(
          {"XACK", key, "g", entry.elements[0].str},
          [&](const std::exception_ptr &, const Reply &reply) { acked.push_back(reply.integer); });
    }
    Reply next = co_await c->command(read);
    EXPECT_EQ(c->writes() - writes_before, 1u);
    EXPECT_EQ(acked, (std::vector<long long>{1, 1, 1}));
    EXPECT_EQ(next.type, Reply::Type::kNil) << "BLOCK 1 with nothing new is a nil reply";
    Reply pending = co_await c->command("XPENDING", key, "g");
    EXPECT_EQ(pending.elements[0].integer, 0);
  }());
}

TEST_F(ConnectionTest, ErrorReplyCarriesTheServersTextAndKeepsTheConnection) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    co_await c->command("XGROUP", "CREATE", key, "g", "$", "MKSTREAM");
    std::string message;
    try {
      co_await c->command("XGROUP", "CREATE", key, "g", "$", "MKSTREAM");
    } catch (const redis::ResponseError &e) {
      message = e.what();
    }
    EXPECT_EQ(message, "BUSYGROUP Consumer Group name already exists");

    std::string sent_error;
    c->send({"XGROUP", "CREATE", key, "g", "$"},
            [&](const std::exception_ptr &error, const Reply &) {
              try {
                if (error)
                  std::rethrow_exception(error);
              } catch (const redis::ResponseError &e) {
                sent_error = e.what();
              }
            });
    Reply pong = co_await c->command("PING");
    EXPECT_EQ(sent_error, "BUSYGROUP Consumer Group name already exists");
    EXPECT_EQ(pong.str, "PONG");
  }());
}

TEST_F(ConnectionTest, LargeValuesCrossManyReadsAndWrites) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
      big[i] = static_cast<char>(i * 131 % 251);
    co_await c->command("SET", key, big);
    c->send({"GET", key}, nullptr);
    Reply got = co_await c->command("GET", key);
    EXPECT_TRUE(got.str == big) << "sizes " << got.str.size() << " and " << big.size();
  }());
}

TEST_F(ConnectionTest, DrainAwaitsEveryReplySent) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    int answered = 0;
    for (int i = 0; i < 100; ++i) {
      c->send({"INCR", key}, [&](const std::exception_ptr &, const Reply &) { ++answered; });
    }
    co_await c->drain();
    EXPECT_EQ(answered, 100);
    EXPECT_EQ(c->pending(), 0u);
    co_await c->drain(); // nothing outstanding: returns at once
  }());
}

TEST_F(ConnectionTest, CancelledCommandDropsItsReplyAndTheNextGetsItsOwn) {
  bool cancelled = false;
  asio::cancellation_signal signal;
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    auto started = std::chrono::steady_clock::now();
    auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(
        executor,
        [&, c]() -> asio::awaitable<void> {
          co_await asio::this_coro::throw_if_cancelled(false);
          try {
            co_await c->command("BLPOP", key, "0.3");
          } catch (const loop::Cancelled &) {
            cancelled = true;
          }
        },
        asio::bind_cancellation_slot(signal.slot(), asio::detached));
    co_await loop::sleep_for(20ms);
    signal.emit(asio::cancellation_type::terminal);
    co_await loop::sleep_for(5ms);
    EXPECT_TRUE(cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);
    Reply echo = co_await c->command("ECHO", "mine"); // queued behind the BLPOP's nil
    EXPECT_EQ(echo.str, "mine");
  }());
}

TEST_F(ConnectionTest, DroppedConnectionClosesItsSocket) {
  loop::run([&]() -> asio::awaitable<void> {
    auto observer = co_await connect_to(server->url());
    auto baseline = count_lines((co_await observer->command("CLIENT", "LIST")).str);
    auto c = co_await connect_to(server->url());
    co_await c->command("PING");
    EXPECT_EQ(count_lines((co_await observer->command("CLIENT", "LIST")).str), baseline + 1);
    c.reset();
    std::size_t now = 0;
    for (int attempt = 0; attempt < 50; ++attempt) { // at most 1 s
      now = count_lines((co_await observer->command("CLIENT", "LIST")).str);
      if (now == baseline)
        break;
      co_await loop::sleep_for(20ms);
    }
    EXPECT_EQ(now, baseline);
  }());
}

TEST_F(ConnectionTest, CloseFailsPendingCommandsAndIsFinal) {
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(server->url());
    const std::string closed =
        "Connection closed (127.0.0.1:" + std::to_string(server->port()) + ")";
    std::string pending_error;
    c->send({"BLPOP", key, "1"}, [&](const std::exception_ptr &error, const Reply &) {
      try {
        if (error)
          std::rethrow_exception(error);
      } catch (const redis::ConnectionError &e) {
        pending_error = e.what();
      }
    });
    co_await loop::sleep_for(10ms);
    c->close();
    EXPECT_EQ(pending_error, closed);
    EXPECT_FALSE(c->is_open());
    std::string later_error;
    try {
      co_await c->command("PING");
    } catch (const redis::ConnectionError &e) {
      later_error = e.what();
    }
    EXPECT_EQ(later_error, closed);
    EXPECT_FALSE(c->is_open());
  }());
}

TEST(ConnectionFailure, UnreachablePortIsAConnectionErrorNamingIt) {
  const std::uint16_t port = support::free_port();
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await connect_to("redis://127.0.0.1:" + std::to_string(port));
    } catch (const redis::ConnectionError &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message, refused(port));
}

TEST(ConnectionFailure, WrongPasswordIsAResponseError) {
  support::RedisServer server({.extra_args = {"--requirepass", "s3cret"}});
  std::string message;
  loop::run([&]() -> asio::awaitable<void> {
    try {
      co_await connect_to("redis://:wrong@127.0.0.1:" + std::to_string(server.port()));
    } catch (const redis::ResponseError &e) {
      message = e.what();
    }
  }());
  EXPECT_EQ(message.substr(0, 9), "WRONGPASS") << message;
}

// The server goes away under an open connection and comes back on the same port with its
// data (append-only file): commands fail while it is down, and the first command after it is
// back reconnects with AUTH and SELECT done again.
TEST(ConnectionFailure, ReconnectsByItselfAfterTheServerRestarts) {
  support::RedisServer server({.appendonly = true, .extra_args = {"--requirepass", "s3cret"}});
  const std::string url = "redis://:s3cret@127.0.0.1:" + std::to_string(server.port()) + "/3";
  loop::run([&]() -> asio::awaitable<void> {
    auto c = co_await connect_to(url);
    co_await c->command("SET", "kept", "across the restart");
    server.stop();

    bool first_failed = false;
    try {
      co_await c->command("GET", "kept");
    } catch (const redis::ConnectionError &) {
      first_failed = true;
    }
    EXPECT_TRUE(first_failed);
    EXPECT_FALSE(c->is_open());

    for (int attempt = 0; attempt < 3; ++attempt) {
      std::string message;
      try {
        co_await c->command("GET", "kept");
      } catch (const redis::ConnectionError &e) {
        message = e.what();
      }
      EXPECT_EQ(message, refused(server.port())) << "attempt " << attempt;
    }

    server.start();
    Reply kept = co_await c->command("GET", "kept");
    EXPECT_EQ(kept.str, "across the restart");
    EXPECT_TRUE(c->is_open());
    Reply info = co_await c->command("CLIENT", "INFO");
    EXPECT_NE(info.str.find(" db=3 "), std::string::npos) << info.str;
  }());
}

// A server that stops answering breaks the connection after the time-out: every pipelined
// command fails, and so does opening a connection (its AUTH goes unanswered). The first
// command after the server answers again reconnects.
TEST(ConnectionFailure, FrozenServerTimesOutAndTheNextCommandReconnects) {
  support::RedisServer server({.extra_args = {"--requirepass", "s3cret"}});
  const auto endpoint =
      redis::parse_url("redis://:s3cret@127.0.0.1:" + std::to_string(server.port()));
  const std::string timed_out =
      "No reply from Redis within 0.3 s (127.0.0.1:" + std::to_string(server.port()) + ")";
  loop::run([&]() -> asio::awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    auto c = co_await Connection::connect(executor, endpoint, 300ms);
    co_await c->command("PING");
    server.freeze();
    std::vector<std::string> errors;
    const auto record = [&](const std::exception_ptr &error, const Reply &) {
      try {
        if (error)
          std::rethrow_exception(error);
      } catch (const redis::ConnectionError &e) {
        errors.push_back(e.what());
      }
    };
    c->send({"SET", "k", "v"}, record);
    c->send({"GET", "k"}, record);
    co_await c->drain();
    EXPECT_EQ(errors, (std::vector<std::string>{timed_out, timed_out}));
    std::string opening;
    try {
      co_await Connection::connect(executor, endpoint, 300ms);
    } catch (const redis::ConnectionError &e) {
      opening = e.what();
    }
    EXPECT_EQ(opening, timed_out);
    server.thaw();
    Reply pong = co_await c->command("PING");
    EXPECT_EQ(pong.str, "PONG");
  }());
}

} // namespace
