#include "zelq/providers/openai/openai_lm_invoker.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/inference/event_block.hpp"
#include "zelq/net/chunk_stream.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/providers/openai/detail/chat_request.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"
#include "zelq/providers/openai/detail/responses_run.hpp"

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
  using Kind = inference::BlockKind;

  explicit BlockEmitter(std::shared_ptr<core::EventEmitter> emitter)
      : enabled_(emitter != nullptr),
        thinking_(emitter, Kind::THINKING),
        response_(std::move(emitter), Kind::RESPONSE) {}

  // Sends one piece. Not a coroutine: a piece that continues the open block
  // (nearly every one) goes straight to the emitter without a frame here.
  asio::awaitable<void> send(Kind kind, std::string text) {
    inference::EventBlockWriter& block = writer(kind);
    if (block.is_open() && !text.empty()) return block.content(std::move(text));
    return piece(kind, std::move(text));
  }

  asio::awaitable<void> close() {
    co_await thinking_.end();
    co_await response_.end();
  }

 private:
  asio::awaitable<void> piece(Kind kind, std::string text) {
    if (!enabled_ || text.empty()) co_return;
    co_await close();
    inference::EventBlockWriter& block = writer(kind);
    co_await block.start();
    co_await block.content(std::move(text));
  }

  inference::EventBlockWriter& writer(Kind kind) {
    return kind == Kind::THINKING ? thinking_ : response_;
  }

  bool enabled_;
  inference::EventBlockWriter thinking_;
  inference::EventBlockWriter response_;
};

// What a stream has said so far.
struct StreamState {
  std::string thinking;
  std::optional<std::string> text;
  std::optional<std::string> refusal;
  bool finished = false;  // a finish reason came
};

void append(std::optional<std::string>& to, const std::string& piece) {
  if (!to) to.emplace();
  *to += piece;
}

// Reads one chunk's data into `state`; returns what is to be emitted. A
// plain function rather than a coroutine: it runs once per streamed token.
ChoicePart take_chunk(std::string_view data, net::ChunkStream& chunks, const OpenAIClient& client,
                      StreamState& state) {
  // Plain chunks are read without building a Value; anything else takes the
  // full path, which names what is wrong.
  ChoicePart part;
  if (!read_chunk_fast(chunks.reader(), data, part)) {
    part = read_choice(chunks.parse(data), "delta", chunks.source(), client.quoting());
  }
  if (part.finish_reason) state.finished = true;
  // Appended in place: a long answer arrives in thousands of pieces.
  if (part.refusal) append(state.refusal, *part.refusal);
  if (part.thinking) state.thinking += *part.thinking;
  if (part.text) append(state.text, *part.text);
  return part;
}

