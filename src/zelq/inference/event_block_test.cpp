#include "zelq/inference/event_block.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::inference {
namespace {

namespace asio = boost::asio;
using ::testing::ElementsAre;

asio::awaitable<void> write_blocks(EventBlockWriter& thinking, EventBlockWriter& response) {
  co_await thinking.content("dropped: no block is open");
  co_await thinking.end();
  co_await thinking.start();
  co_await thinking.content("a");
  co_await thinking.content("b");
  co_await thinking.end();
  co_await response.start();
  co_await response.start();  // the first block is left without an end
  co_await response.content("c");
  co_await response.end();
  co_await emit_block(nullptr, BlockKind::RESPONSE, "nowhere");
}

TEST(EventBlockWriter, WritesOneOpenBlockAtATimeUnderOneId) {
  auto emitter = std::make_shared<testing::RecordingEventEmitter>();
  EventBlockWriter thinking(emitter, BlockKind::THINKING);
  EventBlockWriter response(emitter, BlockKind::RESPONSE);
  core::run_sync(write_blocks(thinking, response));
  core::run_sync(emit_block(emitter, BlockKind::THINKING, "d"));
  EXPECT_THAT(emitter->types(),
              ElementsAre("thinking_start", "thinking", "thinking", "thinking_end",
                          "response_start", "response_start", "response", "response_end",
                          "thinking_start", "thinking", "thinking_end"));
  const std::vector<core::Event> events = emitter->events();
  for (std::size_t i : {1, 2, 3}) EXPECT_EQ(events[i].id, events[0].id);
  EXPECT_NE(events[4].id, events[5].id);
  EXPECT_EQ(events[7].id, events[5].id);
  EXPECT_FALSE(response.is_open());
  EXPECT_EQ(response.id(), "");
  EXPECT_EQ(events[1].value, "a");
  EXPECT_EQ(events[9].value, "d");
  EXPECT_EQ(events[8].id, events[10].id);

  EventBlockWriter silent(nullptr, BlockKind::THINKING);
  core::run_sync(silent.start());
  EXPECT_FALSE(silent.is_open());
  EXPECT_EQ(silent.id(), "");
}

// The writer keeps its id whether a handler succeeds, fails or never
// finishes (its frame destroyed).
TEST(EventBlockWriter, TheIdStaysTheWritersHoweverAnEmissionEnds) {
  auto emitter = std::make_shared<core::EventEmitter>();
  std::vector<core::Event> seen;
  emitter->add_handler([&seen](const core::Event& event) -> asio::awaitable<void> {
    seen.push_back(event);
    if (event.value == "boom") throw core::RuntimeError("handler failed");
    if (event.value == "wait") {
      asio::steady_timer forever(co_await asio::this_coro::executor,
                                 asio::steady_timer::time_point::max());
      co_await forever.async_wait(asio::use_awaitable);
    }
  });
  EventBlockWriter response(emitter, BlockKind::RESPONSE);
  core::run_sync(response.start());
  const std::string id = response.id();
  ASSERT_EQ(id.size(), 36u);
  core::run_sync(response.content("a"));
  EXPECT_THROW(core::run_sync(response.content("boom")), core::RuntimeError);
  EXPECT_EQ(response.id(), id);
  {
    asio::io_context io;
    asio::co_spawn(io, response.content("wait"), asio::detached);
    while (seen.back().value != "wait") io.run_one();
  }  // the waiting emission is destroyed with its context
  EXPECT_EQ(response.id(), id);
  core::run_sync(response.content("b"));
  core::run_sync(response.end());
  ASSERT_EQ(seen.size(), 6u);
  for (const core::Event& event : seen) EXPECT_EQ(event.id, id);
  EXPECT_EQ(seen[1].type, "response");
  EXPECT_EQ(seen[4].value, "b");
  EXPECT_EQ(seen[5].type, "response_end");
}

// Each event is built when the call is made: an awaitable made under one
// block keeps that block's id when awaited after the next block started, and
// a handler reading id() during an emission sees the open block's id. The
// same for a plain emitter and a derived one.
TEST(EventBlockWriter, EventsAreBuiltAtTheCallAndIdNamesTheOpenBlock) {
  struct Case {
    const char* name;
    std::shared_ptr<core::EventEmitter> emitter;
  };
  const Case cases[] = {{"plain", std::make_shared<core::EventEmitter>()},
                        {"derived", std::make_shared<testing::RecordingEventEmitter>()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventBlockWriter writer(c.emitter, BlockKind::RESPONSE);
    struct Seen {
      core::Event event;
      std::string writer_id;
    };
    std::vector<Seen> seen;
    c.emitter->add_handler([&](const core::Event& event) -> asio::awaitable<void> {
      seen.push_back({event, writer.id()});
      co_return;
    });
    core::run_sync(writer.start());
    const std::string first = writer.id();
    asio::awaitable<void> late_content = writer.content("late");
    asio::awaitable<void> late_end = writer.end();
    EXPECT_EQ(writer.id(), "");
    core::run_sync(writer.start());
    const std::string second = writer.id();
    asio::awaitable<void> early_content = writer.content("early");
    core::run_sync(std::move(late_content));
    core::run_sync(std::move(late_end));
    core::run_sync(std::move(early_content));
    core::run_sync(writer.content("now"));

    ASSERT_EQ(first.size(), 36u);
    ASSERT_EQ(second.size(), 36u);
    ASSERT_NE(first, second);
    ASSERT_EQ(seen.size(), 6u);
    const std::string expected_ids[] = {first, second, first, first, second, second};
    const char* expected_types[] = {"response_start", "response_start", "response",
                                    "response_end",   "response",       "response"};
    for (std::size_t i = 0; i < seen.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(seen[i].event.id, expected_ids[i]);
      EXPECT_EQ(seen[i].event.type, expected_types[i]);
    }
    EXPECT_EQ(seen[2].event.value, "late");
    EXPECT_EQ(seen[4].event.value, "early");
    // During each emission the writer names the block open at that moment.
    for (std::size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i].writer_id, i == 0 ? first : second) << i;
    }
  }
}

}  // namespace
}  // namespace zelq::inference
