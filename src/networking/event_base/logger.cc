#include "networking/event_base/logger.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace networking::event_base {

namespace {

std::atomic<int> g_threshold{static_cast<int>(LogLevel::kWarning)};

// Guards the sink and serializes records; separate from the registry's lock so that
// get_logger() never waits for a slow sink.
std::mutex &sink_mutex() {
  static std::mutex m;
  return m;
}

LogSink &current_sink() {
  static LogSink sink;
  return sink;
}

std::string vformat(const char *fmt, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0)
    return fmt;
  if (static_cast<std::size_t>(n) < sizeof small)
    return std::string(small, n);
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

} // namespace

std::string_view level_name(LogLevel level) {
  switch (level) {
  case LogLevel::kDebug:
    return "DEBUG";
  case LogLevel::kWarning:
    return "WARNING";
  case LogLevel::kError:
    return "ERROR";
  }
  return "LEVEL";
}

std::optional<LogLevel> parse_log_level(std::string_view text) {
  std::string lower;
  for (char c : text)
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == "debug")
    return LogLevel::kDebug;
  if (lower == "warning")
    return LogLevel::kWarning;
  if (lower == "error")
    return LogLevel::kError;
  return std::nullopt;
}

std::string format_log_line(LogLevel level, const std::string &logger_name,
                            const std::string &message) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[40];
  std::size_t used = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + used, sizeof stamp - used, ",%03d", static_cast<int>(millis.count()));
  std::string line = stamp;
  line += ' ';
  line += level_name(level);
  line += ' ';
  line += logger_name;
  line += ": ";
  line += message;
  return line;
}

void set_log_threshold(LogLevel level) { g_threshold.store(static_cast<int>(level)); }

LogLevel log_threshold() { return static_cast<LogLevel>(g_threshold.load()); }

LogSink set_log_sink(LogSink sink) {
  std::lock_guard lock(sink_mutex());
  return std::exchange(current_sink(), std::move(sink));
}

Logger &get_logger(const std::string &name) {
  static std::mutex registry_mutex;
  static std::map<std::string, std::unique_ptr<Logger>, std::less<>> registry;
  std::lock_guard lock(registry_mutex);
  auto &slot = registry[name];
  if (!slot)
    slot = std::make_unique<Logger>(name);
  return *slot;
}

bool Logger::enabled(LogLevel level) const { return static_cast<int>(level) >= g_threshold.load(); }

void Logger::_log(LogLevel level, const char *fmt, va_list args) const {
  std::string message = vformat(fmt, args);
  std::lock_guard lock(sink_mutex());
  if (const LogSink &sink = current_sink()) {
    sink(level, _name, message);
    return;
  }
  std::string line = format_log_line(level, _name, message);
  line += '\n';
  // A failed write (a closed pipe, a hung-up terminal) drops the line without a retry: logging
  // never stops the service. The error flag is cleared so the next line is tried afresh.
  if (std::fwrite(line.data(), 1, line.size(), stderr) != line.size() || std::fflush(stderr) != 0)
    std::clearerr(stderr);
}

void Logger::debug(const char *fmt, ...) const {
  if (!enabled(LogLevel::kDebug))
    return;
  va_list args;
  va_start(args, fmt);
  _log(LogLevel::kDebug, fmt, args);
  va_end(args);
}

void Logger::warning(const char *fmt, ...) const {
  if (!enabled(LogLevel::kWarning))
    return;
  va_list args;
  va_start(args, fmt);
  _log(LogLevel::kWarning, fmt, args);
  va_end(args);
}

void Logger::error(const char *fmt, ...) const {
  if (!enabled(LogLevel::kError))
    return;
  va_list args;
  va_start(args, fmt);
  _log(LogLevel::kError, fmt, args);
  va_end(args);
}

} // namespace networking::event_base
