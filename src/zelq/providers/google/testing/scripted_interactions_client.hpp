// A scripted interactions client for tests: queued answers to create() and
// get(), streams that end, fail or hang until cancelled, and a record of
// every call.
#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "zelq/providers/google/interactions_client.hpp"

namespace zelq::providers::google::testing {

// The stream one create() answers with.
struct ScriptedStream {
  std::string interaction_id = "interaction-1";
  std::vector<InteractionEvent> events{};
  // Thrown by next() after the events, when set.
  std::exception_ptr failure{};
  // After the events, next() waits until it is cancelled.
  bool hang = false;
};

// A content delta carrying answer text ({"delta": {"type": "text", "text"}}).
InteractionEvent text_delta(std::string text);
// A content delta carrying a thought summary ({"delta": {"type":
// "thought_summary", "content": {"type": "text", "text"}}}).
InteractionEvent thought_delta(std::string text);
// An event of any type whose data is {"event_type": type, ...data}.
InteractionEvent make_event(std::string event_type, core::Value data = core::Value::object());
// A record with that id, status and text outputs.
Interaction make_interaction(std::string id, std::string status,
                             std::vector<std::string> texts = {});

// Answers create() and get() from queues, in call order, and records every
// call. An empty queue answers with RuntimeError "No scripted answer left
// for <call>.". Thread-safe; share it through factory().
class ScriptedInteractionsClient : public InteractionsClient,
                                   public std::enable_shared_from_this<ScriptedInteractionsClient> {
 public:
  using CreateAnswer = std::variant<ScriptedStream, Interaction, std::exception_ptr>;
  using GetAnswer = std::variant<Interaction, std::exception_ptr>;

  void add_create(CreateAnswer answer);
  void add_get(GetAnswer answer);

  boost::asio::awaitable<CreateInteractionResult> create(
      CreateInteractionRequest request) const override;
  boost::asio::awaitable<Interaction> get(std::string id) const override;
  boost::asio::awaitable<void> cancel(std::string id) const override;

  // A factory that records the client parameters it is given and returns
  // this client every time. The factory keeps the client alive.
  InteractionsClientFactory factory();

  std::vector<CreateInteractionRequest> creates() const;
  std::vector<std::string> gets() const;
  std::vector<std::string> cancels() const;
  std::vector<core::Value> client_params() const;

 private:
  mutable std::mutex mutex_;
  mutable std::deque<CreateAnswer> create_answers_;
  mutable std::deque<GetAnswer> get_answers_;
  mutable std::vector<CreateInteractionRequest> creates_;
  mutable std::vector<std::string> gets_;
  mutable std::vector<std::string> cancels_;
  std::vector<core::Value> client_params_;
};

}  // namespace zelq::providers::google::testing
