// The event dispatch of OrvoOpenDeepResearcher: the service's stream events
// into thinking, activity and response blocks, answer text, thinking parts
// and citations.
#include <string>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher/orvo_open_deep_researcher.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::generation::deep_researcher::orvo_open_deep_researcher {

namespace asio = boost::asio;
using core::Value;

namespace {

// The message of an event value: its "message" entry (empty text when
// missing) when it is an object, else the value itself.
Value message_of(Value& value) {
  if (value.is_object()) return value.value(Key::MESSAGE, Value(""));
  return std::move(value);
}

// The service's values are shown in errors as the stream's client quotes
// them: key masked, on one line, cut.
const std::string& text_of(const Value& message, std::string_view kind,
                           const net::Quoting& quoting) {
  if (!message.is_string()) {
    throw core::ServiceDataError<core::TypeError>(
        "The Orvo service sent a " + std::string(kind) +
        " message that is not text: " + quoting.line(message) + ".");
  }
  return message.get_ref<const std::string&>();
}

std::string joined(std::string_view type, std::string_view suffix) {
  return std::string(type) + std::string(suffix);
}

// One citation chunk of a source, or null when the source is skipped.
core::ChunkPtr citation_of(const Value& source, const net::Quoting& quoting) {
  if (!source.is_object()) return nullptr;
  const Value content = source.value(Key::CONTENT, Value(""));
  if (!core::py_truthy(content)) return nullptr;
  auto chunk = std::make_shared<core::Chunk>();
  if (content.is_string()) {
    chunk->content = content.get<std::string>();
  } else if (content.is_binary()) {
    chunk->content = core::Bytes(content.get_binary());
  } else {
    throw core::ServiceDataError<core::ValidationError>(
        "A citation source's content must be text or bytes, got " + quoting.line(content) + ".");
  }
  const Value metadata = source.value(Key::METADATA, Value::object());
  if (!metadata.is_object()) {
    throw core::ServiceDataError<core::ValidationError>(
        "A citation source's metadata must be an object, got " + quoting.line(metadata) + ".");
  }
  chunk->metadata = metadata;
  const Value score = source.value("score", Value(nullptr));
  if (!score.is_null() && !score.is_number()) {
    throw core::ServiceDataError<core::ValidationError>(
        "A citation source's score must be a number or null, got " + quoting.line(score) + ".");
  }
  if (score.is_number()) chunk->score = score.get<double>();
  return chunk;
}

}  // namespace

asio::awaitable<void> OrvoOpenDeepResearcher::_process_event(
    providers::orvo::StreamEvent event, std::shared_ptr<BlockBuffer> buffer,
    std::shared_ptr<inference::LMOutput> output,
    std::shared_ptr<core::EventEmitter> emitter) const {
  using core::EventType;
  using core::EventTypeSuffix;
  const std::string& type = event.event_type;
  // A reference event reads the whole value; every other kind its message.
  const bool reference = type == EventType::REFERENCE;
  Value message = reference ? Value(nullptr) : message_of(event.value);
  if (type == joined(EventType::THINKING, EventTypeSuffix::START)) {
    co_await _flush_text_buffer(buffer, output, emitter);
    co_await _process_thinking_start(buffer, emitter);
  } else if (type == EventType::THINKING) {
    co_await _process_thinking_delta(std::move(message), buffer, emitter);
  } else if (type == joined(EventType::THINKING, EventTypeSuffix::END)) {
    co_await _process_thinking_end(buffer, output, emitter);
  } else if (type == EventType::ACTIVITY) {
    co_await _flush_text_buffer(buffer, output, emitter);
    if (emitter) {
      const inference::Activity activity(std::string(EventType::ACTIVITY),
                                         Value{{"value", std::move(message)}});
      core::Event activity_event = inference::ActivityEvent::from_activity(activity);
      co_await emitter->emit(std::move(activity_event));
    }
  } else if (type == EventType::RESPONSE) {
    co_await _process_text_delta(std::move(message), buffer, emitter);
  } else if (reference && event.value.is_object()) {
    _process_citation(event.value, *output, buffer->quoting);
  }
}

asio::awaitable<void> OrvoOpenDeepResearcher::_process_thinking_start(
    std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<core::EventEmitter>) const {
  buffer->thinking.clear();
  co_await buffer->thinking_block.start();
}

asio::awaitable<void> OrvoOpenDeepResearcher::_process_thinking_delta(
    Value message, std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<core::EventEmitter>) const {
  const std::string& text = text_of(message, "thinking", buffer->quoting);
  buffer->thinking += text;
  co_await buffer->thinking_block.content(text);
}

asio::awaitable<void> OrvoOpenDeepResearcher::_process_thinking_end(
    std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<inference::LMOutput> output,
    std::shared_ptr<core::EventEmitter>) const {
  if (!buffer->thinking.empty()) output->add_thinking(inference::Thinking{buffer->thinking});
  co_await buffer->thinking_block.end();
  buffer->thinking.clear();
}

asio::awaitable<void> OrvoOpenDeepResearcher::_process_text_delta(
    Value message, std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<core::EventEmitter>) const {
  if (!core::py_truthy(message)) co_return;
  const std::string& text = text_of(message, "response", buffer->quoting);
  if (!buffer->response_block.is_open()) co_await buffer->response_block.start();
  co_await buffer->response_block.content(text);
  buffer->text += text;
}

asio::awaitable<void> OrvoOpenDeepResearcher::_flush_text_buffer(
    std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<inference::LMOutput> output,
    std::shared_ptr<core::EventEmitter>) const {
  if (buffer->text.empty()) co_return;
  co_await buffer->response_block.end();
  output->add_text(std::move(buffer->text));
  buffer->text.clear();
}

void OrvoOpenDeepResearcher::_process_citation(const Value& value, inference::LMOutput& output,
                                               const net::Quoting& quoting) const {
  // A "sources" entry that is not a list (null, say) counts as no sources.
  const auto sources = value.find(Key::SOURCES);
  if (sources == value.end() || !sources->is_array()) return;
  for (const Value& source : *sources) {
    if (core::ChunkPtr chunk = citation_of(source, quoting)) {
      output.add_citation(std::move(chunk));
    }
  }
}

}  // namespace zelq::generation::deep_researcher::orvo_open_deep_researcher
