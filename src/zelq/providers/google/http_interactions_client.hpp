// The interactions client over HTTP: today's wire of Google's interactions
// API (revision 2026-05-20) through net::ApiClient.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service_options.hpp"
#include "zelq/providers/google/interactions_client.hpp"

namespace zelq::providers::google {

inline constexpr std::string_view DEFAULT_BASE_URL =
    "https://generativelanguage.googleapis.com/v1beta";
// The response shape this client reads; the older one is retired.
inline constexpr std::string_view API_REVISION = "2026-05-20";
// Read in this order when no key is given.
inline constexpr std::array<std::string_view, 2> API_KEY_ENV = {"GEMINI_API_KEY", "GOOGLE_API_KEY"};

// The settings of the client: those every service client shares
// (net::ServiceOptions: base URL, key, timeouts, idle limit, retries of 429
// and 5xx, concurrency) and the client's own.
struct HttpInteractionsOptions : net::ServiceOptions {
  HttpInteractionsOptions() { base_url = std::string(DEFAULT_BASE_URL); }

  // Limit of the request that cancels an interaction.
  std::chrono::milliseconds cancel_timeout{10'000};
  // A stream the service ends, breaks or leaves silent for idle_timeout
  // before the interaction has completed is resumed from its last event
  // (net::ResumableEventStream: each resumption waits at least
  // retry_base_delay, or the server's SSE "retry" time up to
  // max_retry_after, and empty ones back off up to retry_max_delay); it
  // gives up after this many resumptions in a row that bring no new event.
  int max_resumes = 3;

  // The options of the researcher's client parameters: an object (null
  // counts as empty) with "api_key" (a text; null, absent or empty reads
  // GEMINI_API_KEY, then GOOGLE_API_KEY), "http_options" (null or an object
  // with "timeout", milliseconds > 0 or null, and "base_url"), and the
  // shared settings "max_concurrency", "max_retries", "retry_base_delay",
  // "retry_max_delay", "max_retry_after", "connect_timeout" and
  // "idle_timeout" (seconds; see net::apply_service_setting). Throws
  // zelq::core::ValueError naming the entry for an unknown entry, a value of
  // the wrong kind, no key at all, or a key holding white space or control
  // characters; the message never shows the key.
  static HttpInteractionsOptions from_client_params(const core::Value& params);
};

// Speaks the interactions API:
//   create: POST {base}/interactions with "input", "agent" and the other
//     keywords of the request in its body ("timeout" excepted: it is this
//     request's time-out in seconds); with "stream" true the answer is a
//     stream of events, else the interaction's record;
//   get: GET {base}/interactions/{id};
//   cancel: POST {base}/interactions/{id}/cancel.
// Every request carries "x-goog-api-key" and "Api-Revision: 2026-05-20".
//
// A stream hands on each "step.delta" as a CONTENT_DELTA event and every
// other event under its own type; it ends at "interaction.completed" (the
// event is returned, the connection closed), at "[DONE]", or fails at an
// "error" event with core::RuntimeError naming the service's message and
// code. When the service ends or breaks the stream before that, or leaves
// it silent for idle_timeout, the stream reads the interaction's record: it
// ends when the interaction is no longer queued or in progress, else it
// resumes the same interaction with
// GET {base}/interactions/{id}?stream=true&last_event_id=<id>. An event's
// id is its "event_id", else the SSE id when the event set it itself (an
// event that only carries the id SSE keeps from an earlier event has
// none). An event whose id was taken before on the stream (one a
// resumption replays) is skipped, and a resumption that brings nothing else brings no new event
// (see HttpInteractionsOptions::max_resumes; giving up is net::ConnectionError
// "The event stream of the interaction '<id>' broke <n> times in a row
// without a new event: <why>."); a stream that breaks before naming its
// interaction cannot resume and fails with its net::ConnectionError, and
// one whose body ends before that ends there, both at once, without the
// pause that comes before a resumption's requests.
// Records present the text items of their "model_output" steps, in order,
// as their outputs.
//
// Errors: net::HttpError for a refused request (the service's message, the
// endpoint), net::ConnectionError, core::TimeoutError, core::RuntimeError
// for an answer that is not the expected JSON; core::TypeError for a
// request whose config holds "input" or "agent"; core::ValueError for a
// malformed "timeout", and for an id that is empty, "." or ".." (see
// net::path_segment), before any request. The key never appears in them. Immutable; calls may
// run at once.
class HttpInteractionsClient : public InteractionsClient {
 public:
  // Throws core::ValueError for a missing or malformed key (white space,
  // control characters) or a base URL the API client refuses.
  explicit HttpInteractionsClient(HttpInteractionsOptions options);

  boost::asio::awaitable<CreateInteractionResult> create(
      CreateInteractionRequest request) const override;
  boost::asio::awaitable<Interaction> get(std::string id) const override;
  boost::asio::awaitable<void> cancel(std::string id) const override;

  const HttpInteractionsOptions& options() const noexcept { return options_; }

 private:
  // Quotes as `api` does: the one policy of the key it sends.
  HttpInteractionsClient(HttpInteractionsOptions options, net::ApiClient api);
  // The interaction record `text` holds (`source` names it) when it names
  // its interaction; nullopt otherwise.
  std::optional<Interaction> named_record(const std::string& text, const std::string& source) const;

  HttpInteractionsOptions options_;
  net::ApiClient api_;
};

// The default client factory: an HttpInteractionsClient of
// HttpInteractionsOptions::from_client_params(client_params). Throws what
// those throw.
InteractionsClientPtr make_http_interactions_client(const core::Value& client_params);

// The interaction of a record of the service: "id", "status", the text
// items of the "model_output" steps (or of "outputs" in records without
// steps) and "errors". Throws core::RuntimeError "<source> is not an
// interaction record but a JSON <type>." when `record` is not an object.
Interaction parse_interaction(const core::Value& record, std::string_view source);

}  // namespace zelq::providers::google
