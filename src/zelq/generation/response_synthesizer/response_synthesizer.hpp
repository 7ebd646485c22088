// The response synthesizer: the component an application holds to answer a
// query from chunks with one synthesis strategy.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/component.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/repacker/repacker.hpp"
#include "zelq/generation/response_synthesizer/strategy/static_list_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::response_synthesizer {

class ResponseSynthesizer;
class ResponseSynthesizerPresetFactory;

using StrategyPtr = std::shared_ptr<strategy::BaseSynthesisStrategy>;

// Options of ResponseSynthesizer::synthesize, in parameter order.
struct SynthesizeOptions {
  // The input query; nullopt and "" both mean none.
  std::optional<std::string> query{};
  // The chunks to be used as context (the caller's own chunk pointers).
  std::vector<core::ChunkPtr> chunks{};
  // The conversation history to be considered; nullopt means none.
  std::optional<std::vector<inference::Message>> history{};
  // Extra contents to be included in the request; nullopt means none.
  std::optional<std::vector<inference::MessageContent>> extra_contents{};
  // Hyperparameters for the language model: an object, or null for none.
  core::Value hyperparameters = nullptr;
  // The caller's sink for events during the synthesis; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // The most language-model calls of each invocation the strategy makes;
  // passed on unchecked.
  int max_lm_calls = 5;
  // Further values for the strategy, above all extra prompt variables (an
  // object; null counts as empty).
  core::Value kwargs = core::Value::object();
};

// Options of ResponseSynthesizer::stuff, in parameter order; all but
// `streamable` go to StuffSynthesisStrategy unchanged.
struct StuffOptions {
  inference::LMRequestProcessorPtr lm_request_processor{};  // deprecated
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  strategy::ExtractorFunc extractor_func{};
  bool streamable = true;
  inference::LMInvokerPtr lm_invoker{};
  std::vector<inference::LMInvokerPtr> fallback_lms{};
  // The prompt sent to the invokers (required with `lm_invoker`).
  std::optional<inference::PromptBuilder> prompt_builder{};
};

// Options of ResponseSynthesizer::map_reduce, in parameter order; all but
// `streamable` go to MapReduceSynthesisStrategy unchanged.
struct MapReduceOptions {
  inference::LMRequestProcessorPtr map_lm_request_processor{};     // deprecated
  inference::LMRequestProcessorPtr reduce_lm_request_processor{};  // deprecated
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  strategy::ExtractorFunc extractor_func{};
  int batch_size = 1;
  int max_iterations = 1;
  bool streamable = true;
  inference::LMInvokerPtr map_lm_invoker{};
  inference::LMInvokerPtr reduce_lm_invoker{};
  std::optional<std::vector<inference::LMInvokerPtr>> map_fallback_lms{};
  std::optional<std::vector<inference::LMInvokerPtr>> reduce_fallback_lms{};
  // The prompts of the two phases (nullopt: the user template "{context}").
  std::optional<inference::PromptBuilder> map_prompt_builder{};
  std::optional<inference::PromptBuilder> reduce_prompt_builder{};
};

// Options of ResponseSynthesizer::refine, in parameter order; all but
// `streamable` go to RefineSynthesisStrategy unchanged (with no repacker:
// the strategy's default one).
struct RefineOptions {
  inference::LMRequestProcessorPtr lm_request_processor{};  // deprecated
  int batch_size = 1;
  strategy::ExtractorFunc extractor_func{};
  bool stream_drafts = false;
  bool streamable = true;
  inference::LMInvokerPtr lm_invoker{};
  std::vector<inference::LMInvokerPtr> fallback_lms{};
  // The prompt sent to the invokers (required with `lm_invoker`).
  std::optional<inference::PromptBuilder> prompt_builder{};
};

// Options of ResponseSynthesizer::static_list, in parameter order.
struct StaticListOptions {
  strategy::FormatResponseFunc format_response_func{};
  bool streamable = true;
};

namespace detail {
// The strategies the class-level constructors build. Each throws what the
// strategy's constructor throws.
StrategyPtr make_stuff_strategy(StuffOptions&& options);
StrategyPtr make_map_reduce_strategy(MapReduceOptions&& options);
StrategyPtr make_refine_strategy(RefineOptions&& options);
StrategyPtr make_static_list_strategy(StaticListOptions&& options);
}  // namespace detail

// A class of synthesizers as the preset factory sees it: its class-level
// constructors, returning instances of that class.
struct ResponseSynthesizerClass {
  std::function<std::unique_ptr<ResponseSynthesizer>(StuffOptions)> stuff;
  std::function<std::unique_ptr<ResponseSynthesizer>(RefineOptions)> refine;
  std::function<std::unique_ptr<ResponseSynthesizer>(MapReduceOptions)> map_reduce;

  // The class `Synth` (ResponseSynthesizer or a class derived from it, with
  // Synth::stuff<Synth> and the others, copy- or move-constructible).
  template <class Synth>
  static ResponseSynthesizerClass of();
};

