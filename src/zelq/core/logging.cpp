#include "zelq/core/logging.hpp"

#include <map>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace zelq::core {
namespace {

using SinkList = std::vector<spdlog::sink_ptr>;

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
  spdlog::level::level_enum level = spdlog::level::warn;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

Logger LoggerManager::get_logger(std::string_view name) const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto it = reg.loggers.find(name); it != reg.loggers.end()) return it->second;
  auto logger = std::make_shared<spdlog::logger>(std::string(name), reg.dispatch);
  logger->set_level(reg.level);
  reg.loggers.emplace(std::string(name), logger);
  return logger;
}

void LoggerManager::set_sinks(std::vector<spdlog::sink_ptr> sinks) const {
  registry().dispatch->replace(std::move(sinks));
}

void LoggerManager::set_level(spdlog::level::level_enum level) const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.level = level;
  for (auto& [name, logger] : reg.loggers) logger->set_level(level);
}

spdlog::level::level_enum LoggerManager::level() const {
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
  previous_sinks_ = registry().dispatch->sinks();
  previous_level_ = manager.level();
  manager.set_sinks({std::make_shared<CaptureSink>(state_)});
  manager.set_level(spdlog::level::debug);
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

std::vector<std::string> LogCapture::messages(std::string_view logger,
                                              spdlog::level::level_enum level) const {
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
  state_->lines.push_back({std::string(msg.logger_name.data(), msg.logger_name.size()), msg.level,
                           std::string(msg.payload.data(), msg.payload.size())});
}

}  // namespace

}  // namespace zelq::core
