#include "zelq/generation/deep_researcher/perplexity_deep_researcher.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/uuid.hpp"
#include "zelq/inference/event_block.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"

namespace zelq::generation::deep_researcher::perplexity_deep_researcher {

namespace asio = boost::asio;
namespace perplexity = providers::perplexity;
using core::Value;
using inference::LMOutput;

namespace {

constexpr std::string_view kClassName = "PerplexityDeepResearcher";

// Returns `class_name` once `model_name` has passed: the check runs before
// any part of the researcher is built.
std::string check_model_name(const std::string& model_name, std::string class_name) {
  if (!model_name.ends_with(DEEP_RESEARCH_MODEL_SUFFIX)) {
    throw core::ValueError("The model name must be a deep research model. Invalid model name: " +
                           core::py_repr(model_name) + ".");
  }
  return class_name;
}

Value client_params_of(const std::optional<std::string>& api_key) {
  if (!api_key || api_key->empty()) return Value::object();
  return Value{{"api_key", *api_key}};
}

// The client of one attempt, closed however the attempt ends (a failure, a
// cancellation, or the frame destroyed unfinished).
class ClientScope {
 public:
  explicit ClientScope(perplexity::PerplexityClientPtr client) : client_(std::move(client)) {
    if (!client_) throw core::RuntimeError("The Perplexity client factory returned no client.");
  }
  ClientScope(const ClientScope&) = delete;
  ClientScope& operator=(const ClientScope&) = delete;
  ~ClientScope() { close(); }

  perplexity::PerplexityClient& operator*() const noexcept { return *client_; }
  void close() noexcept {
    if (client_) std::exchange(client_, nullptr)->close();
  }

 private:
  perplexity::PerplexityClientPtr client_;
};

// The transformer as an emitter: what the response block's writer sends
// passes through it.
class ThroughTransformer : public core::EventEmitter {
 public:
  explicit ThroughTransformer(std::shared_ptr<inference::ThinkTagOutputTransformer> transformer)
      : transformer_(std::move(transformer)) {}
  using core::EventEmitter::emit;
  asio::awaitable<void> emit(core::Event event) override {
    return transformer_->emit(std::move(event));
  }

