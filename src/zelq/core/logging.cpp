#include "zelq/core/logging.hpp"

#include <map>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace zelq::core {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, Logger, std::less<>> loggers;
  std::vector<spdlog::sink_ptr> sinks{std::make_shared<spdlog::sinks::stderr_color_sink_mt>()};
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
  auto logger =
      std::make_shared<spdlog::logger>(std::string(name), reg.sinks.begin(), reg.sinks.end());
  logger->set_level(reg.level);
  reg.loggers.emplace(std::string(name), logger);
  return logger;
}

void LoggerManager::set_sinks(std::vector<spdlog::sink_ptr> sinks) const {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.sinks = std::move(sinks);
  for (auto& [name, logger] : reg.loggers) logger->sinks() = reg.sinks;
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
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    previous_sinks_ = reg.sinks;
  }
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
