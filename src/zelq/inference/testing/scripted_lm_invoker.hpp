// A scripted language-model invoker for tests and examples.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/steady_timer.hpp>

#include "zelq/core/value.hpp"
#include "zelq/inference/lm_invoker.hpp"

namespace zelq::inference::testing {

// The provider name under which register_scripted_provider() registers.
inline constexpr std::string_view SCRIPTED_PROVIDER = "scripted";

// Answers each call from a queue of scripted steps (outputs or failures), in
// the order the calls arrive; when the queue is empty, from a responder
// function, and without one the call fails with RuntimeError. Records every
// request and counts calls in flight.
//
// Timing: each call may wait a latency (steady_timer) and, while calls are
// held, at a gate until the test releases it, so that a test decides the
// order in which concurrent calls finish without depending on timing.
//
// Streaming: when a call has an emitter and its answer text is non-empty, it
// sends ResponseEvent start, one content event per piece and end, all under
// one fresh id, after its wait. Texts pushed with push_text or produced by
// the responder are cut into words with their trailing whitespace ("a b" ->
// "a ", "b"); push_pieces sends the pieces exactly as given.
//
// Not thread-safe beyond its counters: script it and release gates from the
// thread of the executor the calls run on (or before they start).
class ScriptedLMInvoker : public BaseLMInvoker {
 public:
  using Duration = std::chrono::steady_clock::duration;

  struct Request {
    // Call number, from 0, in order of arrival.
    std::size_t index = 0;
    std::vector<Message> messages{};
    // The prompt variables the messages were filled from.
    core::Value prompt_variables = core::Value::object();
    core::Value hyperparameters = core::Value::object();
    std::optional<core::Value> response_schema{};
    // True when the call had an emitter.
    bool streamed = false;
  };
  using Responder = std::function<LMOutput(const Request&)>;

  ScriptedLMInvoker() = default;
  // As built by the "scripted" provider: the model name, credentials and
  // configuration given to build_lm_invoker, kept for inspection; the
  // configuration's "response_schema" becomes response_schema(). Throws
  // ValueError when that schema is not an object.
  ScriptedLMInvoker(std::string model_name, core::Value credentials, core::Value config);

  // Queue steps; each call takes the next one at arrival.
  ScriptedLMInvoker& push_text(std::string text);
  ScriptedLMInvoker& push_pieces(std::vector<std::string> pieces);
  // A structured answer, with an optional answer text.
  ScriptedLMInvoker& push_structured(core::Value value, std::string text = {});
  ScriptedLMInvoker& push_output(LMOutput output);
  ScriptedLMInvoker& push_error(std::exception_ptr error);
  template <class E>
  ScriptedLMInvoker& push_exception(E error) {
    return push_error(std::make_exception_ptr(std::move(error)));
  }
  // Call `call_index` fails with `error` (RuntimeError "Scripted failure of
  // call <n>." when null) instead of taking a queued step.
  ScriptedLMInvoker& fail_at(std::size_t call_index, std::exception_ptr error = nullptr);
  // Answers calls that find the queue empty; its exceptions fail the call.
  void set_responder(Responder responder);

  // Every call waits `latency` (after arrival, before answering).
  void set_latency(Duration latency);
  // Call i waits latencies[i]; calls beyond the list wait the common latency.
  void set_latencies(std::vector<Duration> latencies);
  // While held, every call waits at its own gate after its latency until
  // release(i) or release_all(); a gate released before its call arrives
  // does not stop it. A call cancelled at its gate fails with
  // operation_aborted.
  void hold_calls(bool hold = true);
  void release(std::size_t call_index);
  void release_all();

  std::vector<Request> requests() const;
  std::size_t call_count() const;
  std::size_t in_flight() const;
  std::size_t peak_concurrency() const;
  // Indices of the finished calls (successful or failed) in finishing order.
  std::vector<std::size_t> completion_order() const;

  const std::string& model_name() const noexcept { return model_name_; }
  const core::Value& credentials() const noexcept { return credentials_; }
  const core::Value& config() const noexcept { return config_; }

 protected:
  boost::asio::awaitable<LMOutput> _invoke(std::vector<Message> messages,
                                           LMInvokeOptions options) override;

 private:
  struct Answer {
    LMOutput output;
    // Pieces to stream; empty: cut the output text into words.
    std::vector<std::string> pieces{};
  };
  using Step = std::variant<Answer, std::exception_ptr>;

  std::optional<Step> take_step(std::size_t index);
  boost::asio::awaitable<void> wait(std::size_t index);
  static boost::asio::awaitable<void> stream(std::shared_ptr<core::EventEmitter> emitter,
                                             std::vector<std::string> pieces);
  void finish(std::size_t index);

  std::string model_name_;
  core::Value credentials_;
  core::Value config_ = core::Value::object();

  mutable std::mutex mutex_;
  std::vector<Step> queue_;
  std::size_t next_step_ = 0;
  std::map<std::size_t, std::exception_ptr> failures_;
  Responder responder_;
  Duration latency_{};
  std::vector<Duration> latencies_;
  bool hold_ = false;
  std::set<std::size_t> released_;
  std::map<std::size_t, std::shared_ptr<boost::asio::steady_timer>> gates_;
  std::vector<Request> requests_;
  std::size_t in_flight_ = 0;
  std::size_t peak_ = 0;
  std::vector<std::size_t> completed_;
};

// The words of `text`, each with its trailing whitespace; leading whitespace
// goes with the first word. Concatenated, they give `text` back.
std::vector<std::string> split_into_pieces(const std::string& text);

// The factory of a provider "scripted" (register it with
// providers::register_lm_provider(std::string(SCRIPTED_PROVIDER), ...)):
// for "scripted/<name>" it makes a ScriptedLMInvoker keeping the name,
// credentials and config, and passes it to `on_build` (when set) before
// returning it, so a test can script and capture the invokers a component
// builds.
LMInvokerFactory scripted_provider(std::function<void(ScriptedLMInvoker&)> on_build = {});

// The same as an LMInvokerBuilder for LMComponent::from_config and
// UsesLM::with_structured_output; as with build_lm_invoker, the config's
// "response_schema" becomes the invoker's schema. Throws ValueError for a
// malformed model id or schema.
LMInvokerBuilder scripted_builder(std::function<void(ScriptedLMInvoker&)> on_build = {});

}  // namespace zelq::inference::testing