// The entry point of response synthesis: holds one strategy and, for each
// request, packs the query, chunks and other inputs into a fresh
// SynthesisContext and awaits the strategy with it. Holds no other state; one
// instance may serve several calls at once.
class ResponseSynthesizer : public core::Component {
 public:
  // Stores `strategy` and `streamable`; rejects nothing (a null strategy
  // fails at synthesize). The strategy and the flag are read at every call.
  explicit ResponseSynthesizer(StrategyPtr strategy, bool streamable = true);

  // "ResponseSynthesizer"; a derived class returns its own name.
  std::string class_name() const override { return "ResponseSynthesizer"; }

  // Synthesizes a response and returns the strategy's result unchanged (the
  // language-model strategies: what their extractor takes from the final
  // output, by default its text; static list: the formatted list). The
  // caller's emitter reaches the strategy only when `streamable()` is true at
  // the time of the call. Throws, before any work: TypeError when the
  // strategy is null; TypeError "ResponseSynthesizer.synthesize() got
  // multiple values for keyword argument '<key>'" when a key of `kwargs`
  // repeats a parameter (query, chunks, history, extra_contents,
  // hyperparameters, event_emitter, max_lm_calls; "... for argument 'self'"
  // for self); ValidationError for a
  // null chunk or for hyperparameters or kwargs that are not objects. Then
  // whatever the strategy throws. With debug logging on, the hook texts are
  // logged around the call. The synthesizer must outlive the returned
  // awaitable (it keeps the strategy of the call alive itself); cancellation
  // propagates. See "g++ 12 and co_await" in README.md for safe call shapes.
  boost::asio::awaitable<core::Value> synthesize(SynthesizeOptions options) const;
  // The same with every option at its default.
  boost::asio::awaitable<core::Value> synthesize() const;

  // Class-level constructors: each builds its strategy from the options
  // (throwing what that constructor throws) and returns a `Synth` (this
  // class by default; pass a derived class to build one of those) holding
  // it, with `options.streamable`.
  template <class Synth = ResponseSynthesizer>
  static Synth stuff(StuffOptions options = {}) {
    const bool streamable = options.streamable;
    return Synth(detail::make_stuff_strategy(std::move(options)), streamable);
  }
  template <class Synth = ResponseSynthesizer>
  static Synth map_reduce(MapReduceOptions options = {}) {
    const bool streamable = options.streamable;
    return Synth(detail::make_map_reduce_strategy(std::move(options)), streamable);
  }
  template <class Synth = ResponseSynthesizer>
  static Synth refine(RefineOptions options = {}) {
    const bool streamable = options.streamable;
    return Synth(detail::make_refine_strategy(std::move(options)), streamable);
  }
  template <class Synth = ResponseSynthesizer>
  static Synth static_list(StaticListOptions options = {}) {
    const bool streamable = options.streamable;
    return Synth(detail::make_static_list_strategy(std::move(options)), streamable);
  }

  // The one shared preset factory of this class and all its derived
  // classes, created on the first access and bound to the class `Synth` of
  // that access: it builds `Synth` instances from then on, whichever class
  // later accesses go through. Thread-safe; a creation that throws is
  // retried at the next access. Include
  // zelq/generation/response_synthesizer.hpp to use the factory.
  template <class Synth = ResponseSynthesizer>
  static ResponseSynthesizerPresetFactory& preset() {
    static_assert(std::is_base_of_v<ResponseSynthesizer, Synth>);
    return preset_for(&ResponseSynthesizerClass::of<Synth>);
  }

  // The strategy that does the work.
  const StrategyPtr& strategy() const noexcept { return strategy_; }
  // Whether the caller's event emitter is handed to the strategy.
  bool streamable() const noexcept { return streamable_; }
  // Changes whether later calls hand the caller's emitter to the strategy.
  // Not while calls run: each call reads the flag when it starts, and the
  // flag is not synchronised.
  void set_streamable(bool streamable) noexcept { streamable_ = streamable; }

 protected:
  // "[Start '<class>'] Processing query: " followed by the printed form of
  // the "query" entry of `input_dict` (None when absent or null).
  virtual std::string _format_input_event(const core::Value& input_dict) const;
  // "[Finished '<class>'] Successfully synthesized response:\n" followed by
  // the printed form of `output`.
  virtual std::string _format_output_event(const core::Value& output) const;

 private:
  static ResponseSynthesizerPresetFactory& preset_for(ResponseSynthesizerClass (*bind)());

  StrategyPtr strategy_;
  bool streamable_ = true;
};

template <class Synth>
ResponseSynthesizerClass ResponseSynthesizerClass::of() {
  static_assert(std::is_base_of_v<ResponseSynthesizer, Synth>);
  return {
      .stuff = [](StuffOptions options) -> std::unique_ptr<ResponseSynthesizer> {
        return std::make_unique<Synth>(Synth::template stuff<Synth>(std::move(options)));
      },
      .refine = [](RefineOptions options) -> std::unique_ptr<ResponseSynthesizer> {
        return std::make_unique<Synth>(Synth::template refine<Synth>(std::move(options)));
      },
      .map_reduce = [](MapReduceOptions options) -> std::unique_ptr<ResponseSynthesizer> {
        return std::make_unique<Synth>(Synth::template map_reduce<Synth>(std::move(options)));
      },
  };
}

}  // namespace zelq::generation::response_synthesizer
