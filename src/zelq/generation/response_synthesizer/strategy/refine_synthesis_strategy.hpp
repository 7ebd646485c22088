// The refine strategy: a draft refined over the chunks, one batch at a time.
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

// Constructor options of RefineSynthesisStrategy, in parameter order.
// Exactly one of `lm_request_processor` and `lm_invoker` must be set.
struct RefineSynthesisStrategyOptions {
  // Deprecated: the request processor whose invoker cascade is used.
  inference::LMRequestProcessorPtr lm_request_processor{};
  // Packs one batch into one context text; null builds a repacker in mode
  // "context".
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  // Chunks refined per call; must be greater than 0.
  int batch_size = 1;
  // Takes the result from the last output; empty uses the output's text.
  ExtractorFunc extractor_func{};
  // True streams every batch's call, false only the last one.
  bool stream_drafts = false;
  // The invoker of the default slot (it may serve other components too).
  inference::LMInvokerPtr lm_invoker{};
  // Invokers tried, in order, when `lm_invoker` fails.
  std::vector<inference::LMInvokerPtr> fallback_lms{};
  // The prompt sent to `lm_invoker` and its fallbacks; its templates use
  // "query", "context" and "draft_response". Required with `lm_invoker` (the strategy has no
  // default templates); not used with a request processor, whose own prompt
  // builder is taken.
  std::optional<inference::PromptBuilder> prompt_builder{};
};

// Writes an answer by refining a draft over the chunks, batch by batch: each
// batch is repacked into the prompt variable "context" and sent with the
// query and the draft so far ("draft_response"); the answer becomes the next
// draft. Only the last batch's call streams to the caller's emitter, unless
// `stream_drafts` is set. A custom prompt should use "query", "context" and
// "draft_response".
class RefineSynthesisStrategy : public BaseSynthesisStrategy, public inference::LMComponent {
 public:
  // Throws ValueError "Must provide exactly one of 'lm_request_processor'
  // (deprecated) or 'lm_invoker'." (checked first), then ValueError "The
  // `batch_size` parameter must be greater than 0.", both before anything
  // is logged; then as StuffSynthesisStrategy's constructor (deprecation
  // warning and conversion of a request processor, LMComponent's errors).
  explicit RefineSynthesisStrategy(RefineSynthesisStrategyOptions options);

  std::string class_name() const override { return "RefineSynthesisStrategy"; }
  std::set<std::string, std::less<>> prompt_vars() const override;

  // Sets the context's "draft_response" and "context" variables to the
  // prompt builder's defaults ("" when none); without chunks makes one call
  // (info "Synthesizing response without any provided context."); otherwise
  // one call per batch, strictly in sequence (info "Refining response
  // [Context batch <i> out of <n>]"), and puts the caller's emitter back
  // after the last one. Returns what the extractor takes from the last
  // output. Throws what the repacker, the invocation (e.g. the ValueError of
  // an empty query, in the first batch after its repack) and the extractor
  // throw; the context then keeps the emitter and variables of the failed
  // batch. `context` and the strategy must outlive the awaitable;
  // cancellation propagates.
  boost::asio::awaitable<core::Value> synthesize(SynthesisContext& context) const override;

  const std::shared_ptr<repacker::Ruzededo>& chunks_repacker() const noexcept {
    return chunks_repacker_;
  }
  int batch_size() const noexcept { return batch_size_; }
  const ExtractorFunc& extractor_func() const noexcept { return extractor_func_; }
  bool stream_drafts() const noexcept { return stream_drafts_; }
  // The deprecated request processor as given (null on the current path).
  const inference::LMRequestProcessorPtr& lm_request_processor() const noexcept {
    return lm_request_processor_;
  }

 protected:
  // For derived classes: `concrete_class` names the logger of the
  // deprecation warning, which is logged before the object is complete.
  RefineSynthesisStrategy(RefineSynthesisStrategyOptions options, std::string_view concrete_class);

 private:
  boost::asio::awaitable<inference::LMOutput> refine_batches(SynthesisContext& context) const;

  std::shared_ptr<repacker::Ruzededo> chunks_repacker_;
  int batch_size_ = 1;
  ExtractorFunc extractor_func_;
  bool stream_drafts_ = false;
  inference::LMRequestProcessorPtr lm_request_processor_;
};

}  // namespace zelq::generation::response_synthesizer::strategy
