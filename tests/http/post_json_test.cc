#include "http/post_json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/http_sink.h"
#include "tests/support/redis_server.h"

namespace {

using namespace std::chrono_literals;

std::string error_of(const std::string &url, std::chrono::milliseconds timeout) {
  try {
    http::post_json(url, "{}", timeout);
  } catch (const http::Error &e) {
    return e.what();
  }
  return "no error";
}

TEST(PostJson, SendsPathBodyAndContentType) {
  support::HttpSink sink;
  // Large enough that curl would otherwise hold the body back for a 100-continue answer.
  std::string body = "{\"cycle\": 3, \"pad\": \"" + std::string(4000, 'x') + "\"}";
  long status = http::post_json(sink.url() + "/internal/jobs/j-1/cycle-metrics", body, 5s);
  EXPECT_EQ(status, 200);
  auto requests = sink.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/internal/jobs/j-1/cycle-metrics");
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  EXPECT_EQ(requests[0].header("expect"), "");
  EXPECT_EQ(requests[0].body, body);
}

TEST(PostJson, ReturnsAnErrorStatusWithoutThrowing) {
  support::HttpSink sink;
  sink.set_status(500);
  EXPECT_EQ(http::post_json(sink.url() + "/x", "{}", 5s), 500);
  EXPECT_EQ(sink.requests().size(), 1u);
}

TEST(PostJson, TimesOutWithinItsBound) {
  support::HttpSink sink;
  sink.set_delay(6s);
  auto start = std::chrono::steady_clock::now();
  std::string message = error_of(sink.url() + "/slow", 300ms);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(message.rfind("POST " + sink.url() + "/slow failed: Operation timed out", 0), 0u)
      << message;
  EXPECT_GE(took, 250ms); // curl's clock is coarser than ours
  EXPECT_LT(took, 2s);
  EXPECT_EQ(sink.wait_for_requests(1, 1s).size(), 1u) << "the request reached the server";
}

TEST(PostJson, UnreachablePortIsAnError) {
  const std::uint16_t port = support::free_port();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
  std::string message = error_of(url, 5s);
  EXPECT_EQ(message.rfind("POST " + url + " failed: Failed to connect to 127.0.0.1 port " +
                              std::to_string(port),
                          0),
            0u)
      << message;
}

} // namespace
