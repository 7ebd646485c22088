#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/request_processor.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Invokers = std::vector<inference::LMInvokerPtr>;

const std::string kBounds =
    "The `batch_size`, and `max_iterations` parameters must be greater than 0.";
const std::string kNoReduction =
    "`batch_size=1` with `max_iterations > 1` prevents context reduction during the mapping "
    "iterations. Please either increase `batch_size` or set `max_iterations=1`.";
const std::string kExactlyOne =
    "Must provide exactly one of 'map_lm_request_processor' + 'reduce_lm_request_processor' "
    "(deprecated) or 'map_lm_invoker' + 'reduce_lm_invoker'.";
const std::string kBothProcessors =
    "Both map_lm_request_processor and reduce_lm_request_processor must be provided together.";
const std::string kBothInvokers =
    "Both map_lm_invoker and reduce_lm_invoker must be provided together.";

std::shared_ptr<ScriptedLMInvoker> make_lm() { return std::make_shared<ScriptedLMInvoker>(); }

std::shared_ptr<inference::LMRequestProcessor> make_processor(std::size_t fallbacks) {
  std::vector<inference::LMInvokerPtr> list;
  for (std::size_t i = 0; i < fallbacks; ++i) list.push_back(make_lm());
  return std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder("{context}", "{query}"), make_lm(), std::move(list));
}

