#include "zelq/generation/response_synthesizer/response_synthesizer.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/response_synthesizer/strategy.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::response_synthesizer {
namespace {

using core::Value;
using inference::testing::RecordingEventEmitter;
using inference::testing::ScriptedLMInvoker;
using strategy::SynthesisContext;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Keeps a copy of the context it is given and answers "seen".
class RecordingStrategy : public strategy::BaseSynthesisStrategy {
 public:
  std::string class_name() const override { return "RecordingStrategy"; }
  boost::asio::awaitable<Value> synthesize(SynthesisContext& context) const override {
    seen.push_back(context);
    co_return Value("seen");
  }
  mutable std::vector<SynthesisContext> seen;
};

class NamedSynthesizer : public ResponseSynthesizer {
 public:
  using ResponseSynthesizer::ResponseSynthesizer;
  std::string class_name() const override { return "NamedSynthesizer"; }
  using ResponseSynthesizer::_format_input_event;
  using ResponseSynthesizer::_format_output_event;
};

// The prompt the language-model strategies of these tests send.
inference::PromptBuilder prompt() { return inference::PromptBuilder("{context}", "{query}"); }

std::shared_ptr<ScriptedLMInvoker> make_lm() {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder([](const auto&) {
    inference::LMOutput output;
    output.add_text("an answer");
    return output;
  });
  return lm;
}

TEST(ResponseSynthesizerTest, BuildsOneFreshContextPerCall) {
  auto recording = std::make_shared<RecordingStrategy>();
  ResponseSynthesizer synthesizer(recording);
  EXPECT_TRUE(synthesizer.streamable());
  EXPECT_EQ(core::run_sync(synthesizer.synthesize()), "seen");
  const SynthesisContext& bare = recording->seen.at(0);
  EXPECT_EQ(bare.query, "");
  EXPECT_TRUE(bare.chunks.empty());
  EXPECT_EQ(bare.max_lm_calls, 5);
  EXPECT_EQ(bare.kwargs, Value::object());
  EXPECT_EQ(bare.event_emitter, nullptr);
  EXPECT_TRUE(bare.hyperparameters.is_null());

  auto emitter = std::make_shared<RecordingEventEmitter>();
  auto chunk = core::make_chunk("c");
  core::run_sync(synthesizer.synthesize({.query = "q",
                                         .chunks = {chunk},
                                         .hyperparameters = {{"t", 1}},
                                         .event_emitter = emitter,
                                         .max_lm_calls = 0,
                                         .kwargs = {{"tone", "dry"}, {"context", "given"}}}));
  const SynthesisContext& full = recording->seen.at(1);
  EXPECT_EQ(full.query, "q");
  EXPECT_THAT(full.chunks, ElementsAre(chunk));
  EXPECT_EQ(full.hyperparameters, (Value{{"t", 1}}));
  EXPECT_EQ(full.event_emitter, emitter);
  EXPECT_EQ(full.max_lm_calls, 0);
  EXPECT_EQ(full.kwargs.dump(), R"({"tone":"dry","context":"given"})");
  // The emitter goes only to a streamable synthesizer, tested at each call.
  synthesizer.set_streamable(false);
  core::run_sync(
      synthesizer.synthesize({.query = "", .event_emitter = emitter, .kwargs = nullptr}));
  EXPECT_EQ(recording->seen.at(2).event_emitter, nullptr);
  EXPECT_EQ(recording->seen.at(2).kwargs, Value::object());
}

TEST(ResponseSynthesizerTest, BadInputFailsBeforeTheStrategy) {
  auto recording = std::make_shared<RecordingStrategy>();
  ResponseSynthesizer synthesizer(recording);
  EXPECT_THROW(core::run_sync(synthesizer.synthesize({.chunks = {core::make_chunk("a"), nullptr}})),
               core::ValidationError);
  EXPECT_THROW(core::run_sync(synthesizer.synthesize({.hyperparameters = "hot"})),
               core::ValidationError);
  EXPECT_THROW(core::run_sync(synthesizer.synthesize({.kwargs = Value::array()})),
               core::ValidationError);
  // A kwargs key that repeats a parameter is refused as Python refuses a
  // keyword given twice, before the strategy check and any other work.
  ResponseSynthesizer empty(nullptr);
  for (const char* key : {"self", "query", "chunks", "history", "extra_contents",
                          "hyperparameters", "event_emitter", "max_lm_calls"}) {
    for (ResponseSynthesizer* target : {&synthesizer, &empty}) {
      try {
        core::run_sync(target->synthesize({.kwargs = {{"tone", "dry"}, {key, nullptr}}}));
        ADD_FAILURE() << key << " accepted";
      } catch (const core::TypeError& error) {
        const std::string kind = std::string(key) == "self" ? "argument" : "keyword argument";
        EXPECT_EQ(error.what(), "ResponseSynthesizer.synthesize() got multiple values for " +
                                    kind + " '" + std::string(key) + "'");
      }
    }
  }
  EXPECT_TRUE(recording->seen.empty());
  EXPECT_THROW(core::run_sync(empty.synthesize()), core::TypeError);
}

// Awaits the calls inside a coroutine, where g++ 12 would destroy a defaulted
// aggregate argument twice (the sanitizer builds catch it).
TEST(ResponseSynthesizerTest, AwaitedInsideACoroutine) {
  auto recording = std::make_shared<RecordingStrategy>();
  const ResponseSynthesizer synthesizer(recording);
  const auto body = [&]() -> boost::asio::awaitable<std::vector<Value>> {
    std::vector<Value> out;
    out.push_back(co_await synthesizer.synthesize());
#if defined(__clang__)
    // An inline aggregate inside the co_await: only clang compiles the
    // caller correctly (see "g++ 12 and co_await" in README.md).
    out.push_back(co_await synthesizer.synthesize(
        {.query = "inline", .chunks = {core::make_chunk("a")}, .kwargs = {{"tone", "dry"}}}));
#endif
    co_return out;
  };
  const std::vector<Value> answers = core::run_sync(body());
  EXPECT_EQ(answers.at(0), "seen");
  EXPECT_EQ(recording->seen.at(0).query, "");
  EXPECT_EQ(recording->seen.at(0).kwargs, Value::object());
#if defined(__clang__)
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(recording->seen.at(1).query, "inline");
  EXPECT_EQ(recording->seen.at(1).chunks.at(0)->text(), "a");
  EXPECT_EQ(recording->seen.at(1).kwargs, (Value{{"tone", "dry"}}));
#endif
}

TEST(ResponseSynthesizerTest, HookTexts) {
  NamedSynthesizer named(std::make_shared<RecordingStrategy>());
  EXPECT_EQ(named._format_input_event({{"query", "abc"}}),
            "[Start 'NamedSynthesizer'] Processing query: 'abc'");
  EXPECT_EQ(named._format_input_event(Value::object()),
            "[Start 'NamedSynthesizer'] Processing query: None");
  EXPECT_EQ(named._format_output_event("Hi"),
            "[Finished 'NamedSynthesizer'] Successfully synthesized response:\n'Hi'");
  EXPECT_EQ(named._format_output_event("a\nb"),
            "[Finished 'NamedSynthesizer'] Successfully synthesized response:\n'a\\nb'");
  // With debug logging on, the texts go around the call on the class's logger.
  core::LogCapture capture;
  ResponseSynthesizer plain(std::make_shared<RecordingStrategy>());
  core::run_sync(plain.synthesize({.query = "abc"}));
  core::run_sync(plain.synthesize());
  EXPECT_THAT(capture.messages("ResponseSynthesizer", core::LogLevel::debug),
              ElementsAre("[Start 'ResponseSynthesizer'] Processing query: 'abc'",
                          "[Finished 'ResponseSynthesizer'] Successfully synthesized response:\n"
                          "'seen'",
                          "[Start 'ResponseSynthesizer'] Processing query: None",
                          "[Finished 'ResponseSynthesizer'] Successfully synthesized response:\n"
                          "'seen'"));
}

TEST(ResponseSynthesizerTest, ClassLevelConstructors) {
  auto lm = make_lm();
  const std::string exactly_one =
      "Must provide exactly one of 'lm_request_processor' (deprecated) or 'lm_invoker'.";
  try {
    ResponseSynthesizer::stuff();
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_EQ(error.what(), exactly_one);
  }
  EXPECT_THROW(ResponseSynthesizer::map_reduce(
                   {.max_iterations = 2, .map_lm_invoker = lm, .reduce_lm_invoker = lm}),
               core::ValueError);
  EXPECT_NO_THROW(ResponseSynthesizer::map_reduce({.map_lm_invoker = lm, .reduce_lm_invoker = lm}));

  ResponseSynthesizer list = ResponseSynthesizer::static_list();
  EXPECT_TRUE(list.streamable());
  ASSERT_NE(std::dynamic_pointer_cast<strategy::StaticListSynthesisStrategy>(list.strategy()),
            nullptr);
  auto emitter = std::make_shared<RecordingEventEmitter>();
  EXPECT_EQ(core::run_sync(list.synthesize({.event_emitter = emitter})),
            "Sorry, I couldn't find anything based on your query.");
  EXPECT_THAT(emitter->types(), ElementsAre("response"));

  ResponseSynthesizer refine =
      ResponseSynthesizer::refine({.batch_size = 2, .lm_invoker = lm, .prompt_builder = prompt()});
  auto refine_strategy =
      std::dynamic_pointer_cast<strategy::RefineSynthesisStrategy>(refine.strategy());
  ASSERT_NE(refine_strategy, nullptr);
  EXPECT_EQ(refine_strategy->batch_size(), 2);
  EXPECT_FALSE(refine_strategy->stream_drafts());
  EXPECT_TRUE(refine.streamable());

  NamedSynthesizer quiet = ResponseSynthesizer::stuff<NamedSynthesizer>(
      {.streamable = false, .lm_invoker = lm, .prompt_builder = prompt()});
  EXPECT_EQ(quiet.class_name(), "NamedSynthesizer");
  EXPECT_FALSE(quiet.streamable());
  EXPECT_EQ(
      std::dynamic_pointer_cast<strategy::StuffSynthesisStrategy>(quiet.strategy())->lm_invoker(),
      lm);
  // A non-streamable synthesizer answers without sending events.
  emitter->clear();
  EXPECT_EQ(core::run_sync(quiet.synthesize({.query = "q", .event_emitter = emitter})),
            "an answer");
  EXPECT_THAT(emitter->events(), IsEmpty());
  EXPECT_FALSE(lm->requests().back().streamed);
  // A language-model strategy refuses a call without a query.
  EXPECT_THROW(core::run_sync(quiet.synthesize()), core::ValueError);
}

TEST(ResponseSynthesizerTest, StreamsThroughTheStuffStrategy) {
  auto lm = make_lm();
  ResponseSynthesizer synthesizer =
      ResponseSynthesizer::stuff({.lm_invoker = lm, .prompt_builder = prompt()});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  std::vector<core::ChunkPtr> chunks = {core::make_chunk("one"), core::make_chunk("two")};
  EXPECT_EQ(core::run_sync(
                synthesizer.synthesize({.query = "q", .chunks = chunks, .event_emitter = emitter})),
            "an answer");
  EXPECT_EQ(lm->requests().at(0).messages.at(0).text(), "one\n\ntwo");
  EXPECT_THAT(emitter->types(),
              ElementsAre("response_start", "response", "response", "response_end"));
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer
