#include "zelq/generation/response_synthesizer/strategy/stuff_synthesis_strategy.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/request_processor.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using core::Value;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::shared_ptr<ScriptedLMInvoker> make_lm() { return std::make_shared<ScriptedLMInvoker>(); }

inference::PromptBuilder prompt(Value key_defaults = Value::object()) {
  return inference::PromptBuilder("<C>{context}</C>", "{query}", std::move(key_defaults));
}

std::vector<core::ChunkPtr> chunks_of(std::vector<std::string> contents) {
  std::vector<core::ChunkPtr> chunks;
  for (auto& content : contents) chunks.push_back(core::make_chunk(std::move(content)));
  return chunks;
}

std::string construction_error(StuffSynthesisStrategyOptions options) {
  try {
    StuffSynthesisStrategy strategy(std::move(options));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "<no error>";
}

std::vector<std::string> warnings(const core::LogCapture& capture) {
  return capture.messages("StuffSynthesisStrategy", core::LogLevel::warn);
}

TEST(StuffSynthesisStrategyTest, ConstructionBindsExactlyOneLanguageModelSource) {
  core::LogCapture capture;
  const std::string exactly_one =
      "Must provide exactly one of 'lm_request_processor' (deprecated) or 'lm_invoker'.";
  auto processor = std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder("sys {context}", "{query}"), std::make_shared<ScriptedLMInvoker>(),
      std::vector<inference::LMInvokerPtr>{std::make_shared<ScriptedLMInvoker>()});
  EXPECT_EQ(construction_error({}), exactly_one);
  EXPECT_EQ(
      construction_error(
          {.lm_request_processor = processor, .lm_invoker = make_lm(), .prompt_builder = prompt()}),
      exactly_one);
  EXPECT_THAT(warnings(capture), IsEmpty());
  // An invoker without a prompt: the stuff strategy has no default templates.
  EXPECT_THROW(StuffSynthesisStrategy({.lm_invoker = make_lm()}), core::ValueError);

  auto lm = make_lm();
  StuffSynthesisStrategy current({.lm_invoker = lm, .prompt_builder = prompt()});
  EXPECT_EQ(current.lm_invoker(), lm);
  EXPECT_THAT(current.fallback_lms(), IsEmpty());
  EXPECT_EQ(current.lm_request_processor(), nullptr);
  EXPECT_EQ(current.chunks_repacker()->mode, repacker::RepackerMode::CONTEXT);
  EXPECT_NE(
      current.chunks_repacker(),
      StuffSynthesisStrategy({.lm_invoker = lm, .prompt_builder = prompt()}).chunks_repacker());
  EXPECT_THAT(current.prompt_vars(), ElementsAre("context", "query"));

  StuffSynthesisStrategy deprecated(
      {.lm_request_processor = processor, .fallback_lms = {make_lm()}, .prompt_builder = prompt()});
  EXPECT_THAT(warnings(capture), ElementsAre("lm_request_processor is deprecated and will be "
                                             "removed in v0.7. Use lm_invoker instead."));
  EXPECT_EQ(deprecated.lm_invoker(), processor->lm_invoker());
  EXPECT_EQ(deprecated.fallback_lms(), processor->fallback_lms());
  EXPECT_EQ(deprecated._prompt_builder().system_template(), "sys {context}");
  EXPECT_EQ(deprecated.lm_request_processor(), processor);
}

TEST(StuffSynthesisStrategyTest, StuffsAllChunksIntoOneStreamedCall) {
  core::LogCapture capture;
  auto lm = make_lm();
  lm->push_text("The answer.");
  StuffSynthesisStrategy stuff({.lm_invoker = lm, .prompt_builder = prompt({{"context", "N/A"}})});
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  SynthesisContext context{
      .query = "q", .chunks = chunks_of({"a", "b", "c"}), .event_emitter = emitter};
  EXPECT_EQ(core::run_sync(stuff.synthesize(context)), "The answer.");
  const auto request = lm->requests().at(0);
  EXPECT_EQ(request.messages.at(0).text(), "<C>a\n\nb\n\nc</C>");
  EXPECT_EQ(request.messages.at(1).text(), "q");
  EXPECT_TRUE(request.streamed);
  EXPECT_THAT(emitter->types(),
              ElementsAre("response_start", "response", "response", "response_end"));
  EXPECT_EQ(context.kwargs.dump(), R"({"context":"a\n\nb\n\nc"})");
  EXPECT_EQ(context.key_repr("context"), "<SynthesisPromptKey.CONTEXT: 'context'>");
  EXPECT_THAT(warnings(capture), IsEmpty());
}

