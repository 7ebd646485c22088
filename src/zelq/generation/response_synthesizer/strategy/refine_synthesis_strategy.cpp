#include "zelq/generation/response_synthesizer/strategy/refine_synthesis_strategy.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/generation/response_synthesizer/strategy/detail/lm_binding.hpp"

namespace zelq::generation::response_synthesizer::strategy {

RefineSynthesisStrategy::RefineSynthesisStrategy(RefineSynthesisStrategyOptions options)
    : RefineSynthesisStrategy(std::move(options), "RefineSynthesisStrategy") {}

RefineSynthesisStrategy::RefineSynthesisStrategy(RefineSynthesisStrategyOptions options,
                                                 std::string_view concrete_class) {
  if ((options.lm_request_processor == nullptr) == (options.lm_invoker == nullptr)) {
    throw core::ValueError(
        "Must provide exactly one of 'lm_request_processor' (deprecated) or 'lm_invoker'.");
  }
  if (options.batch_size <= 0) {
    throw core::ValueError("The `batch_size` parameter must be greater than 0.");
  }
  chunks_repacker_ = detail::repacker_or_default(std::move(options.chunks_repacker));
  batch_size_ = options.batch_size;
  extractor_func_ = detail::extractor_or_default(std::move(options.extractor_func));
  stream_drafts_ = options.stream_drafts;
  lm_request_processor_ = std::move(options.lm_request_processor);
  detail::LMBinding binding = detail::resolve_lm_binding(
      concrete_class, lm_request_processor_, std::move(options.lm_invoker),
      std::move(options.fallback_lms), std::move(options.prompt_builder));
  _init_lm_component(std::move(binding.lm_invoker), std::move(binding.fallback_lms),
                     std::move(binding.prompt_builder), std::move(binding.response_schema));
}

std::set<std::string, std::less<>> RefineSynthesisStrategy::prompt_vars() const {
  return {std::string(SynthesisPromptKey::QUERY), std::string(SynthesisPromptKey::CONTEXT),
          std::string(SynthesisPromptKey::DRAFT_RESPONSE)};
}

boost::asio::awaitable<core::Value> RefineSynthesisStrategy::synthesize(
    SynthesisContext& context) const {
  const core::Value key_defaults = _prompt_builder().key_defaults();
  for (SynthesisPromptKey key : {SynthesisPromptKey::DRAFT_RESPONSE, SynthesisPromptKey::CONTEXT}) {
    context.set_prompt_variable(key, detail::key_default(key_defaults, key));
  }
  if (context.chunks.empty()) {
    _logger()->info("Synthesizing response without any provided context.");
    auto call = _synthesize_with_lm(context);
    inference::LMOutput output = co_await std::move(call);
    co_return extractor_func_(output);
  }
  auto batches = refine_batches(context);
  inference::LMOutput output = co_await std::move(batches);
  co_return extractor_func_(output);
}

boost::asio::awaitable<inference::LMOutput> RefineSynthesisStrategy::refine_batches(
    SynthesisContext& context) const {
  const std::shared_ptr<core::EventEmitter> event_emitter = context.event_emitter;
  core::Value draft_response = context.kwargs[std::string(SynthesisPromptKey::DRAFT_RESPONSE)];
  const std::size_t count = context.chunks.size();
  const std::size_t step = static_cast<std::size_t>(batch_size_);
  const std::size_t total_iterations = (count + step - 1) / step;
  std::size_t current_iteration = 0;
  inference::LMOutput lm_output;
  for (std::size_t i = 0; i < count; i += step) {
    ++current_iteration;
    _logger()->info("Refining response [Context batch " + std::to_string(current_iteration) +
                    " out of " + std::to_string(total_iterations) + "]");
    if (!stream_drafts_) {
      context.event_emitter = current_iteration == total_iterations ? event_emitter : nullptr;
    }
    const auto first = context.chunks.begin() + static_cast<std::ptrdiff_t>(i);
    std::vector<core::ChunkPtr> batch(
        first, first + static_cast<std::ptrdiff_t>(std::min(step, count - i)));
    auto repack = chunks_repacker_->repack(std::move(batch));
    std::string current_context = detail::repacked_text(co_await std::move(repack));
    context.set_prompt_variable(SynthesisPromptKey::DRAFT_RESPONSE, std::move(draft_response));
    context.set_prompt_variable(SynthesisPromptKey::CONTEXT, std::move(current_context));
    auto call = _synthesize_with_lm(context);
    lm_output = co_await std::move(call);
    draft_response = lm_output.text();
  }
  context.event_emitter = event_emitter;
  co_return lm_output;
}

}  // namespace zelq::generation::response_synthesizer::strategy
