#include "zelq/inference/testing/recording_event_emitter.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference::testing {
namespace {

using ::testing::ElementsAre;

TEST(RecordingEventEmitterTest, RecordsInOrderForwardsAndFails) {
  std::vector<std::string> handled;
  RecordingEventEmitter emitter({[&](const core::Event& event) -> boost::asio::awaitable<void> {
    handled.push_back(event.type);
    co_return;
  }});
  emitter.fail_at(2);
  core::run_sync(emitter.emit(ResponseEvent::start("i")));
  core::run_sync(emitter.emit("done", core::EventLevel::INFO, "response"));
  EXPECT_THROW(core::run_sync(emitter.emit(ResponseEvent::end("i"))), core::RuntimeError);
  EXPECT_THAT(emitter.types(), ElementsAre("response_start", "response"));
  EXPECT_THAT(handled, ElementsAre("response_start", "response"));
  EXPECT_EQ(emitter.events()[1].value, "done");
  emitter.clear();
  EXPECT_TRUE(emitter.events().empty());
}

}  // namespace
}  // namespace zelq::inference::testing
