// Language-model invokers: one invocation with the messages and schema its
// caller brings, and the shape of a provider's invoker factory (the registry
// behind build_lm_invoker lives in zelq/providers/registry.hpp).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/prompt_builder.hpp"

namespace zelq::inference {

// Options of one invocation. Inside a coroutine, keep them in a named local
// (see "g++ 12 and co_await" in README.md).
struct LMInvokeOptions {
  // Request settings of the provider (temperature, max tokens, ...), an
  // object (null counts as empty).
  core::Value hyperparameters = core::Value::object();
  // A JSON Schema the answer must follow; nullopt uses the invoker's own
  // response_schema() (none when that is unset too). Components pass the
  // schema of the slot they call here.
  std::optional<core::Value> response_schema{};
  // Receives the streamed answer when set: ResponseEvent start, content
  // pieces and end, all under one fresh id.
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // The prompt variables the messages were filled from (an object). For
  // diagnostics and fakes; providers do not send it.
  core::Value prompt_variables = core::Value::object();
};

// A language-model invoker: sends messages to one model and returns its
// output. Held by shared pointer (LMInvokerPtr); one invoker may serve
// several components and invocations at once. It carries no prompt: each
// caller builds its own messages and passes its schema with the call, and an
// invoker's settings do not change after construction.
class BaseLMInvoker {
 public:
  BaseLMInvoker(const BaseLMInvoker&) = delete;
  BaseLMInvoker& operator=(const BaseLMInvoker&) = delete;
  virtual ~BaseLMInvoker() = default;

  // The JSON Schema of structured answers for calls that bring none, fixed
  // at construction (by build_lm_invoker from the configuration's
  // "response_schema"); nullopt when there is none.
  const std::optional<core::Value>& response_schema() const noexcept { return response_schema_; }

  // Invokes the model once. Throws ValueError when hyperparameters is
  // neither null nor an object; otherwise whatever the provider throws.
  // The invoker must outlive the returned awaitable. Cancellation stops the
  // request and propagates; events already emitted stay emitted.
  boost::asio::awaitable<LMOutput> invoke(std::vector<Message> messages, LMInvokeOptions options);
  // The same with default options (an overload rather than a default
  // argument: see "g++ 12 and co_await" in README.md).
  boost::asio::awaitable<LMOutput> invoke(std::vector<Message> messages);

 protected:
  // No default schema.
  BaseLMInvoker() = default;
  // `response_schema` becomes response_schema(). Throws ValueError when it
  // holds anything but an object (a null Value counts as none).
  explicit BaseLMInvoker(std::optional<core::Value> response_schema);

  // The provider's call. `options` is normalised: hyperparameters is an
  // object and response_schema is the effective schema.
  virtual boost::asio::awaitable<LMOutput> _invoke(std::vector<Message> messages,
                                                   LMInvokeOptions options) = 0;

 private:
  const std::optional<core::Value> response_schema_{};
};

using LMInvokerPtr = std::shared_ptr<BaseLMInvoker>;

// Invokes the invokers of `cascade` in order with the same messages and
// options, the next one only after the previous one failed, at most
// `max_calls` of them (nullopt: all). Returns the first successful output;
// when the calls are used up, the last failure propagates. A failure that
// leaves another call logs a warning on the logger "LMComponent" naming
// `label`. Cancellation propagates at once. Throws ValueError for an empty
// cascade or max_calls below 1.
boost::asio::awaitable<LMOutput> invoke_with_fallbacks(std::vector<LMInvokerPtr> cascade,
                                                       std::vector<Message> messages,
                                                       LMInvokeOptions options,
                                                       std::optional<int> max_calls,
                                                       std::string label);

// Makes an invoker for the model `model_id.name` of one provider (the
// factories of providers::register_lm_provider), from the caller's
// credentials (an API key text, a credentials-file path, an object, or null
// to let the provider find them) and configuration (an object). A factory
// gives its invoker the configuration's "response_schema" (see
// BaseLMInvoker's constructor).
using LMInvokerFactory = std::function<LMInvokerPtr(
    const ModelId& model_id, const core::Value& credentials, const core::Value& config)>;

// Builds an invoker from a model id, credentials and configuration: the shape
// of providers::build_lm_invoker, taken as an argument by the conveniences of
// this layer (LMComponent::from_config, UsesLM::with_structured_output) so
// that it needs no provider.
using LMInvokerBuilder = std::function<LMInvokerPtr(const ModelIdArg& model_id,
                                                    core::Value credentials, core::Value config)>;

// Returns build(model_id, credentials, config). Throws ValueError naming the
// model id when `build` is empty or returns null, and what `build` throws.
LMInvokerPtr build_with(const LMInvokerBuilder& build, const ModelIdArg& model_id,
                        core::Value credentials, core::Value config);

}  // namespace zelq::inference
