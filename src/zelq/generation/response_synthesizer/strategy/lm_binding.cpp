#include "zelq/generation/response_synthesizer/strategy/detail/lm_binding.hpp"

#include <utility>
#include <variant>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"

namespace zelq::generation::response_synthesizer::strategy::detail {

std::shared_ptr<repacker::Ruzededo> repacker_or_default(
    std::shared_ptr<repacker::Ruzededo> repacker) {
  if (repacker) return repacker;
  return std::make_shared<repacker::Ruzededo>(repacker::RuzededoOptions{.mode = "context"});
}

ExtractorFunc extractor_or_default(ExtractorFunc extractor) {
  if (extractor) return extractor;
  return &BaseSynthesisStrategy::_default_extractor_func;
}

LMBinding resolve_lm_binding(std::string_view logger_name,
                             const inference::LMRequestProcessorPtr& lm_request_processor,
                             inference::LMInvokerPtr lm_invoker,
                             std::vector<inference::LMInvokerPtr> fallback_lms,
                             std::optional<inference::PromptBuilder> prompt_builder) {
  if (lm_request_processor) {
    core::LoggerManager()
        .get_logger(logger_name)
        ->warn(
            "lm_request_processor is deprecated and will be removed in v0.7. Use lm_invoker "
            "instead.");
    auto [invoker, fallbacks] = lm_request_processor->to_lm_invoker_cascade();
    return {std::move(invoker), std::move(fallbacks), lm_request_processor->prompt_builder(),
            lm_request_processor->response_schema()};
  }
  return {std::move(lm_invoker), std::move(fallback_lms), std::move(prompt_builder), std::nullopt};
}

std::string repacked_text(repacker::RepackResult result) {
  if (auto* text = std::get_if<std::string>(&result)) return std::move(*text);
  throw core::TypeError(
      "The chunks repacker returned a list of chunks; a synthesis strategy needs a repacker in "
      "mode 'context'.");
}

core::Value key_default(const core::Value& key_defaults, std::string_view key) {
  if (key_defaults.is_object()) {
    auto found = key_defaults.find(key);
    if (found != key_defaults.end()) return *found;
  }
  return core::Value("");
}

}  // namespace zelq::generation::response_synthesizer::strategy::detail
