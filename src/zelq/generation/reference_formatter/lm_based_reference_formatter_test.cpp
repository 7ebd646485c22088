#include "zelq/generation/reference_formatter/lm_based_reference_formatter.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::reference_formatter {
namespace {

using core::ChunkPtr;
using core::make_chunk;
using core::Value;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;

const std::string kWarning =
    "LMBasedReferenceFormatter is deprecated and will be removed in v0.7, please use "
    "LMReferenceFormatter instead.";

std::vector<std::string> warnings(const core::LogCapture& capture) {
  return capture.messages("LMBasedReferenceFormatter", zelq::core::LogLevel::warn);
}

struct Processor {
  std::shared_ptr<ScriptedLMInvoker> lm = std::make_shared<ScriptedLMInvoker>();
  inference::LMRequestProcessorPtr processor = std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder(std::string(PRESET_SYSTEM_TEMPLATE), ""), lm);
};

std::vector<ChunkPtr> chunks_named(int count) {
  std::vector<ChunkPtr> chunks;
  for (int i = 0; i < count; ++i) {
    chunks.push_back(make_chunk("c", Value{{"file_name", "f" + std::to_string(i)}}));
  }
  return chunks;
}

TEST(LMBasedReferenceFormatterTest, WarnsOnEveryConstruction) {
  core::LogCapture capture;
  Processor p;
  LMBasedReferenceFormatter first(p.processor);
  LMBasedReferenceFormatter second(p.processor, {.batch_size = 2});
  EXPECT_THAT(warnings(capture), ElementsAre(kWarning, kWarning));
  capture.clear();
  EXPECT_THROW(LMBasedReferenceFormatter(nullptr), core::ValueError);
  EXPECT_THAT(warnings(capture), ElementsAre(kWarning));
}

TEST(LMBasedReferenceFormatterTest, BatchesThroughTheProcessorAndReadsSettingsPerCall) {
  core::LogCapture capture;
  Processor p;
  p.lm->set_responder([](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    // Names the first chunk of the batch, and one of another batch.
    const std::string context = request.prompt_variables.at("context");
    const std::string first = context.substr(context.find(": ") + 2, 2);
    output.set_structured_output({{"file_name", {first, "f9"}}});
    return output;
  });
  p.lm->set_latency(std::chrono::milliseconds(1));  // batches wait at once
  LMBasedReferenceFormatter formatter(p.processor, {.stringify = false});
  const std::vector<ChunkPtr> chunks = chunks_named(7);
  auto select = [&] {
    return std::get<std::vector<ChunkPtr>>(
        core::run_sync(formatter.format_reference("resp", chunks)));
  };
  EXPECT_THAT(select(), ElementsAre(chunks[0], chunks[5]));
  EXPECT_EQ(p.lm->peak_concurrency(), 2u);
  formatter.batch_size = 3;
  EXPECT_THAT(select(), ElementsAre(chunks[0], chunks[3], chunks[6]));
  const auto requests = p.lm->requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[0].prompt_variables.at("response"), "resp");
  EXPECT_EQ(requests[4].prompt_variables.at("context"),
            "<Chunk>\nfile_name: f6\ncontent:\nc\n</Chunk>");
  // No shortcut for an empty list: a batch size of 0 fails even then.
  formatter.batch_size = 0;
  EXPECT_THROW(core::run_sync(formatter.format_reference("resp", {})), core::ValueError);
  EXPECT_EQ(p.lm->call_count(), 5u);

  // A null entry or a text (never a substring test) selects nothing of its
  // batch; the call still succeeds.
  formatter.batch_size = 4;
  p.lm->set_responder([](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    const bool first =
        request.prompt_variables.at("context").get<std::string>().find("f0") != std::string::npos;
    output.set_structured_output({{"file_name", first ? Value(nullptr) : Value("f4 f5 f6")}});
    return output;
  });
  EXPECT_TRUE(select().empty());
  EXPECT_EQ(p.lm->call_count(), 7u);
}

TEST(LMBasedReferenceFormatterTest, AnAnswerTooDeepToParseSelectsNothingOfItsBatch) {
  Processor p;
  p.lm->push_text(R"({"file_name": ["f0", )" + std::string(600, '[') + std::string(600, ']') +
                  "]}");
  inference::LMOutput second;
  second.set_structured_output({{"file_name", {"f1"}}});
  p.lm->push_output(second);
  LMBasedReferenceFormatter formatter(p.processor, {.batch_size = 1, .stringify = false});
  const std::vector<ChunkPtr> chunks = chunks_named(2);
  EXPECT_THAT(
      std::get<std::vector<ChunkPtr>>(core::run_sync(formatter.format_reference("resp", chunks))),
      ElementsAre(chunks[1]));
  EXPECT_EQ(p.lm->call_count(), 2u);
}

TEST(LMBasedReferenceFormatterTest, PresetBuildsAStructuredProcessorAndWarns) {
  core::LogCapture capture;
  std::vector<ScriptedLMInvoker*> built;
  providers::register_lm_provider(
      "scripted",
      inference::testing::scripted_provider([&](ScriptedLMInvoker& lm) { built.push_back(&lm); }));
  auto formatter = LMBasedReferenceFormatter::from_preset(
      "scripted/m", {.batch_size = 3, .reference_metadata = "title"});
  EXPECT_THAT(warnings(capture), ElementsAre(kWarning));
  ASSERT_EQ(built.size(), 1u);
  EXPECT_EQ(formatter->batch_size, 3);
  EXPECT_EQ(formatter->reference_metadata, "title");
  EXPECT_EQ(formatter->lm_request_processor->prompt_builder().system_template(),
            PRESET_SYSTEM_TEMPLATE);
  EXPECT_EQ(built[0]->response_schema(), detail::relevant_chunks_schema("title"));
  EXPECT_EQ(formatter->lm_request_processor->response_schema(),
            detail::relevant_chunks_schema("title"));
  built[0]->push_structured({{"title", {"T"}}});
  const ChunkPtr chunk = make_chunk("c", {{"title", "T"}, {"file_name", "f.pdf"}});
  EXPECT_EQ(std::get<std::string>(core::run_sync(formatter->format_reference("r", {chunk}))),
            "References:\n1. f.pdf");
}

}  // namespace
}  // namespace zelq::generation::reference_formatter
