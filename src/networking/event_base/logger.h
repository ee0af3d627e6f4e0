#pragma once

#include <cstdarg>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace networking::event_base {

enum class LogLevel { kDebug = 10, kWarning = 30, kError = 40 };

// printf-style logger. Lines go to the process-wide sink (standard error unless replaced):
// "2026-12-08 07:50:01,123 WARNING <logger name>: <message>" in local time. Thread-safe:
// records from any thread reach the sink one at a time.
class Logger {
public:
  explicit Logger(std::string name) : _name(std::move(name)) {}
  void debug(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
  void warning(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
  void error(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
  const std::string &name() const { return _name; }
  // Whether a record of that level would reach the sink now.
  bool enabled(LogLevel level) const;

private:
  void _log(LogLevel level, const char *fmt, va_list args) const;

  std::string _name;
};

// The logger of that name (one per name, alive for the process).
Logger &get_logger(const std::string &name);

// Records below the threshold are dropped. Default: kWarning.
void set_log_threshold(LogLevel level);
LogLevel log_threshold();

// Receives every record that passes the threshold: level, logger name, formatted message.
// Called with the logging lock held: it must not log itself.
using LogSink = std::function<void(LogLevel, const std::string &, const std::string &)>;
// Replaces the sink; an empty function restores the standard-error sink. Returns the old one
// (empty when it was the standard-error sink). Once it returns, the old sink is not running
// and will not be called again.
LogSink set_log_sink(LogSink sink);

std::string_view level_name(LogLevel level); // "DEBUG", "WARNING", "ERROR"

// "debug", "warning" or "error" in any letter case; nullopt for anything else.
std::optional<LogLevel> parse_log_level(std::string_view text);

// The standard-error line of one record, without its newline (the default sink's format).
std::string format_log_line(LogLevel level, const std::string &logger_name,
                            const std::string &message);

} // namespace networking::event_base
