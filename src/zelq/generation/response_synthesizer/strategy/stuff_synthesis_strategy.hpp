// The stuff strategy: one language-model invocation over all chunks.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/generation/repacker/repacker.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::response_synthesizer::strategy {

// Constructor options of StuffSynthesisStrategy, in parameter order. Exactly
// one of `lm_request_processor` and `lm_invoker` must be set.
struct StuffSynthesisStrategyOptions {
  // Deprecated: the request processor whose invoker cascade is used.
  inference::LMRequestProcessorPtr lm_request_processor{};
  // Packs the chunks into one context text; null builds a repacker in mode
  // "context".
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  // Takes the result from the output; empty uses the output's text.
  ExtractorFunc extractor_func{};
  // The invoker of the default slot (it may serve other components too).
  inference::LMInvokerPtr lm_invoker{};
  // Invokers tried, in order, when `lm_invoker` fails.
  std::vector<inference::LMInvokerPtr> fallback_lms{};
  // The prompt sent to `lm_invoker` and its fallbacks; its templates use
  // "query" and "context". Required with `lm_invoker` (the strategy has no
  // default templates); not used with a request processor, whose own prompt
  // builder is taken.
  std::optional<inference::PromptBuilder> prompt_builder{};
};

// Synthesizes a response with a single language-model invocation: all chunks
// are repacked into one context text, which is stuffed into the prompt
// variable "context" together with the query. A custom prompt should use the
// variables "query" and "context".
class StuffSynthesisStrategy : public BaseSynthesisStrategy, public inference::LMComponent {
 public:
  // Throws ValueError "Must provide exactly one of 'lm_request_processor'
  // (deprecated) or 'lm_invoker'." when both or neither are set (nothing is
  // logged then); the ValueError of LMComponent for an invoker given
  // without a prompt builder. A request processor logs "lm_request_processor is
  // deprecated and will be removed in v0.7. Use lm_invoker instead." and is
  // converted with to_lm_invoker_cascade(); the fallbacks given are then
  // ignored.
  explicit StuffSynthesisStrategy(StuffSynthesisStrategyOptions options);

  std::string class_name() const override { return "StuffSynthesisStrategy"; }
  std::set<std::string, std::less<>> prompt_vars() const override;

  // Repacks the chunks into the prompt variable "context" (unless the
  // context's kwargs hold one already), makes the one invocation through the
  // default slot and returns what the extractor takes from its output.
  // Throws the ValueError of an empty query (after the repack) and whatever
  // the repacker, the invocation and the extractor throw. `context` and the
  // strategy must outlive the awaitable; cancellation propagates.
  boost::asio::awaitable<core::Value> synthesize(SynthesisContext& context) const override;

  const std::shared_ptr<repacker::Ruzededo>& chunks_repacker() const noexcept {
    return chunks_repacker_;
  }
  const ExtractorFunc& extractor_func() const noexcept { return extractor_func_; }
  // The deprecated request processor as given (null on the current path).
  const inference::LMRequestProcessorPtr& lm_request_processor() const noexcept {
    return lm_request_processor_;
  }

 protected:
  // For derived classes: `concrete_class` names the logger of the
  // deprecation warning, which is logged before the object is complete.
  StuffSynthesisStrategy(StuffSynthesisStrategyOptions options, std::string_view concrete_class);

  // Fills the prompt variable "context" of `context.kwargs`: a given one is
  // kept (with the warning "Both `context` and `chunks` are provided.
  // Ignoring the `chunks`." when there are chunks); otherwise the repacked
  // chunks, or the prompt builder's default for "context" ("" when none)
  // when they repack to an empty text.
  boost::asio::awaitable<void> _manage_context(SynthesisContext& context) const;

 private:
  std::shared_ptr<repacker::Ruzededo> chunks_repacker_;
  ExtractorFunc extractor_func_;
  inference::LMRequestProcessorPtr lm_request_processor_;
};

}  // namespace zelq::generation::response_synthesizer::strategy
