#include "zelq/core/logging.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

namespace zelq::core {
namespace {

TEST(Logging, LoggersAreSharedAndFilterByLevel) {
  LogCapture capture;
  EXPECT_EQ(LoggerManager().get_logger("Same").get(), LoggerManager().get_logger("Same").get());
  warn("deprecated thing");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].logger, "warnings");
  EXPECT_EQ(capture.lines()[0].level, LogLevel::warn);
  EXPECT_EQ(capture.lines()[0].message, "deprecated thing");

  capture.clear();
  const Logger logger = LoggerManager().get_logger("Levels");
  EXPECT_EQ(logger->name(), "Levels");
  EXPECT_TRUE(logger->should_log(LogLevel::debug));
  EXPECT_FALSE(logger->should_log(LogLevel::trace));
  logger->trace("hidden");
  logger->debug("d");
  logger->info(std::string("i"));
  logger->error("e");
  logger->critical("c");
  LoggerManager().set_level(LogLevel::err);
  logger->warn("hidden");
  logger->log(LogLevel::err, "{} stays as written");
  LoggerManager().set_level(LogLevel::debug);
  std::vector<std::string> seen;
  for (const auto& line : capture.lines()) seen.push_back(line.message);
  EXPECT_EQ(seen, (std::vector<std::string>{"d", "i", "e", "c", "{} stays as written"}));
  EXPECT_EQ(capture.messages("Levels", LogLevel::err),
            (std::vector<std::string>{"e", "{} stays as written"}));
}

// Writers on four threads log while another thread swaps the sinks, changes
// the level and creates loggers: every line reaches exactly one sink, and
// ThreadSanitizer sees the sink and level hand-overs.
TEST(Logging, SinksAndLevelChangeWhileOtherThreadsLog) {
  struct CountingSink : spdlog::sinks::base_sink<std::mutex> {
    std::atomic<int> count{0};
    void sink_it_(const spdlog::details::log_msg&) override { ++count; }
    void flush_() override {}
  };
  LogCapture restore_afterwards;
  auto first = std::make_shared<CountingSink>();
  auto second = std::make_shared<CountingSink>();
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      const Logger logger = LoggerManager().get_logger("Writer" + std::to_string(t % 2));
      for (int i = 0; i < kLines; ++i) logger->error("line");
    });
  }
  std::thread swapper([&] {
    for (bool use_first = true; !done; use_first = !use_first) {
      LoggerManager().set_sinks({use_first ? LogSinkPtr(first) : LogSinkPtr(second)});
      LoggerManager().set_level(use_first ? LogLevel::debug : LogLevel::warn);
      (void)LoggerManager().get_logger("Late" + std::to_string(use_first));
    }
  });
  for (auto& writer : writers) writer.join();
  done = true;
  swapper.join();
  EXPECT_EQ(first->count + second->count + static_cast<int>(restore_afterwards.lines().size()),
            kThreads * kLines);
}

}  // namespace
}  // namespace zelq::core