std::string construction_error(MapReduceSynthesisStrategyOptions options) {
  try {
    MapReduceSynthesisStrategy strategy(std::move(options));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "<no error>";
}

TEST(MapReduceSynthesisStrategyTest, ChecksRunInOrderAndTheFirstFailureWins) {
  core::LogCapture capture;
  auto map = make_lm();
  auto reduce = make_lm();
  auto processor = make_processor(0);
  EXPECT_EQ(construction_error({.batch_size = 0}), kBounds);
  EXPECT_EQ(construction_error({.batch_size = -1, .map_lm_invoker = map}), kBounds);
  EXPECT_EQ(construction_error({.max_iterations = 0, .reduce_lm_invoker = reduce}), kBounds);
  EXPECT_EQ(construction_error({.max_iterations = 2}), kNoReduction);
  EXPECT_EQ(construction_error({.map_fallback_lms = Invokers{map}}), kExactlyOne);
  EXPECT_EQ(
      construction_error({.map_lm_request_processor = processor, .reduce_lm_invoker = reduce}),
      kExactlyOne);
  EXPECT_EQ(construction_error({.map_lm_request_processor = processor}), kBothProcessors);
  EXPECT_EQ(construction_error({.reduce_lm_request_processor = processor}), kBothProcessors);
  EXPECT_EQ(construction_error({.map_lm_invoker = map}), kBothInvokers);
  EXPECT_EQ(construction_error({.reduce_lm_invoker = reduce}), kBothInvokers);
  EXPECT_THAT(capture.lines(), IsEmpty());
  EXPECT_EQ(construction_error({.batch_size = 2,
                                .max_iterations = 5,
                                .map_lm_invoker = map,
                                .reduce_lm_invoker = reduce}),
            "<no error>");
  EXPECT_EQ(
      construction_error({.batch_size = 3, .map_lm_invoker = map, .reduce_lm_invoker = reduce}),
      "<no error>");
}

TEST(MapReduceSynthesisStrategyTest, CurrentPathBindsTwoSlots) {
  auto map = make_lm();
  auto reduce = make_lm();
  // The map prompt is given; the reduce slot gets its default template.
  MapReduceSynthesisStrategy strategy(
      {.map_lm_invoker = map,
       .reduce_lm_invoker = reduce,
       .map_prompt_builder = inference::PromptBuilder("{context}", "{query}")});
  EXPECT_EQ(strategy.batch_size(), 1);
  EXPECT_EQ(strategy.max_iterations(), 1);
  EXPECT_EQ(strategy.chunks_repacker()->mode, repacker::RepackerMode::CONTEXT);
  EXPECT_THAT(strategy._lm_invokers_slot().slots(), ElementsAre("map", "reduce"));
  EXPECT_EQ(strategy._lm_invokers_slot().at("map"), map);
  EXPECT_TRUE(strategy._fallback_lms_slot().empty());
  EXPECT_EQ(strategy._prompt_builder("map").system_template(), "{context}");
  EXPECT_EQ(strategy._prompt_builder("reduce").system_template(), "");
  EXPECT_EQ(strategy._prompt_builder("reduce").user_template(), "{context}");
  const inference::LMSlots slots = strategy.lm_slots();
  ASSERT_EQ(slots.size(), 2u);
  for (const auto& [name, slot] : slots) {
    EXPECT_THAT(slot.prompt_vars, ElementsAre("context", "query")) << name;
    EXPECT_EQ(slot.default_user_template, "{context}");
    EXPECT_FALSE(slot.default_system_template.has_value());
  }
  // A fallback list is entered only when given, an empty one included.
  MapReduceSynthesisStrategy one_fallback(
      {.map_lm_invoker = map, .reduce_lm_invoker = reduce, .map_fallback_lms = Invokers{map}});
  EXPECT_THAT(one_fallback._fallback_lms_slot().slots(), ElementsAre("map"));
  MapReduceSynthesisStrategy empty_fallback(
      {.map_lm_invoker = map, .reduce_lm_invoker = reduce, .map_fallback_lms = Invokers{}});
  EXPECT_THAT(empty_fallback._fallback_lms_slot().slots(), ElementsAre("map"));
  EXPECT_THAT(empty_fallback._fallback_lms_slot().at("map"), IsEmpty());
  // Given collaborators are kept; default repackers are per instance.
  auto repacker =
      std::make_shared<repacker::Ruzededo>(repacker::RuzededoOptions{.mode = "context"});
  MapReduceSynthesisStrategy given({.chunks_repacker = repacker,
                                    .extractor_func = [](const auto&) { return core::Value(1); },
                                    .map_lm_invoker = map,
                                    .reduce_lm_invoker = reduce});
  EXPECT_EQ(given.chunks_repacker(), repacker);
  EXPECT_EQ(given.extractor_func()(inference::LMOutput()), core::Value(1));
  EXPECT_NE(strategy.chunks_repacker(), one_fallback.chunks_repacker());
}

TEST(MapReduceSynthesisStrategyTest, DeprecatedPairIsConvertedWithOneWarning) {
  core::LogCapture capture;
  auto map_processor = make_processor(1);
  auto reduce_processor = make_processor(2);
  MapReduceSynthesisStrategy strategy({.map_lm_request_processor = map_processor,
                                       .reduce_lm_request_processor = reduce_processor,
                                       .map_fallback_lms = Invokers{make_lm()},
                                       .reduce_fallback_lms = Invokers{make_lm()}});
  EXPECT_THAT(capture.messages("MapReduceSynthesisStrategy", core::LogLevel::warn),
              ElementsAre("map_lm_request_processor and reduce_lm_request_processor are "
                          "deprecated and will be removed in v0.7. Use lm_invoker={'map': ..., "
                          "'reduce': ...} instead."));
  EXPECT_EQ(strategy._lm_invokers_slot().at("map"), map_processor->lm_invoker());
  EXPECT_EQ(strategy._lm_invokers_slot().at("reduce"), reduce_processor->lm_invoker());
  EXPECT_EQ(strategy._fallback_lms_slot().at("map"), map_processor->fallback_lms());
  EXPECT_EQ(strategy._fallback_lms_slot().at("reduce"), reduce_processor->fallback_lms());
  EXPECT_EQ(strategy._prompt_builder("reduce").system_template(), "{context}");
  EXPECT_EQ(strategy.map_lm_request_processor(), map_processor);
  EXPECT_EQ(strategy.reduce_lm_request_processor(), reduce_processor);
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
