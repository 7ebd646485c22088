#include "zelq/generation/response_synthesizer/strategy/refine_synthesis_strategy.hpp"

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
using inference::testing::RecordingEventEmitter;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

inference::PromptBuilder prompt(Value key_defaults = Value::object()) {
  return inference::PromptBuilder("{draft_response}|{context}", "{query}", std::move(key_defaults));
}

// Answers call i with "draft<i>".
std::shared_ptr<ScriptedLMInvoker> make_lm() {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder([](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    output.add_text("draft" + std::to_string(request.index));
    return output;
  });
  return lm;
}

std::vector<core::ChunkPtr> chunks_of(int count) {
  std::vector<core::ChunkPtr> chunks;
  for (int i = 1; i <= count; ++i) chunks.push_back(core::make_chunk("c" + std::to_string(i)));
  return chunks;
}

std::string construction_error(RefineSynthesisStrategyOptions options) {
  try {
    RefineSynthesisStrategy strategy(std::move(options));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "<no error>";
}

std::vector<std::string> logged(const core::LogCapture& capture, core::LogLevel level) {
  return capture.messages("RefineSynthesisStrategy", level);
}

TEST(RefineSynthesisStrategyTest, ConstructionChecksInOrder) {
  core::LogCapture capture;
  const std::string exactly_one =
      "Must provide exactly one of 'lm_request_processor' (deprecated) or 'lm_invoker'.";
  const std::string batch = "The `batch_size` parameter must be greater than 0.";
  EXPECT_EQ(construction_error({.batch_size = 0}), exactly_one);
  EXPECT_EQ(
      construction_error({.batch_size = 0, .lm_invoker = make_lm(), .prompt_builder = prompt()}),
      batch);
  EXPECT_EQ(
      construction_error({.batch_size = -2, .lm_invoker = make_lm(), .prompt_builder = prompt()}),
      batch);
  EXPECT_THAT(capture.lines(), IsEmpty());
  RefineSynthesisStrategy defaults({.lm_invoker = make_lm(), .prompt_builder = prompt()});
  EXPECT_EQ(defaults.batch_size(), 1);
  EXPECT_FALSE(defaults.stream_drafts());
  EXPECT_EQ(defaults.chunks_repacker()->mode, repacker::RepackerMode::CONTEXT);
  EXPECT_THAT(defaults.prompt_vars(), ElementsAre("context", "draft_response", "query"));
  auto processor = std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder("{draft_response}{context}", "{query}"),
      std::make_shared<ScriptedLMInvoker>());
  RefineSynthesisStrategy deprecated({.lm_request_processor = processor, .batch_size = 3});
  EXPECT_THAT(logged(capture, core::LogLevel::warn),
              ElementsAre("lm_request_processor is deprecated and will be removed in v0.7. Use "
                          "lm_invoker instead."));
  EXPECT_EQ(deprecated.lm_invoker(), processor->lm_invoker());
}

TEST(RefineSynthesisStrategyTest, RefinesBatchesInSequenceStreamingOnlyTheLast) {
  core::LogCapture capture;
  auto lm = make_lm();
  RefineSynthesisStrategy refine(
      {.batch_size = 2, .lm_invoker = lm, .prompt_builder = prompt({{"draft_response", "N/A"}})});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  SynthesisContext context{.query = "q",
                           .chunks = chunks_of(5),
                           .event_emitter = emitter,
                           .kwargs = {{"draft_response", "mine"}, {"context", "mine"}}};
  EXPECT_EQ(core::run_sync(refine.synthesize(context)), "draft2");
  const auto requests = lm->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].messages[0].text(), "N/A|c1\n\nc2");
  EXPECT_EQ(requests[1].messages[0].text(), "draft0|c3\n\nc4");
  EXPECT_EQ(requests[2].messages[0].text(), "draft1|c5");
  EXPECT_FALSE(requests[0].streamed);
  EXPECT_FALSE(requests[1].streamed);
  EXPECT_TRUE(requests[2].streamed);
  EXPECT_THAT(emitter->types(), ElementsAre("response_start", "response", "response_end"));
  EXPECT_THAT(logged(capture, core::LogLevel::info),
              ElementsAre("Refining response [Context batch 1 out of 3]",
                          "Refining response [Context batch 2 out of 3]",
                          "Refining response [Context batch 3 out of 3]"));
  EXPECT_EQ(context.event_emitter, emitter);
  EXPECT_EQ(context.kwargs.dump(), R"({"draft_response":"draft1","context":"c5"})");

  RefineSynthesisStrategy drafts({.batch_size = 2,
                                  .stream_drafts = true,
                                  .lm_invoker = lm,
                                  .prompt_builder = prompt({{"draft_response", "N/A"}})});
  SynthesisContext streamed{.query = "q", .chunks = chunks_of(3), .event_emitter = emitter};
  EXPECT_EQ(core::run_sync(drafts.synthesize(streamed)), "draft4");
  EXPECT_TRUE(lm->requests()[3].streamed);
  EXPECT_TRUE(lm->requests()[4].streamed);
}

TEST(RefineSynthesisStrategyTest, NoChunksAndOneBatch) {
  core::LogCapture capture;
  auto lm = make_lm();
  RefineSynthesisStrategy refine(
      {.batch_size = 4,
       .lm_invoker = lm,
       .prompt_builder = prompt({{"draft_response", "N/A"}, {"context", "none"}})});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  SynthesisContext empty{.query = "q", .event_emitter = emitter};
  EXPECT_EQ(core::run_sync(refine.synthesize(empty)), "draft0");
  EXPECT_EQ(lm->requests()[0].messages[0].text(), "N/A|none");
  EXPECT_TRUE(lm->requests()[0].streamed);
  EXPECT_THAT(logged(capture, core::LogLevel::info),
              ElementsAre("Synthesizing response without any provided context."));
  capture.clear();
  SynthesisContext one{.query = "q", .chunks = chunks_of(4), .event_emitter = emitter};
  EXPECT_EQ(core::run_sync(refine.synthesize(one)), "draft1");
  EXPECT_EQ(lm->requests()[1].messages[0].text(), "N/A|c1\n\nc2\n\nc3\n\nc4");
  EXPECT_TRUE(lm->requests()[1].streamed);
  EXPECT_THAT(logged(capture, core::LogLevel::info),
              ElementsAre("Refining response [Context batch 1 out of 1]"));
}

TEST(RefineSynthesisStrategyTest, FailuresLeaveTheBatchState) {
  auto lm = make_lm();
  lm->fail_at(1);
  RefineSynthesisStrategy refine({.lm_invoker = lm, .prompt_builder = prompt()});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  SynthesisContext context{.query = "q", .chunks = chunks_of(3), .event_emitter = emitter};
  EXPECT_THROW(core::run_sync(refine.synthesize(context)), core::RuntimeError);
  EXPECT_EQ(context.event_emitter, nullptr);
  EXPECT_EQ(context.kwargs.dump(), R"({"draft_response":"draft0","context":"c2"})");
  EXPECT_THAT(emitter->events(), IsEmpty());
  // An empty query fails in the first batch, after its line and its repack.
  core::LogCapture capture;
  SynthesisContext no_query{.chunks = chunks_of(2)};
  EXPECT_THROW(core::run_sync(refine.synthesize(no_query)), core::ValueError);
  EXPECT_EQ(no_query.kwargs.at("context"), "c1");
  EXPECT_THAT(logged(capture, core::LogLevel::info),
              ElementsAre("Refining response [Context batch 1 out of 2]"));
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
