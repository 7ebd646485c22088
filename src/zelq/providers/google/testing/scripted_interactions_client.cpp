#include "zelq/providers/google/testing/scripted_interactions_client.hpp"

#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::providers::google::testing {

namespace asio = boost::asio;
using core::Value;

namespace {

class Stream : public InteractionEventStream {
 public:
  explicit Stream(ScriptedStream script) : script_(std::move(script)) {}

  asio::awaitable<std::optional<InteractionEvent>> next() override {
    if (next_ < script_.events.size()) co_return script_.events[next_++];
    if (script_.failure) std::rethrow_exception(script_.failure);
    if (script_.hang) {
      asio::steady_timer timer(co_await asio::this_coro::executor,
                               asio::steady_timer::time_point::max());
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return std::nullopt;
  }

  std::string interaction_id() const override { return script_.interaction_id; }

 private:
  ScriptedStream script_;
  std::size_t next_ = 0;
};

[[noreturn]] void nothing_left(const std::string& call) {
  throw core::RuntimeError("No scripted answer left for " + call + ".");
}

}  // namespace

InteractionEvent text_delta(std::string text) {
  return make_event("content.delta",
                    Value{{"index", 0}, {"delta", {{"type", "text"}, {"text", std::move(text)}}}});
}

InteractionEvent thought_delta(std::string text) {
  Value content = {{"type", "text"}, {"text", std::move(text)}};
  return make_event(
      "content.delta",
      Value{{"index", 0},
            {"delta", {{"type", "thought_summary"}, {"content", std::move(content)}}}});
}

InteractionEvent make_event(std::string event_type, Value data) {
  Value object = {{"event_type", event_type}};
  if (data.is_object()) {
    for (auto& [key, value] : data.items()) object[key] = value;
  }
  return InteractionEvent{.event_type = std::move(event_type), .data = std::move(object)};
}

Interaction make_interaction(std::string id, std::string status, std::vector<std::string> texts) {
  Interaction record{.id = std::move(id), .status = std::move(status)};
  for (auto& text : texts) record.outputs.push_back({.type = "text", .text = std::move(text)});
  return record;
}

void ScriptedInteractionsClient::add_create(CreateAnswer answer) {
  std::lock_guard lock(mutex_);
  create_answers_.push_back(std::move(answer));
}

void ScriptedInteractionsClient::add_get(GetAnswer answer) {
  std::lock_guard lock(mutex_);
  get_answers_.push_back(std::move(answer));
}

asio::awaitable<CreateInteractionResult> ScriptedInteractionsClient::create(
    CreateInteractionRequest request) const {
  CreateAnswer answer;
  {
    std::lock_guard lock(mutex_);
    creates_.push_back(std::move(request));
    if (create_answers_.empty()) nothing_left("create");
    answer = std::move(create_answers_.front());
    create_answers_.pop_front();
  }
  if (auto* failure = std::get_if<std::exception_ptr>(&answer)) std::rethrow_exception(*failure);
  if (auto* record = std::get_if<Interaction>(&answer)) co_return std::move(*record);
  co_return std::make_unique<Stream>(std::get<ScriptedStream>(std::move(answer)));
}

asio::awaitable<Interaction> ScriptedInteractionsClient::get(std::string id) const {
  GetAnswer answer;
  {
    std::lock_guard lock(mutex_);
    gets_.push_back(id);
    if (get_answers_.empty()) nothing_left("get(" + core::py_repr(id) + ")");
    answer = std::move(get_answers_.front());
    get_answers_.pop_front();
  }
  if (auto* failure = std::get_if<std::exception_ptr>(&answer)) std::rethrow_exception(*failure);
  co_return std::get<Interaction>(std::move(answer));
}

asio::awaitable<void> ScriptedInteractionsClient::cancel(std::string id) const {
  std::lock_guard lock(mutex_);
  cancels_.push_back(std::move(id));
  co_return;
}

InteractionsClientFactory ScriptedInteractionsClient::factory() {
  return [self = shared_from_this()](const Value& params) -> InteractionsClientPtr {
    {
      std::lock_guard lock(self->mutex_);
      self->client_params_.push_back(params);
    }
    return self;
  };
}

std::vector<CreateInteractionRequest> ScriptedInteractionsClient::creates() const {
  std::lock_guard lock(mutex_);
  return creates_;
}

std::vector<std::string> ScriptedInteractionsClient::gets() const {
  std::lock_guard lock(mutex_);
  return gets_;
}

std::vector<std::string> ScriptedInteractionsClient::cancels() const {
  std::lock_guard lock(mutex_);
  return cancels_;
}

std::vector<Value> ScriptedInteractionsClient::client_params() const {
  std::lock_guard lock(mutex_);
  return client_params_;
}

}  // namespace zelq::providers::google::testing
