#include "tests/support/capturing_logger.h"

namespace support {

namespace eb = networking::event_base;

CapturingLogger::CapturingLogger(LogLevel threshold) : _previous_threshold(eb::log_threshold()) {
  _previous_sink = eb::set_log_sink(
      [this](LogLevel level, const std::string &logger, const std::string &message) {
        std::lock_guard lock(_mutex);
        _records.push_back({level, logger, message});
      });
  eb::set_log_threshold(threshold);
}

CapturingLogger::~CapturingLogger() {
  // Once set_log_sink returns, no thread is inside this object's sink any more.
  eb::set_log_sink(std::move(_previous_sink));
  eb::set_log_threshold(_previous_threshold);
}

std::vector<CapturingLogger::Record> CapturingLogger::records() const {
  std::lock_guard lock(_mutex);
  return _records;
}

std::vector<std::string> CapturingLogger::lines() const {
  std::vector<std::string> out;
  for (const auto &record : records()) {
    out.push_back(std::string(eb::level_name(record.level)) + " " + record.message);
  }
  return out;
}

std::vector<std::string> CapturingLogger::messages(LogLevel level) const {
  std::vector<std::string> out;
  for (const auto &record : records()) {
    if (record.level == level)
      out.push_back(record.message);
  }
  return out;
}

bool CapturingLogger::contains(LogLevel level, std::string_view message) const {
  for (const auto &record : records()) {
    if (record.level == level && record.message == message)
      return true;
  }
  return false;
}

std::size_t CapturingLogger::count(LogLevel level, std::string_view prefix) const {
  std::size_t n = 0;
  for (const auto &record : records()) {
    if (record.level == level &&
        std::string_view(record.message).substr(0, prefix.size()) == prefix) {
      ++n;
    }
  }
  return n;
}

void CapturingLogger::clear() {
  std::lock_guard lock(_mutex);
  _records.clear();
}

} // namespace support
