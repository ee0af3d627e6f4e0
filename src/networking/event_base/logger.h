#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace networking::event_base {

enum class LogLevel { kDebug = 10, kWarning = 30, kError = 40 };

// printf-style logger. Lines go to the process-wide sink (standard error unless replaced):
// "<timestamp> <LEVEL> <logger name>: <message>". Thread-safe.
class Logger {
 public:
  explicit Logger(std::string name) : _name(std::move(name)) {}
  void debug(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void warning(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
  const std::string& name() const { return _name; }
 private:
  std::string _name;
};

// The logger of that name (one per name, alive for the process).
Logger& get_logger(const std::string& name);

// Records below the threshold are dropped. Default: kWarning.
void set_log_threshold(LogLevel level);
LogLevel log_threshold();

// Receives every record that passes the threshold: level, logger name, formatted message.
using LogSink = std::function<void(LogLevel, const std::string&, const std::string&)>;
// Replaces the sink; an empty function restores the standard-error sink. Returns the old one.
LogSink set_log_sink(LogSink sink);

std::string_view level_name(LogLevel level);  // "DEBUG", "WARNING", "ERROR"

}  // namespace networking::event_base
