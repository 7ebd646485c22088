#include "zelq/providers/google/detail/http_interaction_stream.hpp"

#include <exception>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/url.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"

namespace zelq::providers::google {

namespace asio = boost::asio;
using core::Value;

namespace {

std::string text_at(const Value& object, std::string_view key) {
  auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The interaction id an "interaction.created" event names: under
// "interaction" in today's shape, at the top in others.
std::string created_id(const Value& data) {
  auto interaction = data.find("interaction");
  if (interaction != data.end() && interaction->is_object()) {
    if (std::string id = text_at(*interaction, "id"); !id.empty()) return id;
  }
  if (std::string id = text_at(data, "interaction_id"); !id.empty()) return id;
  return text_at(data, "id");
}

std::string error_text(const Value& data) {
  const Value error = data.value("error", Value());
  if (!error.is_object()) return core::py_str(error);
  std::string text = error.contains("message") ? core::py_str(error["message"]) : "no message";
  if (auto code = error.find("code"); code != error.end() && !code->is_null()) {
    text += " (code " + core::py_str(*code) + ")";
  }
  return text;
}

}  // namespace

HttpInteractionStream::HttpInteractionStream(net::ApiClient api, net::ApiEventStream stream,
                                             std::optional<std::chrono::milliseconds> timeout,
                                             net::ResumeOptions pacing)
    : api_(std::move(api)),
      timeout_(timeout),
      endpoint_(stream.endpoint()),
      stream_(
          std::move(stream),
          [this](std::exception_ptr failure) { return reopen(std::move(failure)); }, pacing,
          "The event stream of " + endpoint_,
          [this](const std::exception_ptr& failure) { return may_resume(failure); }) {}

InteractionEvent HttpInteractionStream::parse(const net::SseEvent& sse,
                                              std::string_view own_sse_id) const {
  const std::string source = "An event of the stream of " + endpoint_;
  Value data =
      net::parse_json_object(sse.data, source, api_.quoting(), api_.options().max_body_size);
  InteractionEvent event;
  event.event_type = text_at(data, "event_type");
  if (event.event_type.empty() && sse.event != "message") event.event_type = sse.event;
  if (event.event_type == "error") {
    throw core::RuntimeError(
        net::sentence("The interactions service reported an error in the stream of " + endpoint_ +
                      ": " + api_.quoting().line(error_text(data))));
  }
  event.event_id = text_at(data, "event_id");
  if (event.event_id.empty()) event.event_id = own_sse_id;
  if (event.event_type == STEP_DELTA) event.event_type = std::string(CONTENT_DELTA);
  event.data = std::move(data);
  return event;
}

void HttpInteractionStream::track(const InteractionEvent& event) {
  if (!event.event_id.empty()) last_event_id_ = event.event_id;
  if (event.event_type == "interaction.created" && interaction_id_.empty()) {
    interaction_id_ = created_id(event.data);
    if (!interaction_id_.empty()) {
      stream_.set_subject("The event stream of the interaction " +
                          api_.quoting().quoted(interaction_id_));
    }
  }
}

asio::awaitable<std::optional<InteractionEvent>> HttpInteractionStream::next() {
  while (true) {
    // Events already parsed are taken without awaiting.
    std::optional<net::SseEvent> sse = stream_.try_take();
    if (!sse) sse = co_await stream_.next();
    if (!sse || sse->data == "[DONE]") {
      stream_.close();
      co_return std::nullopt;
    }
    // SSE hands every event the last id in force on its connection, so an
    // event without an "id" line carries the id of an event before it. An
    // event has an id of its own when its id differs from the one the
    // event before it on the same connection carried (a connection starts
    // with none); a carried id must not make it look like a repeat.
    const bool own_sse_id = sse->id != connection_sse_id_;
    connection_sse_id_ = sse->id;
    InteractionEvent event = parse(*sse, own_sse_id ? sse->id.view() : std::string_view());
    // A resumed stream may replay events already taken (a service that
    // ignores last_event_id starts over): those whose own id was taken are
    // skipped, and a resumption that brings nothing else counts as one
    // without progress. Ids are opaque texts, so taken ones are
    // remembered, not compared: by their digests.
    if (!event.event_id.empty() &&
        !taken_event_ids_.insert(net::IdDigest::of(event.event_id)).second) {
      stream_.mark_repeat();
      continue;
    }
    track(event);
    if (event.event_type == "interaction.completed") stream_.close();
    co_return event;
  }
}

bool HttpInteractionStream::may_resume(const std::exception_ptr& failure) const {
  // A stream that never named its interaction cannot be resumed: one that
  // broke fails, one whose body ended is over.
  if (!interaction_id_.empty()) return true;
  if (failure) std::rethrow_exception(failure);
  return false;
}

asio::awaitable<std::optional<net::ApiEventStream>> HttpInteractionStream::reopen(
    std::exception_ptr) {
  // A stream the service closed after the interaction ended (without its
  // completion event) ends here; one it dropped or left silent while the
  // research runs is resumed.
  const std::string path = "interactions/" + net::path_segment(interaction_id_);
  const Interaction record = parse_interaction(co_await api_.get_json(path),
                                               "The answer of " + api_.endpoint("GET", path));
  if (record.status != "queued" && record.status != "in_progress") co_return std::nullopt;
  net::ApiRequest request;
  request.method = "GET";
  request.path = path + "?stream=true";
  if (!last_event_id_.empty()) request.path += "&last_event_id=" + net::query_value(last_event_id_);
  request.timeout = timeout_;
  net::ApiEventStream resumed = co_await api_.request_events(std::move(request));
  connection_sse_id_ = net::SseEventId();
  co_return resumed;
}

}  // namespace zelq::providers::google
