#include "zelq/providers/perplexity/perplexity_http_client.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/chat_chunk.hpp"
#include "zelq/net/chunk_stream.hpp"
#include "zelq/net/service.hpp"

namespace zelq::providers::perplexity {

namespace asio = boost::asio;
using core::Value;

namespace {

constexpr std::string_view kPath = "chat/completions";
constexpr std::string_view kClosed = "The Perplexity client is closed.";
constexpr net::SettingNames kParams{.whole = "The Perplexity client parameters",
                                    .entry = "Perplexity client parameter",
                                    .known = "known parameters"};

}  // namespace

const std::vector<std::string_view>& PerplexitySettings::keys() {
  static const std::vector<std::string_view> names = {
      "api_key", "base_url", "max_retries", "connect_timeout", "idle_timeout", "timeout"};
  return names;
}

PerplexitySettings PerplexitySettings::from_params(const Value& params) {
  PerplexitySettings settings;
  std::string key;
  net::read_service_settings(params, kParams, keys(), settings,
                             [&key](const std::string&, const Value& value) {
                               key = net::api_key_entry(value, kParams.entry);
                             });
  settings.api_key =
      net::api_key_or_environment(std::move(key), "Perplexity", "'api_key'", {API_KEY_ENV});
  return settings;
}

namespace detail {

// What the client and one of its streams share: the client closes the
// streams still open.
struct OpenStream {
  explicit OpenStream(net::ChunkStream chunks) : chunks(std::move(chunks)) {}

  void close() noexcept {
    closed = true;
    chunks.close();
  }

  net::ChunkStream chunks;
  bool closed = false;
};

}  // namespace detail

namespace {

class HttpChunkStream : public ChatCompletionStream {
 public:
  explicit HttpChunkStream(std::shared_ptr<detail::OpenStream> state)
      : state_(std::move(state)), source_("A streamed chunk of " + state_->chunks.endpoint()) {}

  asio::awaitable<std::optional<StreamChunk>> next() override {
    if (state_->closed) throw core::RuntimeError(std::string(kClosed));
    net::ChunkStream& chunks = state_->chunks;
    std::optional<std::string> data;
    if (!chunks.try_take_data(data)) data = co_await chunks.next_data();
    if (!data) {
      chunks.close();
      chunks.check_done();
      co_return std::nullopt;
    }
    try {
      co_return read(*data);
    } catch (...) {
      chunks.close();
      throw;
    }
  }

 private:
  // The chunk in `data`: the fields used read without a Value when the
  // chunk is plain, else through the Value, which names what is wrong.
  StreamChunk read(const std::string& data) {
    net::ChatChunk* fast = state_->chunks.reader().read(data);
    if (fast == nullptr) return parse_stream_chunk(state_->chunks.parse(data), source_);
    StreamChunk chunk;
    chunk.choices.reserve(fast->choices.size());
    for (net::ChatChoice& choice : fast->choices) {
      Choice& out = chunk.choices.emplace_back();
      if (choice.delta) out.delta = Delta{.content = std::move(choice.delta->content)};
    }
    if (fast->search_results) chunk.search_results = search_results(*fast->search_results);
    return chunk;
  }

  // The records of the list `text`, shared with the chunk before when it
  // sent the same text.
  const std::vector<SearchResult>& search_results(std::string& text) {
    if (text != last_text_) {
      const Value list = core::parse_json(text, source_, state_->chunks.max_memory());
      std::vector<SearchResult> records;
      records.reserve(list.size());
      for (const Value& record : list) records.emplace_back(record);
      last_results_ = std::move(records);
      last_text_ = std::move(text);
    }
    return last_results_;
  }

  std::shared_ptr<detail::OpenStream> state_;
  std::string source_;
  std::string last_text_;
  std::vector<SearchResult> last_results_;
};

}  // namespace

PerplexityClient::PerplexityClient(const Value& client_params)
    : QuotingHolder(net::quoting_of(client_params, {API_KEY_ENV})) {}

PerplexityHttpClient::PerplexityHttpClient(const Value& client_params)
    : PerplexityHttpClient(PerplexitySettings::from_params(client_params)) {}

PerplexityHttpClient::PerplexityHttpClient(PerplexitySettings settings)
    : PerplexityHttpClient(
          settings, net::ApiClient(net::api_client_options(
                        settings, "Perplexity", {{"Authorization", "Bearer " + settings.api_key}},
                        "zelq-perplexity/0.1", {API_KEY_ENV}))) {}

PerplexityHttpClient::PerplexityHttpClient(PerplexitySettings settings, net::ApiClient api)
    : PerplexityClient(api.quoting()), settings_(std::move(settings)), api_(std::move(api)) {}

PerplexityHttpClient::~PerplexityHttpClient() { close(); }

asio::awaitable<std::unique_ptr<ChatCompletionStream>>
PerplexityHttpClient::create_chat_completion_stream(ChatCompletionRequest request) {
  check_request_options(request.options, "create_chat_completion_stream()");
  if (closed_) throw core::RuntimeError(std::string(kClosed));
  net::ApiRequest http;
  http.path = std::string(kPath);
  Value body = {
      {MODEL, std::move(request.model)}, {MESSAGES, std::move(request.messages)}, {STREAM, true}};
  if (request.options.is_object()) {
    for (auto& [key, value] : request.options.items()) {
      if (key == "timeout") {
        net::ServiceOptions limit;
        net::apply_service_setting(limit, key, value, "Perplexity request option");
        http.timeout = limit.timeout;
      } else {
        body[key] = std::move(value);
      }
    }
  }
  http.body = std::move(body);
  net::ApiEventStream events = co_await api_.request_events(std::move(http));
  if (closed_) throw core::RuntimeError(std::string(kClosed));
  auto state = std::make_shared<detail::OpenStream>(net::ChunkStream(std::move(events), quoting()));
  std::erase_if(streams_, [](const auto& open) { return open.expired(); });
  streams_.push_back(state);
  co_return std::make_unique<HttpChunkStream>(std::move(state));
}

void PerplexityHttpClient::close() noexcept {
  closed_ = true;
  for (auto& open : streams_) {
    if (auto state = open.lock()) state->close();
  }
  streams_.clear();
}

PerplexityClientFactory http_client_factory(Value defaults) {
  if (!defaults.is_object()) {
    throw core::ValueError("The defaults of Perplexity clients must be an object, got " +
                           core::py_repr(defaults) + ".");
  }
  return [defaults = std::move(defaults)](const Value& client_params) -> PerplexityClientPtr {
    Value params = defaults;
    if (client_params.is_object()) {
      for (const auto& [key, value] : client_params.items()) params[key] = value;
    } else if (!client_params.is_null()) {
      params = client_params;  // refused by from_params, naming it
    }
    return std::make_shared<PerplexityHttpClient>(params);
  };
}

PerplexityClientFactory default_client_factory() { return http_client_factory(); }

}  // namespace zelq::providers::perplexity
