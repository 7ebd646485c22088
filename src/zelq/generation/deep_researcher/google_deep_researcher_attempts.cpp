// The two research attempts of GoogleDeepResearcher: the streamed one and
// the one that polls the interaction's status.
#include <exception>
#include <utility>
#include <variant>

#include "zelq/core/clean_up.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/core/text_line.hpp"
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::generation::deep_researcher::google_deep_researcher {

namespace asio = boost::asio;
namespace google = providers::google;
using core::Value;
using google::Interaction;
using google::InteractionEvent;
using inference::LMOutput;

namespace {

constexpr std::string_view kCompleted = "interaction.completed";
constexpr std::string_view kStatusUpdate = "interaction.status_update";
constexpr const char* kNotAStream =
    "The interactions service answered a streamed research with an interaction record instead "
    "of a stream of events; 'stream' must stay true when progress is shown.";

asio::awaitable<void> nothing() { co_return; }

bool is_text(const Value& value, std::string_view text) {
  return value.is_string() && value.get_ref<const std::string&>() == text;
}

// A text the service chose (an id, a status) in quotes, as `client` quotes
// the service's texts: key masked, on one line, cut when overlong.
std::string quoted(const google::InteractionsClient& client, std::string_view text) {
  return client.quoting().quoted(text);
}

// The event's data is not quoted: it comes from the service and could echo
// a secret.
[[noreturn]] void missing(const google::InteractionsClient& client, const InteractionEvent& event,
                          std::string_view what) {
  throw core::RuntimeError("The interactions stream sent a content delta without " +
                           std::string(what) + " (event " + quoted(client, event.event_id) + ").");
}

// The text at data["delta"][key] of a content delta, which must be there.
// The service's delta shapes are checked here, so that a malformed event
// fails the attempt with a message instead of a null read.
const std::string& delta_text(const google::InteractionsClient& client,
                              const InteractionEvent& event, const Value& delta,
                              std::string_view key, std::string_view what) {
  auto found = delta.find(key);
  if (found != delta.end() && found->is_string()) return found->get_ref<const std::string&>();
  missing(client, event, what);
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

// The answer of a create request in the form the attempt asked for.
template <class Answer>
Answer& answer_as(google::CreateInteractionResult& created, const char* otherwise) {
  auto* answer = std::get_if<Answer>(&created);
  if (answer == nullptr) throw core::RuntimeError(otherwise);
  return *answer;
}

bool is_waiting(const std::optional<std::string>& status) {
  // New runs are queued before they start.
  return status == "in_progress" || status == "queued";
}

// The statuses of an interaction that has ended at the service: asking it
// to stop is pointless. One that awaits an action, or whose status is
// unknown, has not.
bool has_ended(std::string_view status) {
  return status == "completed" || status == "failed" || status == "cancelled" ||
         status == "incomplete" || status == "budget_exceeded";
}

// Whether `event` tells that its interaction has ended: the completion, or
// a status update naming an ended status (under "interaction", or at the
// top of the event).
bool reports_end(const InteractionEvent& event) {
  if (event.event_type == kCompleted) return true;
  if (event.event_type != kStatusUpdate) return false;
  const Value* holder = &event.data;
  if (auto interaction = event.data.find("interaction"); interaction != event.data.end() &&
                                                         interaction->is_object() &&
                                                         interaction->contains("status")) {
    holder = &*interaction;
  }
  auto status = holder->find("status");
  return status != holder->end() && status->is_string() &&
         has_ended(status->get_ref<const std::string&>());
}

// The messages of a record's "errors" ([{code, message}, ...]), joined.
std::string reason_of(const Value& errors) {
  std::string reason;
  if (!errors.is_array()) return reason;
  for (const Value& error : errors) {
    const Value message = error.is_object() ? error.value("message", Value()) : error;
    if (message.is_null()) continue;
    if (!reason.empty()) reason += "; ";
    reason += core::py_str(message);
  }
  return reason;
}

}  // namespace

namespace {

// Asks the service to stop interaction `run->id`; logs the outcome and
// keeps it in the run's ledger, throws nothing. Owns what it needs: it may
// go on after its call ended.
asio::awaitable<void> cancel_interaction(google::InteractionsClientPtr client,
                                         std::shared_ptr<core::RunLedger> run,
                                         core::Logger logger) {
  const std::string id = run->id();
  std::exception_ptr failure;
  try {
    co_await client->cancel(id);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    run->cancel_failed();
    logger->warn("Could not cancel the interaction " + quoted(*client, id) + ": " +
                 client->quoting().line(core::describe_exception(failure)));
  } else {
    run->ended(true);
    logger->info("Cancelled the interaction " + quoted(*client, id) + ".");
  }
}

// Awaits `op`, keeping `owner` alive until it ends.
template <class Owner>
asio::awaitable<LMOutput> owned_by([[maybe_unused]] std::shared_ptr<Owner> owner,
                                   asio::awaitable<LMOutput> op) {
  co_return co_await std::move(op);
}

}  // namespace

asio::awaitable<LMOutput> GoogleDeepResearcher::_attempt(ClientPtr client,
                                                         ResearchCallPtr call) const {
  auto run = std::make_shared<Run>();
  run->ledger = call->run;
  auto cancel = [client, run, logger = _logger()] {
    if (run->ended) run->ledger->ended();
    return run->ledger->fate() == core::RunFate::going
               ? cancel_interaction(client, run->ledger, logger)
               : nothing();
  };
  // A stop may leave the attempt to name its interaction alone, after the
  // call (and this researcher) are gone: it runs on a copy it owns.
  auto self = std::make_shared<const GoogleDeepResearcher>(*this);
  asio::awaitable<LMOutput> body =
      owned_by(self, show_progress_ ? self->_streamed_attempt(client, std::move(call), run)
                                    : self->_polled_attempt(client, std::move(call), run));
  // Built outside the co_await: GCC 12 destroys a closure made inside it
  // twice.
  auto attempt = core::with_clean_up(std::move(body), cancel, run->ledger);
  co_return co_await std::move(attempt);
}

asio::awaitable<LMOutput> GoogleDeepResearcher::_streamed_attempt(ClientPtr client,
                                                                  ResearchCallPtr call,
                                                                  RunPtr run) const {
  LMOutput output;
  google::CreateInteractionResult created = co_await _create(client, call, run);
  if (auto* record = std::get_if<Interaction>(&created)) {
    co_return co_await _follow_record(client, std::move(*record), run, call->event_emitter);
  }
  google::InteractionEventStreamPtr& stream =
      answer_as<google::InteractionEventStreamPtr>(created, kNotAStream);
  if (!stream) throw core::RuntimeError(kNotAStream);
  google::InteractionEventStream& events = *stream;
  for (;;) {
    std::optional<InteractionEvent> event = co_await events.next();
    // May let a stop that waited for the name reach this coroutine.
    run->name(events.interaction_id(), client->quoting());
    if (!event) break;
    if (reports_end(*event)) run->end();
    co_await _process_event(*client, *event, output, call->event_emitter);
  }
  co_await _finish_stream(client, run, output, call->event_emitter);
  co_return output;
}

asio::awaitable<google::CreateInteractionResult> GoogleDeepResearcher::_create(ClientPtr client,
                                                                               ResearchCallPtr call,
                                                                               RunPtr run) const {
  google::CreateInteractionRequest request = _create_request(*call);
  request.run = run->ledger;
  co_return co_await client->create(std::move(request));
}

asio::awaitable<LMOutput> GoogleDeepResearcher::_follow_record(ClientPtr client, Interaction record,
                                                               RunPtr run,
                                                               EmitterPtr emitter) const {
  run->name(record.id, client->quoting());
  _logger()->warn(
      "The interactions service answered a streamed research with the record of "
      "the interaction " +
      quoted(*client, run->id) + "; following it by its status.");
  LMOutput output;
  const Interaction done = co_await _wait_for_completion(client, run);
  std::vector<std::string> texts = output_texts(done);
  for (const std::string& text : texts) co_await emit_block(emitter, BlockKind::RESPONSE, text);
  output.add_text(std::move(texts));
  co_return output;
}

asio::awaitable<void> GoogleDeepResearcher::_process_event(const google::InteractionsClient& client,
                                                           const InteractionEvent& event,
                                                           LMOutput& output,
                                                           const EmitterPtr& emitter) const {
  if (event.event_type != OutputType::DELTA) return nothing();
  auto delta = event.data.find("delta");
  if (delta == event.data.end() || !delta->is_object()) missing(client, event, "a type");
  auto type = delta->find("type");
  if (type == delta->end()) missing(client, event, "a type");
  if (is_text(*type, OutputType::TEXT)) {
    std::string text = delta_text(client, event, *delta, "text", "text");
    output.add_text(text);
    return emit_block(emitter, BlockKind::RESPONSE, std::move(text));
  }
  if (is_text(*type, OutputType::THINKING)) {
    auto content = delta->find("content");
    if (content == delta->end() || !content->is_object()) missing(client, event, "content.text");
    std::string thinking =
        core::py_strip(delta_text(client, event, *content, "text", "content.text"));
    output.add_thinking(inference::Thinking{.thinking = thinking});
    return emit_block(emitter, BlockKind::THINKING, std::move(thinking));
  }
  return nothing();
}

asio::awaitable<void> GoogleDeepResearcher::_finish_stream(ClientPtr client, RunPtr run,
                                                           LMOutput& output,
                                                           EmitterPtr emitter) const {
  const bool has_text = !output.texts().empty();
  if (has_text && (run->ended || run->id.empty())) co_return;
  if (run->id.empty()) {
    // Not a failure either: the body ended cleanly, and a new attempt would
    // pay for a new interaction.
    _logger()->warn(
        "The interactions stream ended without answer text and without naming its interaction; "
        "the research returns no answer.");
    co_return;
  }
  if (!has_text) {
    _logger()->warn("The stream of the interaction " + quoted(*client, run->id) +
                    " ended without answer text; fetching the interaction's outputs.");
  }
  // Also after a stream that ended before the interaction's completion:
  // the research may still be running, or may have failed.
  const Interaction interaction = co_await _wait_for_completion(client, run);
  if (has_text) co_return;
  std::vector<std::string> texts = output_texts(interaction);
  if (texts.empty()) {
    // Not a failure: a new attempt would pay for the whole research again.
    _logger()->warn("The interaction " + quoted(*client, run->id) +
                    " completed without answer text; the research returns no answer.");
    co_return;
  }
  for (const std::string& text : texts) co_await emit_block(emitter, BlockKind::RESPONSE, text);
  output.add_text(std::move(texts));
}

asio::awaitable<LMOutput> GoogleDeepResearcher::_polled_attempt(ClientPtr client,
                                                                ResearchCallPtr call,
                                                                RunPtr run) const {
  LMOutput output;
  google::CreateInteractionResult created = co_await _create(client, call, run);
  run->name(answer_as<Interaction>(
                created,
                "The interactions service answered a polled research with a stream of events "
                "instead of an interaction record; 'stream' must not be true when progress is not "
                "shown.")
                .id,
            client->quoting());
  const Interaction done = co_await _wait_for_completion(client, run);
  std::vector<std::string> texts = output_texts(done);
  for (const std::string& text : texts) {
    co_await emit_block(call->event_emitter, BlockKind::RESPONSE, text);
  }
  output.add_text(std::move(texts));
  co_return output;
}

asio::awaitable<Interaction> GoogleDeepResearcher::_wait_for_completion(ClientPtr client,
                                                                        RunPtr run) const {
  for (;;) {
    Interaction interaction = co_await client->get(run->id);
    if (!is_waiting(interaction.status)) {
      if (interaction.status && has_ended(*interaction.status)) run->end();
      if (interaction.status == "completed") co_return interaction;
      std::string message =
          "Research failed with status: " +
          (interaction.status ? quoted(*client, *interaction.status) : std::string("None"));
      if (std::string reason = reason_of(interaction.errors); !reason.empty()) {
        message += ": " + client->quoting().line(reason);
      }
      throw core::RuntimeError(core::as_sentence(std::move(message)));
    }
    co_await sleep_(status_check_interval_);
  }
}

}  // namespace zelq::generation::deep_researcher::google_deep_researcher
