// The client of Google's interactions API as the Google deep researcher uses
// it: create an interaction (answered by a stream of events or by the
// interaction record), read an interaction's record, cancel an interaction.
//
// Implementations: HttpInteractionsClient (http_interactions_client.hpp),
// which speaks the service's wire, and ScriptedInteractionsClient
// (testing/scripted_interactions_client.hpp) for tests.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/run_ledger.hpp"
#include "zelq/core/value.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::providers::google {

// The event type under which a client hands on every piece of streamed
// content (today's service names it "step.delta"); its "delta" has the type
// "text" (answer text in "text") or "thought_summary" (the summary in
// "content"."text"), or another type the researcher ignores.
inline constexpr std::string_view CONTENT_DELTA = "content.delta";

// One output item of an interaction: the text items of its model output.
struct InteractionOutput {
  std::string type = "text";
  // nullopt when the service sent the item without a text.
  std::optional<std::string> text{};

  bool operator==(const InteractionOutput&) const = default;
};

// An interaction in the state the service reported.
struct Interaction {
  std::string id{};
  // "queued", "in_progress", "completed", "failed", ... as sent; nullopt
  // when the record holds none.
  std::optional<std::string> status{};
  // The text items of the model output, in order.
  std::vector<InteractionOutput> outputs{};
  // Failure details as sent ("errors"), or null.
  core::Value errors = nullptr;

  bool operator==(const Interaction&) const = default;
};

// One event of an interaction's stream.
struct InteractionEvent {
  // The event's type; CONTENT_DELTA for every piece of content.
  std::string event_type{};
  // The service's id of the event ("" when it sent none).
  std::string event_id{};
  // The event object as the service sent it (for a content delta, "delta"
  // holds the delta).
  core::Value data = core::Value::object();
};

// The events of one interaction, read one at a time. Move-only through its
// pointer; destroying it closes what it holds open.
class InteractionEventStream {
 public:
  virtual ~InteractionEventStream() = default;

  // The next event, or nullopt once the interaction's stream has ended.
  // Throws what the implementation documents (an error event of the
  // service becomes an error naming its message). Cancellation propagates
  // and closes the stream. The stream must outlive the awaitable.
  virtual boost::asio::awaitable<std::optional<InteractionEvent>> next() = 0;

  // The interaction's id once the stream has named it ("" before).
  virtual std::string interaction_id() const = 0;
};

using InteractionEventStreamPtr = std::unique_ptr<InteractionEventStream>;

// What create() sends. "input" and "agent" are the request's own keywords;
// `config` holds the others, in order.
struct CreateInteractionRequest {
  std::string input{};
  std::string agent{};
  // Further keywords: "background", "stream", "agent_config", "tools", and
  // what else the caller adds. "timeout" (seconds; null or 0 for the
  // client's default) is the client's limit of the request, never sent.
  core::Value config = core::Value::object();
  // The ledger of the call's run, kept by the request that creates it (see
  // net::ApiRequest::run); null: none.
  std::shared_ptr<core::RunLedger> run{};
};

// A stream of events when the request asked for one ("stream" true), else
// the interaction's record; also the record when the service answered a
// request for a stream with the record of the interaction it created.
using CreateInteractionResult = std::variant<InteractionEventStreamPtr, Interaction>;

// Shared by pointer; calls may run at once. Every awaitable keeps what it
// needs alive, except where a call says otherwise.
class InteractionsClient : public net::QuotingHolder {
 public:
  virtual ~InteractionsClient() = default;

  // Creates an interaction and returns its stream or its record (see
  // CreateInteractionResult). Throws the implementation's errors: a refused
  // request, a broken connection, a malformed answer. Cancellation stops
  // the request and propagates.
  virtual boost::asio::awaitable<CreateInteractionResult> create(
      CreateInteractionRequest request) const = 0;

  // The record of interaction `id` in its current state. Throws as
  // create().
  virtual boost::asio::awaitable<Interaction> get(std::string id) const = 0;

  // Asks the service to stop interaction `id`. Throws as create().
  virtual boost::asio::awaitable<void> cancel(std::string id) const = 0;

  // quoting() (net::QuotingHolder) shows the texts of the service: ids,
  // statuses, the errors of a failed interaction.

 protected:
  // A client that a factory builds from client parameters passes them here:
  // its texts then mask their "api_key", else the key in GEMINI_API_KEY or
  // GOOGLE_API_KEY (the key such a client sends). Without parameters, the
  // key in the environment is masked.
  explicit InteractionsClient(const core::Value& client_params = nullptr);
  // A client that knows the key it sends.
  explicit InteractionsClient(net::Quoting quoting) : QuotingHolder(std::move(quoting)) {}
};

using InteractionsClientPtr = std::shared_ptr<const InteractionsClient>;

// Builds a client from the client parameters of the researcher: an object
// with "api_key" (optional) and "http_options" ({"timeout": milliseconds
// or null}).
using InteractionsClientFactory =
    std::function<InteractionsClientPtr(const core::Value& client_params)>;

}  // namespace zelq::providers::google