// GCC 12 reports a mismatched operator delete inside this coroutine's frame
// handling, which Asio allocates and frees with its own matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
asio::awaitable<LMOutput> stream_answer(std::shared_ptr<const OpenAIClient> client, Value body,
                                        std::shared_ptr<core::EventEmitter> emitter,
                                        bool structured) {
  net::ApiEventStream events = co_await client->post_events(std::string(kPath), std::move(body));
  net::ChunkStream chunks(std::move(events), client->quoting());
  BlockEmitter blocks(std::move(emitter));
  StreamState state;
  while (true) {
    // Events already parsed are taken without awaiting: one frame less per
    // token.
    // A ready event is read where it lies, without a copy.
    std::optional<std::string_view> data;
    std::optional<std::string> awaited;
    if (!chunks.try_take_view(data)) {
      awaited = co_await chunks.next_data();
      if (awaited) data = *awaited;
    }
    if (!data) break;
    ChoicePart part = take_chunk(*data, chunks, *client, state);
    if (part.thinking) {
      co_await blocks.send(BlockEmitter::Kind::THINKING, std::move(*part.thinking));
    }
    if (part.text) co_await blocks.send(BlockEmitter::Kind::RESPONSE, std::move(*part.text));
  }
  chunks.close();
  // Some compatible servers end with a finish reason and no end marker.
  if (!state.finished) chunks.check_done();
  co_await blocks.close();
  LMOutput output;
  finish_output(output, state.thinking, std::move(state.text), state.refusal, structured,
                client->quoting(), client->api().options().max_body_size);
  co_return output;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// The first choice of the whole answer `text`, which is let go on return,
// before the answer's content is parsed as a structured output. A plain
// answer is read without building a Value; any other is parsed whole, which
// names what is wrong. Either reading is held to the client's one budget.
ChoicePart read_answer(const OpenAIClient& client, std::string text) {
  std::optional<ChoicePart> fast = read_answer_fast(text, client.api().options().max_body_size);
  if (fast) return std::move(*fast);
  const Value answer = client.parse_answer(kPath, text);
  return read_choice(answer, "message", "The answer of " + client.endpoint(kPath),
                     client.quoting());
}

asio::awaitable<LMOutput> complete_answer(std::shared_ptr<const OpenAIClient> client, Value body,
                                          bool structured) {
  std::string text = co_await client->post_text(std::string(kPath), std::move(body));
  ChoicePart part = read_answer(*client, std::move(text));
  LMOutput output;
  finish_output(output, part.thinking.value_or(""), std::move(part.text), part.refusal, structured,
                client->quoting(), client->api().options().max_body_size);
  co_return output;
}

// Takes the messages and options by value: once the body holds what they
// say, a call that waits (a streamed answer can last minutes) keeps neither.
Value request_body(const std::string& model, std::vector<inference::Message> messages,
                   inference::LMInvokeOptions options, const ChatRequestOptions& request) {
  return chat_request_body(model, messages, options, request);
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

std::vector<std::string_view> other_config_keys() {
  std::vector<std::string_view> keys = {"response_schema", "response_schema_strict"};
  const auto& responses = responses_config_keys();
  keys.insert(keys.end(), responses.begin(), responses.end());
  return keys;
}

std::shared_ptr<const ResponsesSettings> read_responses(const std::string& model,
                                                        const Value& config) {
  auto settings = std::make_shared<const ResponsesSettings>(ResponsesSettings::from_config(config));
  return uses_responses_api(model, *settings) ? settings : nullptr;
}

}  // namespace

OpenAILMInvoker::OpenAILMInvoker(const inference::ModelIdArg& model_id, const Value& credentials,
                                 const Value& config)
    : BaseLMInvoker(read_schema(config)),
      model_name_(openai_model_name(model_id)),
      client_(make_openai_client(credentials, config, other_config_keys())) {
  strict_schema_ = read_strict(config);
  responses_ = read_responses(model_name_, config);
}

// Not a coroutine: it builds the request and hands back the awaitable of the
// answer, so a call in flight (a stream held for minutes) keeps no frame of
// it. BaseLMInvoker::invoke calls it inside its own co_await, where what it
// throws propagates as from the awaited call.
asio::awaitable<LMOutput> OpenAILMInvoker::_invoke(std::vector<inference::Message> messages,
                                                   inference::LMInvokeOptions options) {
  if (responses_) {
    return invoke_responses(client_, model_name_, responses_, std::move(messages),
                            std::move(options));
  }
  ChatRequestOptions request;
  request.stream = options.event_emitter != nullptr;
  request.strict_schema = strict_schema_;
  const bool structured = options.response_schema.has_value();
  std::shared_ptr<core::EventEmitter> emitter = std::move(options.event_emitter);
  Value body = request_body(model_name_, std::move(messages), std::move(options), request);
  if (request.stream)
    return stream_answer(client_, std::move(body), std::move(emitter), structured);
  return complete_answer(client_, std::move(body), structured);
}

inference::LMInvokerPtr make_openai_lm_invoker(const inference::ModelId& model_id,
                                               const Value& credentials, const Value& config) {
  return std::make_shared<OpenAILMInvoker>(model_id, credentials, config);
}

}  // namespace zelq::providers::openai
