#include "zelq/inference/testing/scripted_lm_invoker.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::inference::testing {
namespace {

using core::Value;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

LMOutput echo(const ScriptedLMInvoker::Request& request) {
  LMOutput output;
  output.add_text("answer to " + request.messages.at(0).text());
  return output;
}

TEST(ScriptedLMInvokerTest, CallsStartedTogetherAreAllInFlightAtOnce) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_latency(5ms);
  lm->set_responder(echo);
  constexpr int kCalls = 6;
  std::vector<boost::asio::awaitable<LMOutput>> calls;
  for (int i = 0; i < kCalls; ++i) {
    calls.push_back(lm->invoke({Message::user("q" + std::to_string(i))}));
  }
  auto outputs = core::run_sync(core::parallel_gather(std::move(calls)));
  EXPECT_EQ(lm->peak_concurrency(), static_cast<std::size_t>(kCalls));
  EXPECT_EQ(lm->in_flight(), 0u);
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(outputs[i].text(), "answer to q" + std::to_string(i));
}

TEST(ScriptedLMInvokerTest, GatesLetTheTestChooseTheCompletionOrder) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->hold_calls();
  lm->push_text("zero").push_text("one").push_text("two").push_text("three");
  boost::asio::io_context context;
  std::vector<std::string> finished;
  // Spawns a void coroutine: co_spawn's own result path trips a false
  // -Wmaybe-uninitialized of GCC 12 for LMOutput. The messages are a named
  // local because GCC 12 rejects a braced list inside a co_await.
  auto start_call = [&] {
    boost::asio::co_spawn(
        context,
        [&]() -> boost::asio::awaitable<void> {
          std::vector<Message> messages{Message::user("q")};
          LMOutput output = co_await lm->invoke(std::move(messages));
          finished.push_back(output.text());
        },
        [](std::exception_ptr error) { ASSERT_FALSE(error); });
  };
  for (int i = 0; i < 3; ++i) start_call();
  context.poll();
  EXPECT_TRUE(finished.empty());
  EXPECT_EQ(lm->in_flight(), 3u);
  EXPECT_EQ(lm->peak_concurrency(), 3u);
  lm->release(1);
  context.poll();
  lm->release(2);
  context.poll();
  // A gate released before its call arrives does not stop the call.
  lm->release(3);
  start_call();
  context.poll();
  lm->release(0);
  context.poll();
  // Each call keeps the output it took at arrival, whatever the finishing order.
  EXPECT_THAT(finished, ElementsAre("one", "two", "three", "zero"));
  EXPECT_THAT(lm->completion_order(), ElementsAre(1, 2, 3, 0));
  EXPECT_EQ(lm->in_flight(), 0u);
}

TEST(ScriptedLMInvokerTest, FailuresAndExhaustion) {
  for (std::size_t failing = 0; failing < 3; ++failing) {
    ScriptedLMInvoker lm("m", nullptr, Value::object());
    lm.push_text("a").push_text("b").push_text("c");
    lm.fail_at(failing);
    std::vector<std::string> results;
    for (int i = 0; i < 3; ++i) {
      try {
        results.push_back(core::run_sync(lm.invoke({})).text());
      } catch (const core::RuntimeError& error) {
        results.push_back(error.what());
      }
    }
    // The failing call does not use up a queued output.
    std::vector<std::string> expected{"a", "b", "c"};
    expected.insert(expected.begin() + failing,
                    "Scripted failure of call " + std::to_string(failing) + ".");
    expected.pop_back();
    EXPECT_EQ(results, expected);
  }
  ScriptedLMInvoker lm("writer", nullptr, Value::object());
  lm.push_exception(core::ValueError("bad answer"));
  EXPECT_THROW(core::run_sync(lm.invoke({})), core::ValueError);
  try {
    core::run_sync(lm.invoke({}));
    FAIL();
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "ScriptedLMInvoker 'writer': no scripted output left for call 1.");
  }
  EXPECT_EQ(lm.in_flight(), 0u);
}

TEST(ScriptedLMInvokerTest, StreamsPiecesAndRecordsRequests) {
  ScriptedLMInvoker lm;
  lm.push_pieces({"<thi", "nk>x</think>", "y"})
      .push_text("  two  words ")
      .push_structured({{"ok", true}});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  auto first = core::run_sync(lm.invoke(
      {Message::user("q")}, {.event_emitter = emitter, .prompt_variables = {{"k", "v"}}}));
  EXPECT_EQ(first.text(), "<think>x</think>y");
  std::vector<std::string> contents;
  for (const auto& event : emitter->events()) {
    if (event.type == "response") contents.push_back(event.value.get<std::string>());
  }
  EXPECT_THAT(contents, ElementsAre("<thi", "nk>x</think>", "y"));
  emitter->clear();
  core::run_sync(lm.invoke({}, {.event_emitter = emitter}));
  EXPECT_THAT(emitter->types(),
              ElementsAre("response_start", "response", "response", "response_end"));
  EXPECT_EQ(emitter->events()[1].value, "  two  ");
  emitter->clear();
  auto structured = core::run_sync(lm.invoke({}, {.event_emitter = emitter}));
  EXPECT_EQ(structured.structured_output(), (Value{{"ok", true}}));
  EXPECT_TRUE(emitter->events().empty());  // no answer text, no block

  auto requests = lm.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].index, 0u);
  EXPECT_EQ(requests[0].messages, std::vector<Message>{Message::user("q")});
  EXPECT_EQ(requests[0].prompt_variables, (Value{{"k", "v"}}));
  EXPECT_TRUE(requests[0].streamed);
  EXPECT_THAT(split_into_pieces(" a  b\nc "), ElementsAre(" a  ", "b\n", "c "));
  EXPECT_TRUE(split_into_pieces("").empty());
}

}  // namespace
}  // namespace zelq::inference::testing
