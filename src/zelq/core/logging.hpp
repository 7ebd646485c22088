// Named loggers of the library's components.
//
// Loggers are spdlog loggers held by the library, never registered in
// spdlog's global registry, so the application's own spdlog setup is not
// touched. By default they write to stderr at level warn; the application
// replaces the sinks and the level through LoggerManager. This header names
// spdlog's types only by declaration: an application that installs sinks
// includes the spdlog sink headers it uses.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace spdlog {
class logger;
namespace sinks {
class sink;
}  // namespace sinks
}  // namespace spdlog

namespace zelq::core {

// Severity of a log record, from the most verbose; `off` as a logger's level
// silences it. The members match spdlog's level names.
enum class LogLevel { trace, debug, info, warn, err, critical, off };

// One named library logger. Each call writes one already formatted text.
// Thread-safe.
class NamedLogger {
 public:
  explicit NamedLogger(std::shared_ptr<spdlog::logger> impl);

  // The name the logger was created with.
  const std::string& name() const;
  // Whether a record of `level` would be written at the current level.
  bool should_log(LogLevel level) const;
  // Writes `text` at `level` when the current level lets it through.
  void log(LogLevel level, std::string_view text) const;
  void trace(std::string_view text) const { log(LogLevel::trace, text); }
  void debug(std::string_view text) const { log(LogLevel::debug, text); }
  void info(std::string_view text) const { log(LogLevel::info, text); }
  void warn(std::string_view text) const { log(LogLevel::warn, text); }
  void error(std::string_view text) const { log(LogLevel::err, text); }
  void critical(std::string_view text) const { log(LogLevel::critical, text); }

  // The spdlog logger behind this one (shared with every handle of the
  // same name).
  const std::shared_ptr<spdlog::logger>& spdlog_logger() const noexcept { return impl_; }

 private:
  std::shared_ptr<spdlog::logger> impl_;
};

using Logger = std::shared_ptr<const NamedLogger>;
// A destination of log records: any spdlog sink.
using LogSinkPtr = std::shared_ptr<spdlog::sinks::sink>;

// A handle on the process-wide set of library loggers. Cheap to build; all
// handles share the same loggers. Thread-safe.
class LoggerManager {
 public:
  // The logger named `name`, created on first request with the current
  // sinks and level; later requests return the same object. Components name
  // theirs after their concrete class.
  Logger get_logger(std::string_view name) const;

  // Replaces the sinks of every library logger, present and future. Safe
  // while other threads log: each record goes to the old or the new sinks.
  void set_sinks(std::vector<LogSinkPtr> sinks) const;
  // The current sinks.
  std::vector<LogSinkPtr> sinks() const;
  // Sets the level of every library logger, present and future.
  void set_level(LogLevel level) const;
  LogLevel level() const;
};

// Python's warnings.warn: logs `text` at warn level on the logger "warnings".
void warn(std::string_view text);

// Records what library loggers write while it is alive (tests, diagnostics).
// Installs itself as the only sink and sets the level to debug; restores the
// previous sinks and level when destroyed. Not for concurrent use by two
// captures at once.
class LogCapture {
 public:
  struct Line {
    std::string logger;
    LogLevel level;
    std::string message;
  };

  struct State;

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const;
  // Messages of one logger at one level, in order.
  std::vector<std::string> messages(std::string_view logger, LogLevel level) const;
  void clear();

 private:
  std::shared_ptr<State> state_;
  std::vector<LogSinkPtr> previous_sinks_;
  LogLevel previous_level_;
};

}  // namespace zelq::core
