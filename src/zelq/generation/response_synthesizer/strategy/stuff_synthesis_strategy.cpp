#include "zelq/generation/response_synthesizer/strategy/stuff_synthesis_strategy.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/generation/response_synthesizer/strategy/detail/lm_binding.hpp"

namespace zelq::generation::response_synthesizer::strategy {

StuffSynthesisStrategy::StuffSynthesisStrategy(StuffSynthesisStrategyOptions options)
    : StuffSynthesisStrategy(std::move(options), "StuffSynthesisStrategy") {}

StuffSynthesisStrategy::StuffSynthesisStrategy(StuffSynthesisStrategyOptions options,
                                               std::string_view concrete_class) {
  if ((options.lm_request_processor == nullptr) == (options.lm_invoker == nullptr)) {
    throw core::ValueError(
        "Must provide exactly one of 'lm_request_processor' (deprecated) or 'lm_invoker'.");
  }
  chunks_repacker_ = detail::repacker_or_default(std::move(options.chunks_repacker));
  extractor_func_ = detail::extractor_or_default(std::move(options.extractor_func));
  lm_request_processor_ = std::move(options.lm_request_processor);
  detail::LMBinding binding = detail::resolve_lm_binding(
      concrete_class, lm_request_processor_, std::move(options.lm_invoker),
      std::move(options.fallback_lms), std::move(options.prompt_builder));
  _init_lm_component(std::move(binding.lm_invoker), std::move(binding.fallback_lms),
                     std::move(binding.prompt_builder), std::move(binding.response_schema));
}

std::set<std::string, std::less<>> StuffSynthesisStrategy::prompt_vars() const {
  return {std::string(SynthesisPromptKey::QUERY), std::string(SynthesisPromptKey::CONTEXT)};
}

boost::asio::awaitable<core::Value> StuffSynthesisStrategy::synthesize(
    SynthesisContext& context) const {
  co_await _manage_context(context);
  auto call = _synthesize_with_lm(context);
  inference::LMOutput output = co_await std::move(call);
  co_return extractor_func_(output);
}

boost::asio::awaitable<void> StuffSynthesisStrategy::_manage_context(
    SynthesisContext& context) const {
  const std::string key(SynthesisPromptKey::CONTEXT);
  if (context.kwargs.is_object() && context.kwargs.contains(key)) {
    if (!context.chunks.empty()) {
      _logger()->warn("Both `context` and `chunks` are provided. Ignoring the `chunks`.");
    }
    co_return;
  }
  const core::Value key_defaults = _prompt_builder().key_defaults();
  auto repack = chunks_repacker_->repack(context.chunks);
  std::string text = detail::repacked_text(co_await std::move(repack));
  context.set_prompt_variable(
      SynthesisPromptKey::CONTEXT,
      text.empty() ? detail::key_default(key_defaults, key) : core::Value(std::move(text)));
}

}  // namespace zelq::generation::response_synthesizer::strategy
