// Construction of MapReduceSynthesisStrategy: slots, checks and the
// resolution of the two ways of receiving language models. The run-time
// operations are in map_reduce_synthesis.cpp.
#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/response_synthesizer/strategy/detail/lm_binding.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

constexpr std::string_view MAP_SLOT = "map";
constexpr std::string_view REDUCE_SLOT = "reduce";

void check_iteration_bounds(int batch_size, int max_iterations) {
  if (batch_size <= 0 || max_iterations <= 0) {
    throw core::ValueError(
        "The `batch_size`, and `max_iterations` parameters must be greater than 0.");
  }
  if (batch_size == 1 && max_iterations > 1) {
    throw core::ValueError(
        "`batch_size=1` with `max_iterations > 1` prevents context reduction during the mapping "
        "iterations. Please either increase `batch_size` or set `max_iterations=1`.");
  }
}

// The prompt builders and response schemas of the two slots: those of the
// request processors when they are given, else the prompts of the options.
std::pair<inference::LMPromptSlots, inference::LMSchemaSlots> slot_prompts(
    const inference::LMRequestProcessorPtr& map_processor,
    const inference::LMRequestProcessorPtr& reduce_processor,
    MapReduceSynthesisStrategyOptions& options) {
  inference::LMPromptSlots prompts;
  inference::LMSchemaSlots schemas;
  const auto add = [&](std::string_view slot, std::optional<inference::PromptBuilder> prompt,
                       const std::optional<core::Value>& schema) {
    if (prompt) prompts.insert_or_assign(std::string(slot), std::move(*prompt));
    if (schema) schemas.insert_or_assign(std::string(slot), *schema);
  };
  if (map_processor && reduce_processor) {
    add(MAP_SLOT, map_processor->prompt_builder(), map_processor->response_schema());
    add(REDUCE_SLOT, reduce_processor->prompt_builder(), reduce_processor->response_schema());
  } else {
    add(MAP_SLOT, std::move(options.map_prompt_builder), std::nullopt);
    add(REDUCE_SLOT, std::move(options.reduce_prompt_builder), std::nullopt);
  }
  return {std::move(prompts), std::move(schemas)};
}

}  // namespace

MapReduceSynthesisStrategy::MapReduceSynthesisStrategy(MapReduceSynthesisStrategyOptions options)
    : MapReduceSynthesisStrategy(std::move(options), "MapReduceSynthesisStrategy") {}

MapReduceSynthesisStrategy::MapReduceSynthesisStrategy(MapReduceSynthesisStrategyOptions options,
                                                       std::string_view concrete_class) {
  check_iteration_bounds(options.batch_size, options.max_iterations);
  chunks_repacker_ = detail::repacker_or_default(std::move(options.chunks_repacker));
  extractor_func_ = detail::extractor_or_default(std::move(options.extractor_func));
  batch_size_ = options.batch_size;
  max_iterations_ = options.max_iterations;
  map_lm_request_processor_ = std::move(options.map_lm_request_processor);
  reduce_lm_request_processor_ = std::move(options.reduce_lm_request_processor);
  auto [invokers, fallbacks] = _resolve_lm_invoker_payload(
      concrete_class, map_lm_request_processor_, reduce_lm_request_processor_,
      std::move(options.map_lm_invoker), std::move(options.reduce_lm_invoker),
      std::move(options.map_fallback_lms), std::move(options.reduce_fallback_lms));
  auto [prompts, schemas] =
      slot_prompts(map_lm_request_processor_, reduce_lm_request_processor_, options);
  _init_lm_component(std::move(invokers), std::move(fallbacks), std::move(prompts),
                     std::move(schemas));
}

inference::LMSlots MapReduceSynthesisStrategy::lm_slots() const {
  const auto slot = [] {
    return inference::LMComponentSlot{.prompt_vars = {std::string(SynthesisPromptKey::QUERY),
                                                      std::string(SynthesisPromptKey::CONTEXT)},
                                      .default_system_template = std::nullopt,
                                      .default_user_template = "{context}"};
  };
  return {{std::string(MAP_SLOT), slot()}, {std::string(REDUCE_SLOT), slot()}};
}

std::pair<inference::LMInvokerSlots, inference::LMFallbackSlots>
MapReduceSynthesisStrategy::_resolve_lm_invoker_payload(
    std::string_view logger_name, const inference::LMRequestProcessorPtr& map_lm_request_processor,
    const inference::LMRequestProcessorPtr& reduce_lm_request_processor,
    inference::LMInvokerPtr map_lm_invoker, inference::LMInvokerPtr reduce_lm_invoker,
    std::optional<std::vector<inference::LMInvokerPtr>> map_fallback_lms,
    std::optional<std::vector<inference::LMInvokerPtr>> reduce_fallback_lms) {
  const bool deprecated = map_lm_request_processor || reduce_lm_request_processor;
  const bool current = map_lm_invoker || reduce_lm_invoker;
  if (deprecated == current) {
    throw core::ValueError(
        "Must provide exactly one of 'map_lm_request_processor' + 'reduce_lm_request_processor' "
        "(deprecated) or 'map_lm_invoker' + 'reduce_lm_invoker'.");
  }
  if (deprecated && !(map_lm_request_processor && reduce_lm_request_processor)) {
    throw core::ValueError(
        "Both map_lm_request_processor and reduce_lm_request_processor must be provided "
        "together.");
  }
  if (current) {
    if (!map_lm_invoker || !reduce_lm_invoker) {
      throw core::ValueError(
          "Both map_lm_invoker and reduce_lm_invoker must be provided together.");
    }
    inference::LMFallbackSlots fallbacks;
    if (map_fallback_lms) fallbacks.insert_or_assign(std::string(MAP_SLOT), *map_fallback_lms);
    if (reduce_fallback_lms) {
      fallbacks.insert_or_assign(std::string(REDUCE_SLOT), *reduce_fallback_lms);
    }
    return {inference::LMInvokerSlots{{std::string(MAP_SLOT), std::move(map_lm_invoker)},
                                      {std::string(REDUCE_SLOT), std::move(reduce_lm_invoker)}},
            std::move(fallbacks)};
  }
  core::LoggerManager()
      .get_logger(logger_name)
      ->warn(
          "map_lm_request_processor and reduce_lm_request_processor are deprecated and will be "
          "removed in v0.7. Use lm_invoker={'map': ..., 'reduce': ...} instead.");
  auto [map_invoker, map_fallbacks] = map_lm_request_processor->to_lm_invoker_cascade();
  auto [reduce_invoker, reduce_fallbacks] = reduce_lm_request_processor->to_lm_invoker_cascade();
  return {inference::LMInvokerSlots{{std::string(MAP_SLOT), std::move(map_invoker)},
                                    {std::string(REDUCE_SLOT), std::move(reduce_invoker)}},
          inference::LMFallbackSlots{{std::string(MAP_SLOT), std::move(map_fallbacks)},
                                     {std::string(REDUCE_SLOT), std::move(reduce_fallbacks)}}};
}

}  // namespace zelq::generation::response_synthesizer::strategy
