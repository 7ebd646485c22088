// Named loggers of the library's components.
//
// Loggers are spdlog loggers held by the library, never registered in
// spdlog's global registry, so the application's own spdlog setup is not
// touched. By default they write to stderr at level warn; the application
// replaces the sinks and the level through LoggerManager.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>

namespace zelq::core {

using Logger = std::shared_ptr<spdlog::logger>;

// A handle on the process-wide set of library loggers. Cheap to build; all
// handles share the same loggers. Thread-safe.
class LoggerManager {
 public:
  // The logger named `name`, created on first request with the current
  // sinks and level. Components name theirs after their concrete class.
  Logger get_logger(std::string_view name) const;

  // Replaces the sinks of every library logger, present and future. Safe
  // while other threads log: each record goes to the old or the new sinks.
  void set_sinks(std::vector<spdlog::sink_ptr> sinks) const;
  // Sets the level of every library logger, present and future.
  void set_level(spdlog::level::level_enum level) const;
  spdlog::level::level_enum level() const;
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
    spdlog::level::level_enum level;
    std::string message;
  };

  struct State;

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const;
  // Messages of one logger at one level, in order.
  std::vector<std::string> messages(std::string_view logger, spdlog::level::level_enum level) const;
  void clear();

 private:
  std::shared_ptr<State> state_;
  std::vector<spdlog::sink_ptr> previous_sinks_;
  spdlog::level::level_enum previous_level_;
};

}  // namespace zelq::core
