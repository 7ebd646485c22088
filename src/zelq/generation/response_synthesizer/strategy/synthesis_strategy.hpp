// The base of the response synthesis strategies, and the one way the
// language-model strategies reach the model.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/component.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_context.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_prompt_key.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/prompt_builder.hpp"

namespace zelq::generation::response_synthesizer::strategy {

// Takes the result of a synthesis from the final language-model output. An
// empty function stands for the default (the output's text).
using ExtractorFunc = std::function<core::Value(const inference::LMOutput&)>;

// Options of BaseSynthesisStrategy::_synthesize_with_lm.
struct LMSynthesisOptions {
  // The invoker slot to call.
  std::string slot = std::string(inference::DEFAULT_SLOT);
  // Prompt variables of this call (an object); they take precedence over the
  // context's kwargs of the same name.
  core::Value kwargs = core::Value::object();
};

// The base of every synthesis strategy, which turns a SynthesisContext into
// an answer through model calls. Each strategy logs on the logger named
// after its concrete class (class_name()). Strategies are held by
// std::shared_ptr, keep no per-call state and may serve concurrent calls,
// each with its own context.
class BaseSynthesisStrategy : public core::Component {
 public:
  BaseSynthesisStrategy(const BaseSynthesisStrategy&) = delete;
  BaseSynthesisStrategy& operator=(const BaseSynthesisStrategy&) = delete;

  // Synthesizes a response from `context`, which the strategy changes while
  // it works (see SynthesisContext). `context` and the strategy must outlive
  // the returned awaitable. Cancellation stops the call at its next
  // suspension and propagates. The base version throws NotImplementedError
  // (no message) when awaited.
  virtual boost::asio::awaitable<core::Value> synthesize(SynthesisContext& context) const = 0;

  // The default extractor: the output's text as a Value string.
  static core::Value _default_extractor_func(const inference::LMOutput& output);

 protected:
  BaseSynthesisStrategy() = default;

  // One language-model invocation for `synthesis_context` through the slot
  // `options.slot`. The prompt variables are the context's kwargs merged with
  // `options.kwargs` (a name in both takes the call's value at the context's
  // position), each passed through _validate_prompt_variable; the ones it
  // drops are not sent. The query, history, extra contents, hyperparameters,
  // current event emitter and max_lm_calls of the context go with the call.
  // Throws, before any invocation: ValueError "The `query` parameter is
  // required for LM-based synthesis strategies." for an empty query (checked
  // first); TypeError when the strategy does not derive from LMComponent;
  // KeyError for a slot without an invoker (when there are variables);
  // TypeError "_invoke_lm() got multiple values for keyword argument '<k>'"
  // when a merged variable that the slot's prompt uses is named history,
  // extra_contents, hyperparameters, event_emitter, max_calls, slot or query
  // (after every variable is checked, with its warnings).
  // Then whatever the invocation throws. The context's kwargs are not
  // changed. `synthesis_context` must outlive the awaitable; it is read when
  // the awaitable starts. Cancellation propagates. See "g++ 12 and
  // co_await" in README.md for safe call shapes.
  boost::asio::awaitable<inference::LMOutput> _synthesize_with_lm(
      SynthesisContext& synthesis_context, LMSynthesisOptions options) const;
  // The same through the default slot with no prompt variables of its own.
  boost::asio::awaitable<inference::LMOutput> _synthesize_with_lm(
      SynthesisContext& synthesis_context) const;

  // Checks one prompt variable against the prompt builder of `slot`. Returns
  // nullopt (drop it) when the builder does not use `key`, logging the
  // warning "The <key> key is not present in the prompt builder. Ignoring the
  // value." when `value` is truthy; for a falsy value of a used key returns
  // the builder's default for it when truthy, else "", logging "The <key> key
  // is empty. Assigning default value: <value>."; otherwise returns `value`.
  // Keys and values appear in their printed representation; a member key
  // prints as the member. Throws TypeError when the strategy does not derive
  // from LMComponent and KeyError when `slot` has no invoker.
  std::optional<core::Value> _validate_prompt_variable(
      std::string_view key, const core::Value& value,
      std::string_view slot = inference::DEFAULT_SLOT) const;
  std::optional<core::Value> _validate_prompt_variable(
      SynthesisPromptKey key, const core::Value& value,
      std::string_view slot = inference::DEFAULT_SLOT) const;

 private:
  // This object as an LMComponent. Throws TypeError when it is not one.
  const inference::LMComponent& lm_component() const;
  std::optional<core::Value> validate_variable(const inference::PromptBuilder& builder,
                                               std::string_view key, const std::string& printed_key,
                                               const core::Value& value) const;
};

}  // namespace zelq::generation::response_synthesizer::strategy
