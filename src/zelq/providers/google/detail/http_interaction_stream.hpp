// The event stream of one interaction over HTTP, resumed where the service
// broke it off or left it silent. Used by HttpInteractionsClient; see its comment for the
// behaviour.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include <boost/asio/awaitable.hpp>

#include "zelq/net/api_client.hpp"
#include "zelq/net/id_digest.hpp"
#include "zelq/net/resumable_stream.hpp"
#include "zelq/providers/google/interactions_client.hpp"

namespace zelq::providers::google {

// The event type of the service's content pieces, handed on as
// CONTENT_DELTA.
inline constexpr std::string_view STEP_DELTA = "step.delta";

class HttpInteractionStream : public InteractionEventStream {
 public:
  // `stream` is the open answer of `api` to the create request; `timeout`
  // limits each resumption request; `pacing` as HttpInteractionsOptions
  // (max_resumes and the retry delays).
  HttpInteractionStream(net::ApiClient api, net::ApiEventStream stream,
                        std::optional<std::chrono::milliseconds> timeout,
                        net::ResumeOptions pacing);

  boost::asio::awaitable<std::optional<InteractionEvent>> next() override;
  std::string interaction_id() const override { return interaction_id_; }

 private:
  // The event of `sse`, whose id is its "event_id", else `own_sse_id` (the
  // SSE id when the event set it itself, else ""); throws for an error
  // event or malformed data.
  InteractionEvent parse(const net::SseEvent& sse, std::string_view own_sse_id) const;
  // Notes the interaction id and the last event id of `event`.
  void track(const InteractionEvent& event);
  // After the stream ended, broke or went silent (`failure`) before the
  // interaction's completion, whether it may be resumed, known before any
  // request: true once it named its interaction; false when its body ended
  // before that. Throws `failure` when it broke or went silent before that.
  bool may_resume(const std::exception_ptr& failure) const;
  // Once may_resume said so: nullopt when the interaction's record shows it
  // is no longer queued or running; else the stream opened again after its
  // last event. Throws what the API client throws.
  boost::asio::awaitable<std::optional<net::ApiEventStream>> reopen(std::exception_ptr failure);

  net::ApiClient api_;
  std::optional<std::chrono::milliseconds> timeout_;
  std::string endpoint_;
  std::string interaction_id_;
  std::string last_event_id_;
  // The digests of the ids of the events taken, to skip those a resumption
  // replays: a few bytes per event, whatever the size of its id.
  std::unordered_set<net::IdDigest, net::IdDigest::Hash> taken_event_ids_;
  // The SSE id the last event of the current connection carried.
  net::SseEventId connection_sse_id_;
  // Declared last: its reopen callback refers to the members above.
  net::ResumableEventStream stream_;
};

}  // namespace zelq::providers::google
