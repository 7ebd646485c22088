// A prompt builder paired with an invoker and its fallbacks, and the mixin of
// components that reach the model through one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/prompt_builder.hpp"

namespace zelq::inference {

// Options of LMRequestProcessor::process besides the prompt variables.
// Inside a coroutine, keep them in a named local (see "g++ 12 and co_await"
// in README.md).
struct ProcessOptions {
  std::optional<std::vector<Message>> history{};
  std::optional<std::vector<MessageContent>> extra_contents{};
  // An object or null.
  core::Value hyperparameters = nullptr;
  // Receives the streamed answer; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
};

// A prompt builder and a response schema with the invoker (and fallbacks)
// they are sent to. The prompt and schema belong to the processor and go with
// every call; the invokers are only read, so they may be shared with other
// processors and components. Immutable after construction.
class LMRequestProcessor {
 public:
  // `response_schema`, when set, is sent with every call (nullopt: each
  // invoker answers in its own response_schema()). Throws ValueError when
  // the invoker or a fallback is null, or the schema is not an object.
  LMRequestProcessor(PromptBuilder prompt_builder, LMInvokerPtr lm_invoker,
                     std::vector<LMInvokerPtr> fallback_lms = {},
                     std::optional<core::Value> response_schema = std::nullopt);

  const PromptBuilder& prompt_builder() const noexcept { return prompt_builder_; }
  const LMInvokerPtr& lm_invoker() const noexcept { return lm_invoker_; }
  const std::vector<LMInvokerPtr>& fallback_lms() const noexcept { return fallback_lms_; }
  const std::optional<core::Value>& response_schema() const noexcept { return response_schema_; }

  // Fills the prompt builder with `variables` (an object; "query" among them
  // when the prompt uses it), the history and extra contents, and invokes the
  // invoker; only after a failure each fallback in order, all with the same
  // messages and response schema. Returns the first successful output; when
  // all fail, the last
  // failure propagates. Throws before any call the errors of
  // PromptBuilder::format, and ValueError when hyperparameters is neither
  // null nor an object. Cancellation propagates at once. The processor must
  // outlive the returned awaitable.
  boost::asio::awaitable<LMOutput> process(core::Value variables, ProcessOptions options) const;
  // The same with default options (an overload rather than a default
  // argument: see "g++ 12 and co_await" in README.md).
  boost::asio::awaitable<LMOutput> process(core::Value variables) const;

  // The invoker form of this processor: the invoker and the fallbacks,
  // unchanged. The prompt builder and schema stay with the processor: a
  // component built from the cascade takes them from prompt_builder() and
  // response_schema().
  std::pair<LMInvokerPtr, std::vector<LMInvokerPtr>> to_lm_invoker_cascade() const;

 private:
  PromptBuilder prompt_builder_;
  LMInvokerPtr lm_invoker_;
  std::vector<LMInvokerPtr> fallback_lms_;
  std::optional<core::Value> response_schema_;
};

using LMRequestProcessorPtr = std::shared_ptr<LMRequestProcessor>;

// Options of UsesLM::with_structured_output.
struct WithStructuredOutputOptions {
  ModelIdArg model_id{};
  // The JSON Schema object the answers must follow.
  core::Value response_schema{};
  std::string system_template{};
  std::string user_template{};
  core::Value credentials = nullptr;
  // Further invoker configuration (an object or null); its
  // "response_schema" is replaced by `response_schema`.
  core::Value config = nullptr;
};

// Mixin of components that hold an LMRequestProcessor.
class UsesLM {
 public:
  virtual ~UsesLM() = default;

  // Builds `Derived(processor, args...)` where the processor pairs a prompt
  // builder of the two templates and `response_schema` with an invoker from
  // `build` (see build_with; providers::with_structured_output passes
  // build_lm_invoker) for the model, whose config carries the schema too. Throws ValueError when
  // response_schema is not an object or `build` is empty or returns null, and what `build`, the
  // templates or the constructor throw.
  template <class Derived, class... Args>
  static std::unique_ptr<Derived> with_structured_output(const LMInvokerBuilder& build,
                                                         WithStructuredOutputOptions options,
                                                         Args&&... args) {
    return std::make_unique<Derived>(make_structured_processor(build, std::move(options)),
                                     std::forward<Args>(args)...);
  }

  // The member `key` of the structured answer (see parse_structured_output,
  // which reads it within the component's budget `max_memory`), or
  // `default_value` when there is no structured answer or it lacks `key`.
  static core::Value _parse_structured_output(const LMOutput& output, std::string_view key,
                                              core::Value default_value, std::size_t max_memory);

  // The processor with_structured_output hands to the constructor.
  static LMRequestProcessorPtr make_structured_processor(const LMInvokerBuilder& build,
                                                         WithStructuredOutputOptions options);

 protected:
  UsesLM() = default;
  UsesLM(const UsesLM&) = default;
  UsesLM& operator=(const UsesLM&) = default;
};

}  // namespace zelq::inference
