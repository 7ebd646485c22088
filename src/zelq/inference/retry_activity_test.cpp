#include "zelq/inference/retry_activity.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::inference {
namespace {

namespace asio = boost::asio;

TEST(RetryActivity, EachNewAttemptIsAnnouncedAfterThePolicysOwnHook) {
  core::LogCapture quiet;
  auto emitter = std::make_shared<testing::RecordingEventEmitter>();
  std::vector<std::string> order;
  core::RetryConfig policy{.max_retries = 2, .base_delay = 0};
  policy.before_retry = [&order, emitter](const core::RetryNotice&) -> asio::awaitable<void> {
    order.push_back("own, after " + std::to_string(emitter->events().size()) + " events");
    co_return;
  };
  EXPECT_TRUE(announce_retries(core::RetryConfig{}, nullptr).before_retry == nullptr);
  int calls = 0;
  auto attempt = [&calls]() -> asio::awaitable<int> {
    if (++calls < 3) throw core::RuntimeError("busy\n  now");
    co_return calls;
  };
  EXPECT_EQ(core::run_sync(core::retry(attempt, announce_retries(policy, emitter))), 3);
  EXPECT_THAT(order, ::testing::ElementsAre("own, after 0 events", "own, after 1 events"));
  const std::vector<core::Event> events = emitter->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, "activity");
  EXPECT_EQ(events[0].value.dump(),
            R"({"type":"retry","attempt":2,"max_attempts":3,"reason":"busy now"})");
  EXPECT_EQ(events[1].value.at("attempt"), 3);
}

}  // namespace
}  // namespace zelq::inference
