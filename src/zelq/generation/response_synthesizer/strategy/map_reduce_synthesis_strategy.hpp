// The map-reduce strategy: batches of chunks condensed concurrently into
// drafts, then reduced into the answer by one final call.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/generation/repacker/repacker.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::response_synthesizer::strategy {

// Constructor options of MapReduceSynthesisStrategy, in parameter order.
// Exactly one pair must be given, and completely: the two (deprecated)
// request processors, or the two invokers.
struct MapReduceSynthesisStrategyOptions {
  // Deprecated: the request processor of the map phase.
  inference::LMRequestProcessorPtr map_lm_request_processor{};
  // Deprecated: the request processor of the reduce phase.
  inference::LMRequestProcessorPtr reduce_lm_request_processor{};
  // Packs a batch of chunks into one context text, and joins the text items
  // of a map output with its delimiter; null builds one in mode "context".
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  // Takes the result from the reduce output; empty uses the output's text.
  ExtractorFunc extractor_func{};
  // Chunks per map call; at least 1.
  int batch_size = 1;
  // The most map iterations; at least 1 (and 1 when batch_size is 1).
  int max_iterations = 1;
  // The invoker of the slot "map".
  inference::LMInvokerPtr map_lm_invoker{};
  // The invoker of the slot "reduce".
  inference::LMInvokerPtr reduce_lm_invoker{};
  // Fallbacks of the slot "map"; nullopt leaves the slot without an entry.
  std::optional<std::vector<inference::LMInvokerPtr>> map_fallback_lms{};
  // Fallbacks of the slot "reduce"; nullopt leaves the slot without an entry.
  std::optional<std::vector<inference::LMInvokerPtr>> reduce_fallback_lms{};
  // The prompts of the slots "map" and "reduce" with the invokers; nullopt
  // gives the slot the user template "{context}". Not used with request
  // processors, whose own prompt builders are taken.
  std::optional<inference::PromptBuilder> map_prompt_builder{};
  std::optional<inference::PromptBuilder> reduce_prompt_builder{};
};

// The synthesis strategy for large amounts of content. In each map iteration
// the chunks are cut into batches of `batch_size`, every batch is repacked
// and condensed into a draft by the slot "map", all batches at once, and the
// non-empty drafts become the new chunks; this repeats while the chunks
// outnumber `batch_size` and fewer than `max_iterations` iterations ran. One
// call of the slot "reduce" then writes the answer from the remaining chunks.
// Only the reduce call streams to the caller's emitter. A custom prompt of
// either slot uses the variables "query" and "context".
class MapReduceSynthesisStrategy : public BaseSynthesisStrategy, public inference::LMComponent {
 public:
  // Checks, in this order, throwing ValueError with the first failing one:
  // "The `batch_size`, and `max_iterations` parameters must be greater than
  // 0."; "`batch_size=1` with `max_iterations > 1` prevents context
  // reduction during the mapping iterations. Please either increase
  // `batch_size` or set `max_iterations=1`."; then the pairing checks of
  // _resolve_lm_invoker_payload; then LMComponent's errors. Nothing is
  // logged before all checks pass.
  explicit MapReduceSynthesisStrategy(MapReduceSynthesisStrategyOptions options);

  std::string class_name() const override { return "MapReduceSynthesisStrategy"; }
  // The slots "map" and "reduce", each with the variables "query" and
  // "context" and the default user template "{context}".
  inference::LMSlots lm_slots() const override;

  // Runs the map iterations, then the reduce phase, and returns what the
  // extractor takes from the reduce output. Throws ValueError "Map phase
  // produced 0 non-empty result(s) from <n> map call(s); refusing to reduce
  // without mapped context." when no map call of an iteration yields text,
  // and whatever the repacker, the invocations (e.g. the ValueError of an
  // empty query) and the extractor throw. A failed iteration leaves the
  // context's chunks as they were at its start and its emitter restored.
  // `context` and the strategy must outlive the awaitable; a cancellation
  // reaches every running map call, and the iteration still restores the
  // emitter before it propagates.
  boost::asio::awaitable<core::Value> synthesize(SynthesisContext& context) const override;

  const std::shared_ptr<repacker::Ruzededo>& chunks_repacker() const noexcept {
    return chunks_repacker_;
  }
  const ExtractorFunc& extractor_func() const noexcept { return extractor_func_; }
  int batch_size() const noexcept { return batch_size_; }
  int max_iterations() const noexcept { return max_iterations_; }
  // The deprecated request processors as given (null on the current path).
  const inference::LMRequestProcessorPtr& map_lm_request_processor() const noexcept {
    return map_lm_request_processor_;
  }
  const inference::LMRequestProcessorPtr& reduce_lm_request_processor() const noexcept {
    return reduce_lm_request_processor_;
  }

 protected:
  // For derived classes: `concrete_class` names the logger of the
  // deprecation warning, which is logged before the object is complete.
  MapReduceSynthesisStrategy(MapReduceSynthesisStrategyOptions options,
                             std::string_view concrete_class);

  // The invokers and fallbacks of the slots "map" and "reduce". Throws
  // ValueError "Must provide exactly one of 'map_lm_request_processor' +
  // 'reduce_lm_request_processor' (deprecated) or 'map_lm_invoker' +
  // 'reduce_lm_invoker'.", "Both map_lm_request_processor and
  // reduce_lm_request_processor must be provided together." or "Both
  // map_lm_invoker and reduce_lm_invoker must be provided together.". The
  // deprecated pair logs one warning on the logger `logger_name`, then
  // converts the map processor and the reduce processor, in this order; the
  // fallback arguments are then ignored.
  static std::pair<inference::LMInvokerSlots, inference::LMFallbackSlots>
  _resolve_lm_invoker_payload(
      std::string_view logger_name,
      const inference::LMRequestProcessorPtr& map_lm_request_processor,
      const inference::LMRequestProcessorPtr& reduce_lm_request_processor,
      inference::LMInvokerPtr map_lm_invoker, inference::LMInvokerPtr reduce_lm_invoker,
      std::optional<std::vector<inference::LMInvokerPtr>> map_fallback_lms,
      std::optional<std::vector<inference::LMInvokerPtr>> reduce_fallback_lms);

  // One map iteration (numbered from 1 for the progress message): replaces
  // context.chunks by one chunk per non-empty draft, in batch order. The
  // emitter is null while it runs and restored however it ends.
  boost::asio::awaitable<void> _map(SynthesisContext& context, int iteration) const;
  // The non-blank text items of a map output joined by the repacker's
  // delimiter ("" when there are none).
  std::string _extract_mapped_text(const inference::LMOutput& result) const;
  // The reduce phase: repacks all chunks into the variable "context" (the
  // reduce prompt's default for it when empty) and makes the one call of
  // the slot "reduce", with the context's emitter.
  boost::asio::awaitable<inference::LMOutput> _reduce(SynthesisContext& context) const;
  // The info text that opens the reduce phase.
  std::string _get_reduce_log_message(const SynthesisContext& context) const;

 private:
  boost::asio::awaitable<std::size_t> map_batches(SynthesisContext& context, int iteration) const;

  std::shared_ptr<repacker::Ruzededo> chunks_repacker_;
  ExtractorFunc extractor_func_;
  int batch_size_ = 1;
  int max_iterations_ = 1;
  inference::LMRequestProcessorPtr map_lm_request_processor_;
  inference::LMRequestProcessorPtr reduce_lm_request_processor_;
};

}  // namespace zelq::generation::response_synthesizer::strategy
