// The event stream of one interaction over HTTP, resumed where the service
// broke it off. Used by HttpInteractionsClient; see its comment for the
// behaviour.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/net/api_client.hpp"
#include "zelq/providers/google/interactions_client.hpp"

namespace zelq::providers::google {

// The event type of the service's content pieces, handed on as
// CONTENT_DELTA.
inline constexpr std::string_view STEP_DELTA = "step.delta";

// "value" percent-encoded for a path segment or a query value (every byte
// but A-Z a-z 0-9 - . _ ~).
std::string percent_encode(std::string_view value);

class HttpInteractionStream : public InteractionEventStream {
 public:
  // `stream` is the open answer of `api` to the create request;
  // `timeout` limits each resumption request; `max_resumes` as
  // HttpInteractionsOptions.
  HttpInteractionStream(net::ApiClient api, net::ApiEventStream stream,
                        std::optional<std::chrono::milliseconds> timeout, int max_resumes);

  boost::asio::awaitable<std::optional<InteractionEvent>> next() override;
  std::string interaction_id() const override { return interaction_id_; }

 private:
  // The event of `sse`; throws for an error event or malformed data.
  InteractionEvent parse(const net::SseEvent& sse) const;
  // Notes the interaction id and the last event id of `event`.
  void track(const InteractionEvent& event);
  // After the stream ended or broke (`failure`) before the interaction's
  // completion: false when the interaction's record shows it is no longer
  // queued or running; else opens the stream again after its last event
  // and returns true. Throws `failure` or ConnectionError when it may not
  // resume.
  boost::asio::awaitable<bool> resume(std::exception_ptr failure);

  net::ApiClient api_;
  std::optional<net::ApiEventStream> stream_;
  std::optional<std::chrono::milliseconds> timeout_;
  int max_resumes_;
  int resumes_in_a_row_ = 0;
  std::string endpoint_;
  std::string interaction_id_;
  std::string last_event_id_;
  bool done_ = false;
};

}  // namespace zelq::providers::google
