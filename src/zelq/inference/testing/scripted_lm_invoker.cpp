#include "zelq/inference/testing/scripted_lm_invoker.hpp"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/uuid.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference::testing {
namespace {

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

std::optional<core::Value> schema_in(const core::Value& config) {
  if (!config.is_object()) return std::nullopt;
  auto it = config.find("response_schema");
  if (it == config.end()) return std::nullopt;
  return *it;
}

}  // namespace

std::vector<std::string> split_into_pieces(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  while (i < text.size()) {
    while (i < text.size() && !is_space(text[i])) ++i;
    while (i < text.size() && is_space(text[i])) ++i;
    pieces.push_back(text.substr(start, i - start));
    start = i;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

ScriptedLMInvoker::ScriptedLMInvoker(std::string model_name, core::Value credentials,
                                     core::Value config)
    : BaseLMInvoker(schema_in(config)),
      model_name_(std::move(model_name)),
      credentials_(std::move(credentials)),
      config_(std::move(config)) {}

ScriptedLMInvoker& ScriptedLMInvoker::push_text(std::string text) {
  LMOutput output;
  output.add_text(std::move(text));
  return push_output(std::move(output));
}

ScriptedLMInvoker& ScriptedLMInvoker::push_pieces(std::vector<std::string> pieces) {
  LMOutput output;
  std::string text;
  for (const auto& piece : pieces) text += piece;
  output.add_text(std::move(text));
  std::lock_guard lock(mutex_);
  queue_.emplace_back(Answer{.output = std::move(output), .pieces = std::move(pieces)});
  return *this;
}

ScriptedLMInvoker& ScriptedLMInvoker::push_structured(core::Value value, std::string text) {
  LMOutput output;
  if (!text.empty()) output.add_text(std::move(text));
  output.set_structured_output(std::move(value));
  return push_output(std::move(output));
}

ScriptedLMInvoker& ScriptedLMInvoker::push_output(LMOutput output) {
  std::lock_guard lock(mutex_);
  queue_.emplace_back(Answer{.output = std::move(output), .pieces = {}});
  return *this;
}

ScriptedLMInvoker& ScriptedLMInvoker::push_error(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  queue_.emplace_back(std::move(error));
  return *this;
}

ScriptedLMInvoker& ScriptedLMInvoker::fail_at(std::size_t call_index, std::exception_ptr error) {
  if (!error) {
    error = std::make_exception_ptr(
        core::RuntimeError("Scripted failure of call " + std::to_string(call_index) + "."));
  }
  std::lock_guard lock(mutex_);
  failures_[call_index] = std::move(error);
  return *this;
}

void ScriptedLMInvoker::set_responder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void ScriptedLMInvoker::set_latency(Duration latency) {
  std::lock_guard lock(mutex_);
  latency_ = latency;
}

void ScriptedLMInvoker::set_latencies(std::vector<Duration> latencies) {
  std::lock_guard lock(mutex_);
  latencies_ = std::move(latencies);
}

void ScriptedLMInvoker::hold_calls(bool hold) {
  if (!hold) return release_all();
  std::lock_guard lock(mutex_);
  hold_ = true;
}

void ScriptedLMInvoker::release(std::size_t call_index) {
  std::shared_ptr<boost::asio::steady_timer> gate;
  {
    std::lock_guard lock(mutex_);
    released_.insert(call_index);
    if (auto it = gates_.find(call_index); it != gates_.end()) gate = it->second;
  }
  if (gate) gate->cancel();
}

void ScriptedLMInvoker::release_all() {
  std::vector<std::shared_ptr<boost::asio::steady_timer>> gates;
  {
    std::lock_guard lock(mutex_);
    hold_ = false;
    for (auto& [index, gate] : gates_) {
      released_.insert(index);
      gates.push_back(gate);
    }
  }
  for (auto& gate : gates) gate->cancel();
}

std::vector<ScriptedLMInvoker::Request> ScriptedLMInvoker::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t ScriptedLMInvoker::call_count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::size_t ScriptedLMInvoker::in_flight() const {
  std::lock_guard lock(mutex_);
  return in_flight_;
}

std::size_t ScriptedLMInvoker::peak_concurrency() const {
  std::lock_guard lock(mutex_);
  return peak_;
}

std::vector<std::size_t> ScriptedLMInvoker::completion_order() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

std::optional<ScriptedLMInvoker::Step> ScriptedLMInvoker::take_step(std::size_t index) {
  if (auto it = failures_.find(index); it != failures_.end()) return Step(it->second);
  if (next_step_ < queue_.size()) return queue_[next_step_++];
  return std::nullopt;
}

void ScriptedLMInvoker::finish(std::size_t index) {
  std::lock_guard lock(mutex_);
  --in_flight_;
  completed_.push_back(index);
}

boost::asio::awaitable<void> ScriptedLMInvoker::wait(std::size_t index) {
  Duration latency{};
  {
    std::lock_guard lock(mutex_);
    latency = index < latencies_.size() ? latencies_[index] : latency_;
  }
  auto executor = co_await boost::asio::this_coro::executor;
  if (latency > Duration::zero()) {
    boost::asio::steady_timer timer(executor, latency);
    co_await timer.async_wait(boost::asio::use_awaitable);
  }
  std::shared_ptr<boost::asio::steady_timer> gate;
  {
    std::lock_guard lock(mutex_);
    if (hold_ && !released_.contains(index)) {
      gate = std::make_shared<boost::asio::steady_timer>(
          executor, boost::asio::steady_timer::time_point::max());
      gates_[index] = gate;
    }
  }
  if (!gate) co_return;
  co_await gate->async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
  std::lock_guard lock(mutex_);
  gates_.erase(index);
  if (!released_.contains(index)) {
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  }
}

boost::asio::awaitable<void> ScriptedLMInvoker::stream(std::shared_ptr<core::EventEmitter> emitter,
                                                       std::vector<std::string> pieces) {
  if (pieces.empty()) co_return;
  // Events are named locals: g++ 12 destroys an aggregate returned into a
  // co_await expression twice.
  const std::string id = core::new_uuid();
  core::Event start = ResponseEvent::start(id);
  co_await emitter->emit(std::move(start));
  for (auto& piece : pieces) {
    core::Event content = ResponseEvent::content(id, std::move(piece));
    co_await emitter->emit(std::move(content));
  }
  core::Event end = ResponseEvent::end(id);
  co_await emitter->emit(std::move(end));
}

boost::asio::awaitable<LMOutput> ScriptedLMInvoker::_invoke(std::vector<Message> messages,
                                                            LMInvokeOptions options) {
  Request request{.index = 0,
                  .messages = std::move(messages),
                  .prompt_variables = options.prompt_variables,
                  .hyperparameters = options.hyperparameters,
                  .response_schema = options.response_schema,
                  .streamed = options.event_emitter != nullptr};
  std::optional<Step> step;
  {
    std::lock_guard lock(mutex_);
    request.index = requests_.size();
    requests_.push_back(request);
    peak_ = std::max(peak_, ++in_flight_);
    step = take_step(request.index);
  }
  // Counts the call as finished however the frame ends (success, failure or
  // destruction after cancellation).
  std::shared_ptr<void> guard(nullptr, [this, index = request.index](void*) { finish(index); });

  co_await wait(request.index);
  Answer answer;
  if (step) {
    if (auto* error = std::get_if<std::exception_ptr>(&*step)) std::rethrow_exception(*error);
    answer = std::get<Answer>(std::move(*step));
  } else {
    Responder responder;
    {
      std::lock_guard lock(mutex_);
      responder = responder_;
    }
    if (!responder) {
      throw core::RuntimeError("ScriptedLMInvoker " + core::py_repr(model_name_) +
                               ": no scripted output left for call " +
                               std::to_string(request.index) + ".");
    }
    answer.output = responder(request);
  }
  if (options.event_emitter) {
    // A named local, not a temporary inside the co_await: GCC 12 destroys
    // such temporaries twice.
    std::vector<std::string> pieces =
        answer.pieces.empty() ? split_into_pieces(answer.output.text()) : answer.pieces;
    co_await stream(options.event_emitter, std::move(pieces));
  }
  co_return std::move(answer.output);
}

LMInvokerFactory scripted_provider(std::function<void(ScriptedLMInvoker&)> on_build) {
  return [on_build = std::move(on_build)](const ModelId& model_id, const core::Value& credentials,
                                          const core::Value& config) -> LMInvokerPtr {
    auto invoker = std::make_shared<ScriptedLMInvoker>(model_id.name, credentials, config);
    if (on_build) on_build(*invoker);
    return invoker;
  };
}

LMInvokerBuilder scripted_builder(std::function<void(ScriptedLMInvoker&)> on_build) {
  return [factory = scripted_provider(std::move(on_build))](
             const ModelIdArg& model_id, core::Value credentials,
             core::Value config) -> LMInvokerPtr {
    return factory(to_model_id(model_id), credentials, config);
  };
}

}  // namespace zelq::inference::testing
