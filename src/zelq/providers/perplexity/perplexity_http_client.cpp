#include "zelq/providers/perplexity/perplexity_http_client.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/chunk_stream.hpp"

namespace zelq::providers::perplexity {

namespace asio = boost::asio;
using core::Value;

namespace {

constexpr std::string_view kPath = "chat/completions";
constexpr std::string_view kClosed = "The Perplexity client is closed.";

[[noreturn]] void bad_param(std::string_view key, std::string_view expected, const Value& value,
                            std::string_view kind = "client parameter") {
  throw core::ValueError("Invalid Perplexity " + std::string(kind) + " " + core::py_repr(key) +
                         ": expected " + std::string(expected) + ", got " + core::py_repr(value) +
                         ".");
}

double read_seconds(const Value& value, std::string_view key,
                    std::string_view kind = "client parameter") {
  if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() <= 0) {
    bad_param(key, "a number of seconds > 0", value, kind);
  }
  return value.get<double>();
}

std::string read_api_key(const Value& value) {
  if (!value.is_null() && !value.is_string()) {
    throw core::ValueError("Invalid Perplexity client parameter 'api_key': expected a text.");
  }
  std::string key = value.is_string() ? value.get<std::string>() : std::string();
  if (key.empty()) {
    const char* env = std::getenv(std::string(API_KEY_ENV).c_str());
    if (env == nullptr || *env == '\0') {
      throw core::ValueError("No Perplexity API key: pass 'api_key' or set " +
                             std::string(API_KEY_ENV) + ".");
    }
    key = env;
  }
  if (std::any_of(key.begin(), key.end(), [](unsigned char c) { return c <= ' ' || c == 127; })) {
    throw core::ValueError("The Perplexity API key holds white space or control characters.");
  }
  return key;
}

void apply_param(PerplexitySettings& settings, const std::string& key, const Value& value) {
  if (key == "base_url") {
    if (!value.is_string()) bad_param(key, "an http or https URL", value);
    settings.base_url = net::checked_base_url(value.get<std::string>());
  } else if (key == "max_retries") {
    if (!value.is_number_integer() || value.get<long long>() < 0) {
      bad_param(key, "an integer >= 0", value);
    }
    settings.max_retries = static_cast<int>(std::min(value.get<long long>(), 1000LL));
  } else if (key == "connect_timeout") {
    settings.connect_timeout = read_seconds(value, key);
  } else if (key == "idle_timeout") {
    settings.idle_timeout = read_seconds(value, key);
  } else if (key == "timeout") {
    settings.timeout = value.is_null() ? std::nullopt : std::optional(read_seconds(value, key));
  }
}

std::chrono::milliseconds to_millis(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(std::min(seconds, 1e9) * 1e3)));
}

net::ApiClientOptions api_options(const PerplexitySettings& settings) {
  net::ApiClientOptions options;
  options.base_url = settings.base_url;
  options.api_key = settings.api_key;
  options.headers = {{"Authorization", "Bearer " + settings.api_key}};
  options.max_retries = settings.max_retries;
  if (settings.timeout) options.timeout = to_millis(*settings.timeout);
  options.idle_timeout = to_millis(settings.idle_timeout);
  options.connect_timeout = to_millis(settings.connect_timeout);
  options.user_agent = "zelq-perplexity/0.1";
  return options;
}

}  // namespace

const std::vector<std::string_view>& PerplexitySettings::keys() {
  static const std::vector<std::string_view> names = {
      "api_key", "base_url", "max_retries", "connect_timeout", "idle_timeout", "timeout"};
  return names;
}

PerplexitySettings PerplexitySettings::from_params(const Value& params) {
  if (!params.is_null() && !params.is_object()) {
    throw core::ValueError("The Perplexity client parameters must be an object, got " +
                           core::py_repr(params) + ".");
  }
  PerplexitySettings settings;
  Value api_key = nullptr;
  if (params.is_object()) {
    for (auto it = params.begin(); it != params.end(); ++it) {
      const auto& known = keys();
      if (std::find(known.begin(), known.end(), it.key()) == known.end()) {
        std::string names;
        for (auto name : known) names += ", " + core::py_repr(name);
        throw core::ValueError("Unknown Perplexity client parameter " + core::py_repr(it.key()) +
                               "; known parameters: " + names.substr(2) + ".");
      }
      if (it.key() == "api_key") {
        api_key = it.value();
      } else {
        apply_param(settings, it.key(), it.value());
      }
    }
  }
  settings.api_key = read_api_key(api_key);
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
    std::optional<Value> chunk = co_await state_->chunks.next();
    if (!chunk) {
      state_->chunks.close();
      state_->chunks.check_done();
      co_return std::nullopt;
    }
    try {
      co_return parse_stream_chunk(*chunk, source_);
    } catch (...) {
      state_->chunks.close();
      throw;
    }
  }

 private:
  std::shared_ptr<detail::OpenStream> state_;
  std::string source_;
};

}  // namespace

PerplexityHttpClient::PerplexityHttpClient(const Value& client_params)
    : settings_(PerplexitySettings::from_params(client_params)), api_(api_options(settings_)) {}

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
        if (!value.is_null())
          http.timeout = to_millis(read_seconds(value, "timeout", "request option"));
      } else {
        body[key] = std::move(value);
      }
    }
  }
  http.body = std::move(body);
  net::ApiEventStream events = co_await api_.request_events(std::move(http));
  if (closed_) throw core::RuntimeError(std::string(kClosed));
  auto state =
      std::make_shared<detail::OpenStream>(net::ChunkStream(std::move(events), settings_.api_key));
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
