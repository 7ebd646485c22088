// The two research attempts of GoogleDeepResearcher: the streamed one and
// the one that polls the interaction's status.
#include <exception>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

namespace zelq::generation::deep_researcher::google_deep_researcher {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;
using providers::google::CreateInteractionResult;
using providers::google::Interaction;
using providers::google::InteractionEvent;
using providers::google::InteractionEventStream;
using providers::google::InteractionEventStreamPtr;

namespace {

// The event's data is not quoted: it comes from the service and could echo
// a secret.
[[noreturn]] void missing(const InteractionEvent& event, std::string_view what) {
  throw core::RuntimeError("The interactions stream sent a content delta without " +
                           std::string(what) + " (event " + core::py_repr(event.event_id) + ").");
}

// delta[key] of a content delta, which must be present. The service's
// delta shapes are checked here, so that a malformed event fails the
// attempt with a message instead of a null read.
const Value& delta_field(const InteractionEvent& event, std::string_view key,
                         std::string_view what) {
  auto delta = event.data.find("delta");
  if (delta != event.data.end() && delta->is_object()) {
    auto found = delta->find(key);
    if (found != delta->end()) return *found;
  }
  missing(event, what);
}

std::string delta_text(const InteractionEvent& event, const Value& value, std::string_view what) {
  if (!value.is_string()) missing(event, what);
  return value.get<std::string>();
}

// The texts of an interaction's outputs, in order. An item without a text
// (an image, a malformed item) is skipped rather than passed on as a null.
std::vector<std::string> output_texts(const Interaction& interaction) {
  std::vector<std::string> texts;
  for (const auto& item : interaction.outputs) {
    if (item.text) texts.push_back(*item.text);
  }
  return texts;
}

bool is_waiting(const std::optional<std::string>& status) {
  // New runs are queued before they start.
  return status == "in_progress" || status == "queued";
}

}  // namespace

asio::awaitable<LMOutput> GoogleDeepResearcher::_research(ResearchCallPtr call) const {
  const ClientPtr client = _make_client();
  LMOutput output;
  providers::google::CreateInteractionRequest request = _create_request(*call);
  CreateInteractionResult created = co_await client->create(std::move(request));
  auto* stream = std::get_if<InteractionEventStreamPtr>(&created);
  if (stream == nullptr || !*stream) {
    throw core::RuntimeError(
        "The interactions service answered a streamed research with an interaction record "
        "instead of a stream of events; 'stream' must stay true when progress is shown.");
  }
  std::exception_ptr failure;
  try {
    co_await _read_stream(**stream, output, call->event_emitter);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // The cancellation state is read and reset before any other co_await:
    // awaiting anything else in a cancelled coroutine throws at once.
    auto state = co_await asio::this_coro::cancellation_state;
    if (core::is_cancellation(failure) || state.cancelled() != asio::cancellation_type::none) {
      co_await asio::this_coro::reset_cancellation_state();
      co_await _cancel_interaction(client, (*stream)->interaction_id());
    }
    std::rethrow_exception(failure);
  }
  if (output.texts().empty()) {
    co_await _fetch_missing_text(client, (*stream)->interaction_id(), output, call->event_emitter);
  }
  co_return output;
}

asio::awaitable<void> GoogleDeepResearcher::_read_stream(InteractionEventStream& stream,
                                                         LMOutput& output,
                                                         EmitterPtr emitter) const {
  for (;;) {
    std::optional<InteractionEvent> event = co_await stream.next();
    if (!event) co_return;
    co_await _process_event(*event, output, emitter);
  }
}

asio::awaitable<void> GoogleDeepResearcher::_process_event(const InteractionEvent& event,
                                                           LMOutput& output,
                                                           EmitterPtr emitter) const {
  if (event.event_type != OutputType::DELTA) co_return;
  const Value& type = delta_field(event, "type", "a type");
  if (type == std::string(OutputType::THINKING)) {
    co_await _process_thinking_delta(event, output, std::move(emitter));
  } else if (type == std::string(OutputType::TEXT)) {
    co_await _process_text_delta(event, output, std::move(emitter));
  }
}

asio::awaitable<void> GoogleDeepResearcher::_process_thinking_delta(const InteractionEvent& event,
                                                                    LMOutput& output,
                                                                    EmitterPtr emitter) const {
  const Value& content = delta_field(event, "content", "content.text");
  const Value text = content.is_object() ? content.value("text", Value()) : Value();
  std::string thinking = core::py_strip(delta_text(event, text, "content.text"));
  output.add_thinking(inference::Thinking{.thinking = thinking});
  co_await emit_block(std::move(emitter), BlockKind::THINKING, std::move(thinking));
}

asio::awaitable<void> GoogleDeepResearcher::_process_text_delta(const InteractionEvent& event,
                                                                LMOutput& output,
                                                                EmitterPtr emitter) const {
  std::string text = delta_text(event, delta_field(event, "text", "text"), "text");
  output.add_text(text);
  co_await emit_block(std::move(emitter), BlockKind::RESPONSE, std::move(text));
}

asio::awaitable<void> GoogleDeepResearcher::_fetch_missing_text(ClientPtr client, std::string id,
                                                                LMOutput& output,
                                                                EmitterPtr emitter) const {
  if (id.empty()) {
    throw core::RuntimeError(
        "The interactions stream ended without answer text and without naming its interaction.");
  }
  _logger()->warn("The stream of the interaction " + core::py_repr(id) +
                  " ended without answer text; fetching the interaction's outputs.");
  const Interaction interaction = co_await client->get(id);
  std::vector<std::string> texts = output_texts(interaction);
  if (texts.empty()) {
    throw core::RuntimeError("The interaction " + core::py_repr(id) +
                             " ended without answer text (status " +
                             (interaction.status ? core::py_repr(*interaction.status) : "None") +
                             ").");
  }
  for (const std::string& text : texts) {
    co_await emit_block(emitter, BlockKind::RESPONSE, text);
  }
  output.add_text(std::move(texts));
}

asio::awaitable<LMOutput> GoogleDeepResearcher::_research_without_progress(
    ResearchCallPtr call) const {
  const ClientPtr client = _make_client();
  LMOutput output;
  providers::google::CreateInteractionRequest request = _create_request(*call);
  CreateInteractionResult created = co_await client->create(std::move(request));
  auto* record = std::get_if<Interaction>(&created);
  if (record == nullptr) {
    throw core::RuntimeError(
        "The interactions service answered a polled research with a stream of events instead of "
        "an interaction record; 'stream' must not be true when progress is not shown.");
  }
  const std::string id = record->id;
  Interaction done;
  std::exception_ptr failure;
  try {
    done = co_await _poll_until_done(client, id);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    auto state = co_await asio::this_coro::cancellation_state;
    if (core::is_cancellation(failure) || state.cancelled() != asio::cancellation_type::none) {
      co_await asio::this_coro::reset_cancellation_state();
      co_await _cancel_interaction(client, id);
    }
    std::rethrow_exception(failure);
  }
  std::vector<std::string> texts = output_texts(done);
  for (const std::string& text : texts) {
    co_await emit_block(call->event_emitter, BlockKind::RESPONSE, text);
  }
  output.add_text(std::move(texts));
  co_return output;
}

asio::awaitable<Interaction> GoogleDeepResearcher::_poll_until_done(ClientPtr client,
                                                                    std::string id) const {
  for (;;) {
    Interaction interaction = co_await client->get(id);
    if (!interaction.id.empty()) id = interaction.id;
    if (interaction.status == "completed") co_return interaction;
    if (!is_waiting(interaction.status)) {
      throw core::RuntimeError(
          "Research failed with status: " +
          (interaction.status ? core::py_repr(*interaction.status) : std::string("None")) + ".");
    }
    co_await sleep_(status_check_interval_);
  }
}

asio::awaitable<void> GoogleDeepResearcher::_cancel_interaction(ClientPtr client,
                                                                std::string id) const {
  if (id.empty()) co_return;
  std::exception_ptr failure;
  try {
    co_await client->cancel(id);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    _logger()->warn("Could not cancel the interaction " + core::py_repr(id) + ": " +
                    core::describe_exception(failure));
  } else {
    _logger()->info("Cancelled the interaction " + core::py_repr(id) + ".");
  }
}

}  // namespace zelq::generation::deep_researcher::google_deep_researcher
