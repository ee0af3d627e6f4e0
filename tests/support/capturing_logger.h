#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "networking/event_base/logger.h"

namespace support {

// Captures every log record while it lives: installs its own sink and threshold, and puts
// back the previous sink and threshold when destroyed. Thread-safe: workers may log while the
// test reads.
class CapturingLogger {
public:
  using LogLevel = networking::event_base::LogLevel;

  struct Record {
    LogLevel level;
    std::string logger;
    std::string message;
  };

  explicit CapturingLogger(LogLevel threshold = LogLevel::kDebug);
  ~CapturingLogger();
  CapturingLogger(const CapturingLogger &) = delete;
  CapturingLogger &operator=(const CapturingLogger &) = delete;

  std::vector<Record> records() const;
  // "<LEVEL> <message>" per record, in order: "ERROR [EventHistorian] ...".
  std::vector<std::string> lines() const;
  // Messages of that level, in order.
  std::vector<std::string> messages(LogLevel level) const;
  // Whether a record of that level has exactly that message.
  bool contains(LogLevel level, std::string_view message) const;
  // Records of that level whose message starts with prefix.
  std::size_t count(LogLevel level, std::string_view prefix = "") const;
  void clear();

private:
  mutable std::mutex _mutex;
  std::vector<Record> _records;
  networking::event_base::LogSink _previous_sink;
  LogLevel _previous_threshold;
};

} // namespace support