 private:
  std::shared_ptr<inference::ThinkTagOutputTransformer> transformer_;
};

// The content of a citation: the snippet when it is a non-empty text, "-"
// for a missing, null or empty one (another kind is shown as Python prints
// it, or "-" when it is false).
std::string citation_content(const Value& snippet) {
  if (snippet.is_string()) {
    const auto& text = snippet.get_ref<const std::string&>();
    return text.empty() ? "-" : text;
  }
  return core::py_truthy(snippet) ? core::py_str(snippet) : "-";
}

}  // namespace

PerplexityDeepResearcher::PerplexityDeepResearcher(PerplexityDeepResearcherOptions options)
    : PerplexityDeepResearcher(std::move(options), std::string(kClassName)) {}

PerplexityDeepResearcher::PerplexityDeepResearcher(PerplexityDeepResearcherOptions options,
                                                   std::string class_name)
    : BaseDeepResearcher(check_model_name(options.model_name, std::move(class_name)),
                         options.streamable),
      model_name(std::move(options.model_name)),
      client_params(client_params_of(options.api_key)),
      prompt_builder(options.prompt_builder
                         ? std::move(*options.prompt_builder)
                         : inference::PromptBuilder(std::string(DEFAULT_SYSTEM_TEMPLATE),
                                                    std::string(DEFAULT_USER_TEMPLATE))),
      retry_config(options.retry_config.value_or(core::RetryConfig{.timeout = DEFAULT_TIMEOUT})),
      client_factory_(options.client_factory ? std::move(options.client_factory)
                                             : perplexity::default_client_factory()) {}

asio::awaitable<LMOutput> PerplexityDeepResearcher::research(ResearchRequest request) const {
  const ResearchFrontOptions front{.reserved_keywords = {std::string(perplexity::MODEL),
                                                         std::string(perplexity::MESSAGES),
                                                         std::string(perplexity::STREAM)}};
  ResearchCallPtr call = _prepare_research(std::move(request), prompt_builder, front);
  auto attempt = [this,
                  messages = _format_messages(call->messages)](const ResearchCallPtr& shared) {
    return _research(messages, shared->config, shared->event_emitter);
  };
  co_return co_await _retry_research(std::move(attempt), retry_config, std::move(call));
}

Value PerplexityDeepResearcher::_format_messages(
    const std::vector<inference::Message>& inputs) const {
  Value records = Value::array();
  std::vector<inference::MessageContent> unsupported;
  for (const inference::Message& message : inputs) {
    Value parts = Value::array();
    for (const inference::MessageContent& item : message.contents) {
      if (!item.is_text()) {
        unsupported.push_back(item);
        continue;
      }
      parts.push_back({{Key::TYPE, InputType::TEXT}, {Key::TEXT, item.text()}});
    }
    records.push_back(
        {{Key::ROLE, inference::to_string(message.role)}, {Key::CONTENT, std::move(parts)}});
  }
  if (!unsupported.empty()) {
    _logger()->warn("The `" + class_name() +
                    "` currently only supports text history contents. Ignoring unsupported "
                    "history contents: " +
                    inference::repr(unsupported) + ".");
  }
  return records;
}

// GCC 12 reports a mismatched operator delete for this coroutine's frame,
// which Asio allocates and frees with its own matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
asio::awaitable<LMOutput> PerplexityDeepResearcher::_research(
    Value messages, Value config, std::shared_ptr<core::EventEmitter> event_emitter) const {
  auto transformer = std::make_shared<inference::ThinkTagOutputTransformer>(event_emitter);
  LMOutput output;
  auto buffer = std::make_shared<inference::StreamBuffer>();
  std::vector<core::ChunkPtr> citations;
  bool process_citations = false;
  bool start_response = false;

  ClientScope client(client_factory_(client_params));
  perplexity::ChatCompletionRequest request{
      .model = model_name, .messages = std::move(messages), .options = std::move(config)};
  auto stream = co_await (*client).create_chat_completion_stream(std::move(request));
  inference::EventBlockWriter response(
      event_emitter ? std::make_shared<ThroughTransformer>(transformer) : nullptr,
      inference::BlockKind::RESPONSE);
  while (auto chunk = co_await stream->next()) {
    auto event = std::make_shared<const perplexity::StreamChunk>(std::move(*chunk));
    if (!process_citations) {
      citations = co_await _process_citations(event, transformer);
      process_citations = !citations.empty();
    }
    if (!start_response && event_emitter) {
      co_await response.start();
      buffer->id = response.id();
      start_response = true;
    }
    co_await _process_text(event, transformer, buffer);
  }
  co_await response.end();
  stream.reset();
  client.close();

  output.add_text(std::move(buffer->text));
  output.add_citation(std::move(citations));
  co_return transformer->transform(std::move(output));
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

asio::awaitable<std::vector<core::ChunkPtr>> PerplexityDeepResearcher::_process_citations(
    StreamChunkPtr event, TransformerPtr transformer) const {
  static const std::vector<perplexity::SearchResult> kNone;
  const auto& search_results = event->search_results ? *event->search_results : kNone;
  if (transformer->event_emitter()) {
    Value sources = Value::array();
    for (const auto& record : search_results) sources.push_back(record.model_dump());
    const inference::Activity activity(std::string(OutputType::WEB_SEARCH),
                                       Value{{"sources", std::move(sources)}});
    core::Event activity_event =
        inference::ActivityEvent::from_activity(core::new_uuid(), activity);
    co_await transformer->emit(std::move(activity_event));
  }
  std::vector<core::ChunkPtr> result;
  result.reserve(search_results.size());
  for (const auto& record : search_results) {
    Value metadata = record.model_dump();
    Value snippet = "-";
    if (auto it = metadata.find(Key::SNIPPET); it != metadata.end()) {
      snippet = std::move(*it);
      metadata.erase(it);
    }
    result.push_back(core::make_chunk(citation_content(snippet), std::move(metadata)));
  }
  co_return result;
}

asio::awaitable<void> PerplexityDeepResearcher::_process_text(
    StreamChunkPtr event, TransformerPtr transformer,
    std::shared_ptr<inference::StreamBuffer> buffer) const {
  for (const perplexity::Choice& choice : event->choices) {
    if (!choice.delta || !choice.delta->content || choice.delta->content->empty()) continue;
    const std::string& content = *choice.delta->content;
    buffer->text += content;
    if (transformer->event_emitter()) {
      core::Event piece = inference::ResponseEvent::content(buffer->id, content);
      co_await transformer->emit(std::move(piece));
    }
  }
}

}  // namespace zelq::generation::deep_researcher::perplexity_deep_researcher
