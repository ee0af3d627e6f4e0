#include "networking/event_base/logger.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/capturing_logger.h"

namespace {

using networking::event_base::get_logger;
using networking::event_base::LogLevel;

const std::regex
    kLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} WARNING logger_test: x=3 'a b'\n)");

TEST(Logger, DefaultSinkWritesOneTimestampedLineToStandardError) {
  auto previous = networking::event_base::set_log_sink(nullptr);
  auto threshold = networking::event_base::log_threshold();
  networking::event_base::set_log_threshold(LogLevel::kWarning);
  testing::internal::CaptureStderr();
  get_logger("logger_test").warning("x=%d '%s'", 3, "a b");
  get_logger("logger_test").debug("below the threshold");
  std::string written = testing::internal::GetCapturedStderr();
  networking::event_base::set_log_sink(std::move(previous));
  networking::event_base::set_log_threshold(threshold);
  EXPECT_TRUE(std::regex_match(written, kLine)) << written;
}

TEST(Logger, ThresholdDropsLowerLevels) {
  const struct {
    LogLevel threshold;
    std::vector<std::string> want;
  } cases[] = {
      {LogLevel::kDebug, {"DEBUG d", "WARNING w", "ERROR e"}},
      {LogLevel::kWarning, {"WARNING w", "ERROR e"}},
      {LogLevel::kError, {"ERROR e"}},
  };
  for (const auto &c : cases) {
    support::CapturingLogger captured(c.threshold);
    auto &logger = get_logger("logger_test");
    logger.debug("d");
    logger.warning("w");
    logger.error("e");
    EXPECT_EQ(captured.lines(), c.want) << networking::event_base::level_name(c.threshold);
  }
}

TEST(Logger, LongMessagesAreFormattedWhole) {
  support::CapturingLogger captured;
  std::string long_text(5000, 'z');
  get_logger("logger_test").error("[%s] %s|%d", "tag", long_text.c_str(), 7);
  EXPECT_TRUE(captured.contains(LogLevel::kError, "[tag] " + long_text + "|7"));
}

TEST(Logger, OneLoggerPerName) {
  EXPECT_EQ(&get_logger("a.b"), &get_logger("a.b"));
  EXPECT_NE(&get_logger("a.b"), &get_logger("a.c"));
  EXPECT_EQ(get_logger("a.b").name(), "a.b");
}

TEST(Logger, RecordsFromManyThreadsArriveWhole) {
  support::CapturingLogger captured;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i)
        get_logger("logger_test").warning("thread %d record %d", t, i);
    });
  }
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(captured.count(LogLevel::kWarning, "thread "), 2000u);
  EXPECT_TRUE(captured.contains(LogLevel::kWarning, "thread 3 record 499"));
}

TEST(CapturingLogger, RestoresThePreviousSinkAndThreshold) {
  support::CapturingLogger outer(LogLevel::kWarning);
  {
    support::CapturingLogger inner(LogLevel::kDebug);
    get_logger("logger_test").debug("to inner");
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"DEBUG to inner"});
  }
  EXPECT_EQ(networking::event_base::log_threshold(), LogLevel::kWarning);
  get_logger("logger_test").debug("dropped");
  get_logger("logger_test").warning("to outer");
  EXPECT_EQ(outer.lines(), std::vector<std::string>{"WARNING to outer"});
}

TEST(LogLevel, NamesAndParsing) {
  const struct {
    const char *text;
    std::optional<LogLevel> level;
  } cases[] = {{"debug", LogLevel::kDebug}, {"WARNING", LogLevel::kWarning},
               {"Error", LogLevel::kError}, {"info", std::nullopt},
               {"", std::nullopt},          {"warn", std::nullopt}};
  for (const auto &c : cases) {
    EXPECT_EQ(networking::event_base::parse_log_level(c.text), c.level) << c.text;
  }
  EXPECT_EQ(networking::event_base::level_name(LogLevel::kDebug), "DEBUG");
  EXPECT_EQ(networking::event_base::level_name(LogLevel::kWarning), "WARNING");
  EXPECT_EQ(networking::event_base::level_name(LogLevel::kError), "ERROR");
}

} // namespace
