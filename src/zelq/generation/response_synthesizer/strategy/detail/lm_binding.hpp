// The language-model binding steps that the stuff and refine strategies
// share, and small helpers of every language-model strategy.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "zelq/generation/repacker/repacker.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::response_synthesizer::strategy::detail {

// `repacker` when set, else a new Ruzededo in mode "context" (one per
// strategy).
std::shared_ptr<repacker::Ruzededo> repacker_or_default(
    std::shared_ptr<repacker::Ruzededo> repacker);

// `extractor` when set, else BaseSynthesisStrategy::_default_extractor_func.
ExtractorFunc extractor_or_default(ExtractorFunc extractor);

// The invoker of the default slot, its fallbacks, and the prompt builder and
// response schema the strategy sends with them.
struct LMBinding {
  inference::LMInvokerPtr lm_invoker;
  std::vector<inference::LMInvokerPtr> fallback_lms;
  std::optional<inference::PromptBuilder> prompt_builder{};
  std::optional<core::Value> response_schema{};
};

// Resolves the invoker pair of a one-slot strategy. With a request processor
// (deprecated): logs "lm_request_processor is deprecated and will be removed
// in v0.7. Use lm_invoker instead." on the logger `logger_name`, then takes
// the processor's to_lm_invoker_cascade() with its prompt builder and
// response schema; `lm_invoker`, `fallback_lms` and `prompt_builder` are not
// used. Otherwise returns `lm_invoker`, `fallback_lms` and `prompt_builder`.
LMBinding resolve_lm_binding(std::string_view logger_name,
                             const inference::LMRequestProcessorPtr& lm_request_processor,
                             inference::LMInvokerPtr lm_invoker,
                             std::vector<inference::LMInvokerPtr> fallback_lms,
                             std::optional<inference::PromptBuilder> prompt_builder);

// The text a repacker returned. Throws TypeError when it returned a list of
// chunks: synthesis strategies need a repacker in mode "context".
std::string repacked_text(repacker::RepackResult result);

// The value of `key` in `key_defaults` when present, else "".
core::Value key_default(const core::Value& key_defaults, std::string_view key);

}  // namespace zelq::generation::response_synthesizer::strategy::detail
