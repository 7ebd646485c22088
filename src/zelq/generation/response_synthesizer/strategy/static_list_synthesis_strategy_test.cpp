#include "zelq/generation/response_synthesizer/strategy/static_list_synthesis_strategy.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using core::Value;
using inference::testing::RecordingEventEmitter;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(StaticListSynthesisStrategyTest, DefaultFormatter) {
  using Contents = std::vector<core::Chunk::Content>;
  const auto format = &StaticListSynthesisStrategy::_default_formatter_func;
  EXPECT_EQ(format({}), "Sorry, I couldn't find anything based on your query.");
  EXPECT_EQ(format(Contents{"x"}), "Here's what I found based on your query:\n1. x");
  EXPECT_EQ(format(Contents{"a", core::Bytes{'x', 'y'}}),
            "Here's what I found based on your query:\n1. a\n2. b'xy'");
  Contents many(11, std::string("c"));
  const std::string eleven = format(many);
  EXPECT_NE(eleven.find("\n9. c\n10. c\n11. c"), std::string::npos);
  EXPECT_EQ(eleven.back(), 'c');
}

TEST(StaticListSynthesisStrategyTest, EmitsTheWholeResponseOnce) {
  StaticListSynthesisStrategy strategy;
  auto emitter = std::make_shared<RecordingEventEmitter>();
  SynthesisContext context{.chunks = {core::make_chunk("one"), core::make_chunk("two")},
                           .event_emitter = emitter};
  const Value answer = core::run_sync(strategy.synthesize(context));
  EXPECT_EQ(answer, "Here's what I found based on your query:\n1. one\n2. two");
  ASSERT_EQ(emitter->events().size(), 1u);
  const core::Event event = emitter->events()[0];
  EXPECT_EQ(event.type, "response");
  EXPECT_EQ(event.value, answer);
  EXPECT_EQ(event.level, core::EventLevel::INFO);
  EXPECT_EQ(context.kwargs, Value::object());
  // No emitter, no event; no chunks, the apology.
  SynthesisContext quiet;
  EXPECT_EQ(core::run_sync(strategy.synthesize(quiet)),
            "Sorry, I couldn't find anything based on your query.");
  EXPECT_EQ(emitter->events().size(), 1u);
}

TEST(StaticListSynthesisStrategyTest, CallersFormatterAndFailures) {
  std::vector<core::Chunk::Content> seen;
  StaticListSynthesisStrategy strategy({.format_response_func = [&seen](const auto& contents) {
    seen = contents;
    return std::string("custom");
  }});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  SynthesisContext context{.chunks = {core::make_chunk("a"), core::make_chunk(core::Bytes{1})},
                           .event_emitter = emitter};
  EXPECT_EQ(core::run_sync(strategy.synthesize(context)), "custom");
  EXPECT_THAT(seen, ElementsAre(core::Chunk::Content("a"), core::Chunk::Content(core::Bytes{1})));
  EXPECT_THAT(emitter->types(), ElementsAre("response"));
  // A failing emit fails the call; a failing formatter sends nothing.
  emitter->fail_at(1);
  EXPECT_THROW(core::run_sync(strategy.synthesize(context)), core::RuntimeError);
  StaticListSynthesisStrategy failing(
      {.format_response_func = [](const auto&) -> std::string { throw core::ValueError("bad"); }});
  EXPECT_THROW(core::run_sync(failing.synthesize(context)), core::ValueError);
  EXPECT_EQ(emitter->events().size(), 1u);
  // A null chunk is named.
  SynthesisContext broken{.chunks = {core::make_chunk("a"), nullptr}};
  EXPECT_THROW(core::run_sync(strategy.synthesize(broken)), core::ValidationError);
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
