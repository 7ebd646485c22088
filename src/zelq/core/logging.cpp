#include "zelq/core/logging.hpp"

#include <map>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace zelq::core {
namespace {

using SinkList = std::vector<spdlog::sink_ptr>;

// LogLevel mirrors spdlog's levels one to one.
static_assert(static_cast<int>(LogLevel::trace) == spdlog::level::trace);
static_assert(static_cast<int>(LogLevel::debug) == spdlog::level::debug);
static_assert(static_cast<int>(LogLevel::info) == spdlog::level::info);
static_assert(static_cast<int>(LogLevel::warn) == spdlog::level::warn);
static_assert(static_cast<int>(LogLevel::err) == spdlog::level::err);
static_assert(static_cast<int>(LogLevel::critical) == spdlog::level::critical);
static_assert(static_cast<int>(LogLevel::off) == spdlog::level::off);

spdlog::level::level_enum to_spdlog(LogLevel level) {
  return static_cast<spdlog::level::level_enum>(level);
}
LogLevel from_spdlog(spdlog::level::level_enum level) { return static_cast<LogLevel>(level); }

// The one sink every library logger holds for life. It forwards each record
// to the current sink list, so replacing the sinks never writes to a
// logger's own sink vector, which spdlog reads without a lock while other
// threads log. A record goes to the list that was current when it arrived.
class DispatchSink final : public spdlog::sinks::sink {
 public:
  explicit DispatchSink(SinkList sinks)
      : sinks_(std::make_shared<const SinkList>(std::move(sinks))) {}

  void replace(SinkList sinks) {
    auto next = std::make_shared<const SinkList>(std::move(sinks));
    std::lock_guard lock(mutex_);
    sinks_.swap(next);
  }

  SinkList sinks() const { return *current(); }

  void log(const spdlog::details::log_msg& msg) override {
    const auto held = current();
    for (const auto& sink : *held) {
      if (sink->should_log(msg.level)) sink->log(msg);
    }
  }
  void flush() override {
    const auto held = current();
    for (const auto& sink : *held) sink->flush();
  }
  void set_pattern(const std::string& pattern) override {
    const auto held = current();
    for (const auto& sink : *held) sink->set_pattern(pattern);
  }
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
    const auto held = current();
    for (const auto& sink : *held) sink->set_formatter(formatter->clone());
  }

 private:
  // The list is held by the caller while it is used: a concurrent replace
  // may drop the registry's reference at any time.
  std::shared_ptr<const SinkList> current() const {
    std::lock_guard lock(mutex_);
    return sinks_;
  }

  mutable std::mutex mutex_;
  std::shared_ptr<const SinkList> sinks_;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, Logger, std::less<>> loggers;
  std::shared_ptr<DispatchSink> dispatch = std::make_shared<DispatchSink>(
      SinkList{std::make_shared<spdlog::sinks::stderr_color_sink_mt>()});
  LogLevel level = LogLevel::warn;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

NamedLogger::NamedLogger(std::shared_ptr<spdlog::logger> impl) : impl_(std::move(impl)) {}

const std::string& NamedLogger::name() const { return impl_->name(); }

bool NamedLogger::should_log(LogLevel level) const { return impl_->should_log(to_spdlog(level)); }

void NamedLogger::log(LogLevel level, std::string_view text) const {
  impl_->log(to_spdlog(level), spdlog::string_view_t(text.data(), text.size()));
}

Logger LoggerManager::get_logger(std::string_view name) const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto it = reg.loggers.find(name); it != reg.loggers.end()) return it->second;
  auto impl = std::make_shared<spdlog::logger>(std::string(name), reg.dispatch);
  impl->set_level(to_spdlog(reg.level));
  auto logger = std::make_shared<const NamedLogger>(std::move(impl));
  reg.loggers.emplace(std::string(name), logger);
  return logger;
}

void LoggerManager::set_sinks(std::vector<LogSinkPtr> sinks) const {
  registry().dispatch->replace(std::move(sinks));
}

std::vector<LogSinkPtr> LoggerManager::sinks() const { return registry().dispatch->sinks(); }

void LoggerManager::set_level(LogLevel level) const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.level = level;
  for (auto& [name, logger] : reg.loggers) logger->spdlog_logger()->set_level(to_spdlog(level));
}

LogLevel LoggerManager::level() const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.level;
}

void warn(std::string_view text) { LoggerManager().get_logger("warnings")->warn(text); }

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<Line> lines;
};

namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit CaptureSink(std::shared_ptr<LogCapture::State> state) : state_(std::move(state)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::shared_ptr<LogCapture::State> state_;
};

}  // namespace

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  LoggerManager manager;
  previous_sinks_ = manager.sinks();
  previous_level_ = manager.level();
  manager.set_sinks({std::make_shared<CaptureSink>(state_)});
  manager.set_level(LogLevel::debug);
}

LogCapture::~LogCapture() {
  LoggerManager manager;
  manager.set_sinks(previous_sinks_);
  manager.set_level(previous_level_);
}

std::vector<LogCapture::Line> LogCapture::lines() const {
  std::lock_guard lock(state_->mutex);
  return state_->lines;
}

std::vector<std::string> LogCapture::messages(std::string_view logger, LogLevel level) const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> out;
  for (const auto& line : state_->lines) {
    if (line.logger == logger && line.level == level) out.push_back(line.message);
  }
  return out;
}

void LogCapture::clear() {
  std::lock_guard lock(state_->mutex);
  state_->lines.clear();
}

namespace {

void CaptureSink::sink_it_(const spdlog::details::log_msg& msg) {
  std::lock_guard lock(state_->mutex);
  state_->lines.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()),
                           from_spdlog(msg.level),
                           std::string(msg.payload.data(), msg.payload.size())});
}

}  // namespace

}  // namespace zelq::core