TEST(StuffSynthesisStrategyTest, ContextVariableAndEmptyContexts) {
  core::LogCapture capture;
  int sized = 0;
  auto counting = std::make_shared<repacker::Ruzededo>(
      repacker::RuzededoOptions{.mode = "context",
                                .size_func =
                                    [&sized](const core::Chunk& chunk) {
                                      ++sized;
                                      return repacker::default_size_func(chunk);
                                    },
                                .size_limit = 1000});
  auto lm = make_lm();
  lm->set_responder([](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    output.add_text(request.messages.at(0).text());
    return output;
  });
  StuffSynthesisStrategy stuff({.chunks_repacker = counting,
                                .lm_invoker = lm,
                                .prompt_builder = prompt({{"context", "N/A"}})});
  // A given context wins over the chunks; the repacker is not called.
  SynthesisContext given{.query = "q", .chunks = chunks_of({"x"}), .kwargs = {{"context", "mine"}}};
  EXPECT_EQ(core::run_sync(stuff.synthesize(given)), "<C>mine</C>");
  SynthesisContext given_alone{.query = "q", .kwargs = {{"context", "mine"}}};
  EXPECT_EQ(core::run_sync(stuff.synthesize(given_alone)), "<C>mine</C>");
  EXPECT_EQ(sized, 0);
  EXPECT_THAT(warnings(capture),
              ElementsAre("Both `context` and `chunks` are provided. Ignoring the `chunks`."));
  // No chunks: the builder's default for "context" is stored, so no warning.
  capture.clear();
  SynthesisContext empty{.query = "q"};
  EXPECT_EQ(core::run_sync(stuff.synthesize(empty)), "<C>N/A</C>");
  EXPECT_EQ(empty.kwargs.at("context"), "N/A");
  EXPECT_THAT(warnings(capture), IsEmpty());
  // Without a default the empty text goes in, with the empty-key warning.
  auto bare = make_lm();
  bare->push_text("ok");
  StuffSynthesisStrategy bare_stuff({.lm_invoker = bare, .prompt_builder = prompt()});
  SynthesisContext bare_context{.query = "q"};
  EXPECT_EQ(core::run_sync(bare_stuff.synthesize(bare_context)), "ok");
  EXPECT_EQ(bare->requests().at(0).messages.at(0).text(), "<C></C>");
  EXPECT_THAT(warnings(capture), ElementsAre("The <SynthesisPromptKey.CONTEXT: 'context'> key "
                                             "is empty. Assigning default value: ''."));
}

TEST(StuffSynthesisStrategyTest, FailuresAndExtractors) {
  auto lm = make_lm();
  StuffSynthesisStrategy stuff({.lm_invoker = lm, .prompt_builder = prompt()});
  // An empty query fails after the repack, which already filled "context".
  SynthesisContext no_query{.chunks = chunks_of({"a"})};
  EXPECT_THROW(core::run_sync(stuff.synthesize(no_query)), core::ValueError);
  EXPECT_EQ(no_query.kwargs.at("context"), "a");
  EXPECT_EQ(lm->call_count(), 0u);
  // A repacker in chunk mode cannot fill a prompt.
  StuffSynthesisStrategy chunk_mode({.chunks_repacker = std::make_shared<repacker::Ruzededo>(),
                                     .lm_invoker = lm,
                                     .prompt_builder = prompt()});
  SynthesisContext context{.query = "q", .chunks = chunks_of({"a"})};
  EXPECT_THROW(core::run_sync(chunk_mode.synthesize(context)), core::TypeError);
  // The fallback answers when the invoker fails; the extractor sees its output.
  auto fallback = make_lm();
  fallback->push_text("from fallback");
  lm->fail_at(0);
  StuffSynthesisStrategy with_fallback(
      {.extractor_func = [](const inference::LMOutput& output) -> Value {
         return {{"length", output.text().size()}};
       },
       .lm_invoker = lm,
       .fallback_lms = {fallback},
       .prompt_builder = prompt()});
  SynthesisContext fallback_context{.query = "q", .chunks = chunks_of({"a"})};
  EXPECT_EQ(core::run_sync(with_fallback.synthesize(fallback_context)), (Value{{"length", 13}}));
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
