#include "zelq/providers/openai/openai_lm_invoker.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/uuid.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/providers/openai/chat_request.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;

namespace {

constexpr std::string_view kPath = "chat/completions";

// Sends the streamed pieces as event blocks: a block opens with its start
// event at its first piece and closes with its end event when a piece of the
// other kind comes or the answer is complete. Sends nothing without emitter.
class BlockEmitter {
 public:
  enum class Kind { NONE, THINKING, RESPONSE };

  explicit BlockEmitter(std::shared_ptr<core::EventEmitter> emitter)
      : emitter_(std::move(emitter)) {}

  // Events are named locals: g++ 12 destroys a temporary made inside a
  // co_await expression twice.
  asio::awaitable<void> piece(Kind kind, std::string text) {
    if (!emitter_ || text.empty()) co_return;
    if (open_ != kind) {
      co_await close();
      id_ = core::new_uuid();
      open_ = kind;
      core::Event start = kind == Kind::THINKING ? inference::ThinkingEvent::start(id_)
                                                 : inference::ResponseEvent::start(id_);
      co_await emitter_->emit(std::move(start));
    }
    core::Event content = kind == Kind::THINKING
                              ? inference::ThinkingEvent::content(id_, std::move(text))
                              : inference::ResponseEvent::content(id_, std::move(text));
    co_await emitter_->emit(std::move(content));
  }

  asio::awaitable<void> close() {
    if (open_ == Kind::NONE) co_return;
    core::Event end = open_ == Kind::THINKING ? inference::ThinkingEvent::end(id_)
                                              : inference::ResponseEvent::end(id_);
    open_ = Kind::NONE;
    co_await emitter_->emit(std::move(end));
  }

 private:
  std::shared_ptr<core::EventEmitter> emitter_;
  Kind open_ = Kind::NONE;
  std::string id_;
};

// What a stream has said so far.
struct StreamState {
  std::string thinking;
  std::optional<std::string> text;
  std::optional<std::string> refusal;
  bool finished = false;  // a finish reason came
  bool done = false;      // the end marker came
};

void append(std::optional<std::string>& to, const std::string& piece) {
  if (!to) to.emplace();
  *to += piece;
}

asio::awaitable<void> take_chunk(const net::SseEvent& event, const std::string& source,
                                 StreamState& state, BlockEmitter& blocks) {
  if (event.event == "error") {
    throw core::RuntimeError(source + " reports an error: " + net::server_message(event.data));
  }
  const Value chunk = parse_json_answer(event.data, source);
  ChoicePart part = read_choice(chunk, "delta", source);
  if (part.finish_reason) state.finished = true;
  // Appended in place: a long answer arrives in thousands of pieces.
  if (part.refusal) append(state.refusal, *part.refusal);
  if (part.thinking) {
    state.thinking += *part.thinking;
    co_await blocks.piece(BlockEmitter::Kind::THINKING, std::move(*part.thinking));
  }
  if (part.text) {
    append(state.text, *part.text);
    co_await blocks.piece(BlockEmitter::Kind::RESPONSE, std::move(*part.text));
  }
}

asio::awaitable<LMOutput> stream_answer(std::shared_ptr<const OpenAIClient> client, Value body,
                                        std::shared_ptr<core::EventEmitter> emitter,
                                        bool structured) {
  const std::string source = "A streamed chunk of POST " + client->endpoint(kPath);
  OpenAIEventStream stream = co_await client->post_events(std::string(kPath), std::move(body));
  BlockEmitter blocks(std::move(emitter));
  StreamState state;
  while (auto event = co_await stream.events.next()) {
    if (event->data == "[DONE]") {
      state.done = true;
      break;
    }
    co_await take_chunk(*event, source, state, blocks);
  }
  stream.events.close();
  stream.permit.release();
  if (!state.done && !state.finished) {
    throw core::RuntimeError("The stream of POST " + client->endpoint(kPath) +
                             " ended before its end marker 'data: [DONE]'.");
  }
  co_await blocks.close();
  LMOutput output;
  finish_output(output, state.thinking, state.text, state.refusal, structured);
  co_return output;
}

asio::awaitable<LMOutput> complete_answer(std::shared_ptr<const OpenAIClient> client, Value body,
                                          bool structured) {
  const Value answer = co_await client->post_json(std::string(kPath), std::move(body));
  const ChoicePart part =
      read_choice(answer, "message", "The answer of POST " + client->endpoint(kPath));
  LMOutput output;
  finish_output(output, part.thinking.value_or(""), part.text, part.refusal, structured);
  co_return output;
}

bool read_strict(const Value& config) {
  if (!config.is_object()) return false;
  auto it = config.find("response_schema_strict");
  if (it == config.end() || it->is_null()) return false;
  if (!it->is_boolean()) {
    throw core::ValueError(
        "Invalid OpenAI setting 'response_schema_strict': expected a bool, got " +
        core::py_repr(*it) + ".");
  }
  return it->get<bool>();
}

std::optional<Value> read_schema(const Value& config) {
  if (!config.is_object()) return std::nullopt;
  auto it = config.find("response_schema");
  if (it == config.end() || it->is_null()) return std::nullopt;
  if (!it->is_object()) {
    throw core::ValueError(
        "Invalid OpenAI setting 'response_schema': expected a JSON Schema "
        "object, got " +
        core::py_repr(*it) + ".");
  }
  return *it;
}

}  // namespace

OpenAILMInvoker::OpenAILMInvoker(const inference::ModelIdArg& model_id, const Value& credentials,
                                 const Value& config)
    : BaseLMInvoker(read_schema(config)),
      model_name_(openai_model_name(model_id)),
      client_(
          make_openai_client(credentials, config, {"response_schema", "response_schema_strict"})) {
  strict_schema_ = read_strict(config);
}

asio::awaitable<LMOutput> OpenAILMInvoker::_invoke(std::vector<inference::Message> messages,
                                                   inference::LMInvokeOptions options) {
  ChatRequestOptions request;
  request.stream = options.event_emitter != nullptr;
  request.strict_schema = strict_schema_;
  Value body = chat_request_body(model_name_, messages, options, request);
  const bool structured = options.response_schema.has_value();
  if (request.stream) {
    co_return co_await stream_answer(client_, std::move(body), std::move(options.event_emitter),
                                     structured);
  }
  co_return co_await complete_answer(client_, std::move(body), structured);
}

inference::LMInvokerPtr make_openai_lm_invoker(const inference::ModelId& model_id,
                                               const Value& credentials, const Value& config) {
  return std::make_shared<OpenAILMInvoker>(model_id, credentials, config);
}

}  // namespace zelq::providers::openai
