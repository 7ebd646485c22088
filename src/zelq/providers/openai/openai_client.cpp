#include "zelq/providers/openai/openai_client.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/url.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;

namespace {

// Bodies read into memory: a JSON answer (embeddings of a large batch are
// big) and an error answer, of which only the message is kept.
constexpr std::size_t kMaxJsonBody = std::size_t{256} << 20;
constexpr std::size_t kMaxErrorBody = std::size_t{1} << 20;

[[noreturn]] void bad_setting(std::string_view key, std::string_view expected, const Value& value) {
  throw core::ValueError("Invalid OpenAI setting " + core::py_repr(key) + ": expected " +
                         std::string(expected) + ", got " + core::py_repr(value) + ".");
}

double read_seconds(const Value& value, std::string_view key, bool zero_allowed) {
  const bool ok = value.is_number() && std::isfinite(value.get<double>()) &&
                  (zero_allowed ? value.get<double>() >= 0 : value.get<double>() > 0);
  if (!ok)
    bad_setting(key, zero_allowed ? "a number of seconds >= 0" : "a number of seconds > 0", value);
  return value.get<double>();
}

long long read_integer(const Value& value, std::string_view key, long long least) {
  if (!value.is_number_integer() || value.get<long long>() < least) {
    bad_setting(key, least > 0 ? "a positive integer" : "an integer >= 0", value);
  }
  return value.get<long long>();
}

// A URL fit for a message: without its query and with any user information
// masked, since either may carry a key.
std::string redact_url(const std::string& url) {
  std::string out = url.substr(0, url.find('?'));
  const auto scheme_end = out.find("://");
  const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const std::size_t end = std::min(out.find_first_of("/#", start), out.size());
  if (const auto at = out.substr(start, end - start).rfind('@'); at != std::string::npos) {
    out.replace(start, at + 1, "***@");
  }
  return out;
}

std::string read_base_url(const Value& value) {
  const std::string shown = value.is_string() ? value.get<std::string>() : std::string();
  const auto scheme_end = shown.find("://");
  std::string scheme = shown.substr(0, scheme_end == std::string::npos ? 0 : scheme_end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "http" && scheme != "https") {
    const Value redacted = value.is_string() ? Value(redact_url(shown)) : value;
    bad_setting("base_url", "an http or https URL", redacted);
  }
  net::Url::parse(shown);  // throws ValueError naming what else is wrong
  std::string url = shown;
  while (url.ends_with('/')) url.pop_back();
  return url;
}

void apply_setting(OpenAISettings& settings, const std::string& key, const Value& value) {
  if (key == "base_url") {
    settings.base_url = read_base_url(value);
  } else if (key == "max_concurrency") {
    settings.max_concurrency = static_cast<std::size_t>(read_integer(value, key, 1));
  } else if (key == "max_retries") {
    settings.max_retries = static_cast<int>(std::min(read_integer(value, key, 0), 1000LL));
  } else if (key == "retry_base_delay") {
    settings.retry_base_delay = read_seconds(value, key, true);
  } else if (key == "retry_max_delay") {
    settings.retry_max_delay = read_seconds(value, key, true);
  } else if (key == "max_retry_after") {
    settings.max_retry_after = read_seconds(value, key, true);
  } else if (key == "connect_timeout") {
    settings.connect_timeout = read_seconds(value, key, false);
  } else if (key == "idle_timeout") {
    settings.idle_timeout = read_seconds(value, key, false);
  } else if (key == "timeout") {
    settings.timeout =
        value.is_null() ? std::nullopt : std::optional<double>(read_seconds(value, key, false));
  }
}

std::chrono::milliseconds to_millis(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(std::min(seconds, 1e9) * 1e3)));
}

std::optional<double> parse_seconds(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || ec != std::errc{} || ptr != end || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

asio::awaitable<void> sleep_for(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, to_millis(seconds));
  co_await timer.async_wait(asio::use_awaitable);
}

bool is_retryable(int status) { return status == 429 || status >= 500; }

// The error with every copy of the key in the server's message masked: some
// servers quote the key they rejected.
net::HttpError without_key(net::HttpError error, const std::string& key) {
  constexpr std::string_view mask = "***";
  std::string message = error.message();
  if (key.empty() || message.find(key) == std::string::npos) return error;
  // The search goes on after the mask, which may itself contain the key.
  for (auto at = message.find(key); at != std::string::npos;
       at = message.find(key, at + mask.size())) {
    message.replace(at, key.size(), mask);
  }
  return net::HttpError(error.status(), std::move(message), error.retry_after());
}

}  // namespace

const std::vector<std::string_view>& OpenAISettings::keys() {
  static const std::vector<std::string_view> names = {
      "base_url",        "max_concurrency", "max_retries",  "retry_base_delay", "retry_max_delay",
      "max_retry_after", "connect_timeout", "idle_timeout", "timeout"};
  return names;
}

OpenAISettings OpenAISettings::from_config(const Value& config,
                                           const std::vector<std::string_view>& other_keys) {
  OpenAISettings settings;
  if (config.is_null()) return settings;
  if (!config.is_object()) {
    throw core::ValueError("The OpenAI configuration must be an object, got " +
                           core::py_repr(config) + ".");
  }
  for (auto it = config.begin(); it != config.end(); ++it) {
    const auto& known = keys();
    if (std::find(known.begin(), known.end(), it.key()) != known.end()) {
      apply_setting(settings, it.key(), it.value());
    } else if (std::find(other_keys.begin(), other_keys.end(), it.key()) == other_keys.end()) {
      std::string names;
      for (auto name : known) names += ", " + core::py_repr(name);
      for (auto name : other_keys) names += ", " + core::py_repr(name);
      throw core::ValueError("Unknown OpenAI setting " + core::py_repr(it.key()) +
                             "; known settings: " + names.substr(2) + ".");
    }
  }
  return settings;
}

std::string resolve_api_key(const Value& credentials) {
  std::string key;
  if (credentials.is_null()) {
    const char* env = std::getenv(std::string(API_KEY_ENV).c_str());
    if (env == nullptr || *env == '\0') {
      throw core::ValueError(
          "No OpenAI API key: pass credentials (the key, or an object with 'api_key') or set " +
          std::string(API_KEY_ENV) + ".");
    }
    key = env;
  } else if (credentials.is_string()) {
    key = credentials.get<std::string>();
  } else if (credentials.is_object()) {
    for (auto it = credentials.begin(); it != credentials.end(); ++it) {
      if (it.key() != "api_key") {
        throw core::ValueError("Unknown entry " + core::py_repr(it.key()) +
                               " in the OpenAI credentials; the one entry read is 'api_key'.");
      }
    }
    auto it = credentials.find("api_key");
    if (it == credentials.end() || !it->is_string()) {
      throw core::ValueError("The OpenAI credentials need 'api_key' as a text.");
    }
    key = it->get<std::string>();
  } else {
    throw core::ValueError(std::string("The OpenAI credentials must be an API key text, an ") +
                           "object with 'api_key', or null; got a JSON " + credentials.type_name() +
                           ".");
  }
  if (key.empty()) throw core::ValueError("The OpenAI API key is empty.");
  if (std::any_of(key.begin(), key.end(), [](unsigned char c) { return c <= ' ' || c == 127; })) {
    throw core::ValueError("The OpenAI API key holds white space or control characters.");
  }
  return key;
}

std::optional<std::chrono::duration<double>> server_retry_delay(const net::HttpHeaders& headers) {
  if (auto ms = net::find_header(headers, "retry-after-ms")) {
    if (auto value = parse_seconds(*ms)) return std::chrono::duration<double>(*value / 1e3);
  }
  if (auto text = net::find_header(headers, "retry-after")) {
    if (auto value = parse_seconds(*text)) return std::chrono::duration<double>(*value);
    if (auto date = net::parse_retry_after(*text, std::chrono::system_clock::now())) {
      return std::chrono::duration<double>(*date);
    }
  }
  return std::nullopt;
}

std::string openai_model_name(const inference::ModelIdArg& model_id) {
  const inference::ModelId id = inference::to_model_id(model_id);
  if (id.provider != PROVIDER_NAME) {
    throw core::ValueError("The OpenAI invokers serve model ids 'openai/<model>', got " +
                           core::py_repr(id.to_string()) + ".");
  }
  return id.name;
}

std::shared_ptr<const OpenAIClient> make_openai_client(
    const Value& credentials, const Value& config,
    const std::vector<std::string_view>& other_keys) {
  OpenAISettings settings = OpenAISettings::from_config(config, other_keys);
  return std::make_shared<const OpenAIClient>(resolve_api_key(credentials), std::move(settings));
}

OpenAIClient::OpenAIClient(std::string api_key, OpenAISettings settings)
    : api_key_(std::move(api_key)),
      settings_(std::move(settings)),
      http_([this] {
        net::HttpClientOptions options;
        options.connect_timeout = to_millis(settings_.connect_timeout);
        options.idle_timeout = to_millis(settings_.idle_timeout);
        if (settings_.timeout) options.request_timeout = to_millis(*settings_.timeout);
        options.max_body_size = kMaxJsonBody;
        options.default_headers = {{"User-Agent", "zelq-openai/0.1"}};
        return options;
      }()),
      slots_(AsyncSemaphore::create(settings_.max_concurrency)) {}

std::string OpenAIClient::endpoint(std::string_view path) const {
  return net::Url::parse(settings_.base_url + "/" + std::string(path)).redacted();
}

asio::awaitable<net::HttpStream> OpenAIClient::send(std::string path, Value body,
                                                    bool events) const {
  net::HttpRequest request;
  request.method = "POST";
  request.url = settings_.base_url + "/" + path;
  request.headers = {{"Authorization", "Bearer " + api_key_},
                     {"Content-Type", "application/json"},
                     {"Accept", events ? "text/event-stream" : "application/json"}};
  request.body = body.dump(-1, ' ', false, Value::error_handler_t::replace);
  for (int attempt = 0;; ++attempt) {
    net::HttpRequest copy = request;
    net::HttpStream stream = co_await http_.stream(std::move(copy));
    if (stream.head.ok()) co_return stream;
    std::string text;
    try {
      text = co_await stream.body.read_all(kMaxErrorBody);
    } catch (const core::RuntimeError&) {
      // Too large to be an error message: report the status alone.
    }
    auto error = without_key(net::HttpError::from_response(stream.head, text), api_key_);
    if (!is_retryable(error.status()) || attempt >= settings_.max_retries) throw error;
    const auto named = server_retry_delay(stream.head.headers);
    const double delay = named && named->count() <= settings_.max_retry_after
                             ? named->count()
                             : std::min(settings_.retry_max_delay,
                                        settings_.retry_base_delay * std::pow(2.0, attempt));
    core::LoggerManager()
        .get_logger("OpenAIClient")
        ->warn(fmt::format("POST {} failed with HTTP {}; retry {} of {} in {} seconds.",
                           endpoint(path), error.status(), attempt + 1, settings_.max_retries,
                           delay));
    co_await sleep_for(delay);
  }
}

asio::awaitable<Value> OpenAIClient::post_json(std::string path, Value body) const {
  AsyncSemaphore::Permit permit = co_await slots_->acquire();
  net::HttpStream stream = co_await send(path, std::move(body), false);
  std::string text = co_await stream.body.read_all(kMaxJsonBody);
  permit.release();
  co_return parse_json_answer(text, "The answer of POST " + endpoint(path));
}

asio::awaitable<OpenAIEventStream> OpenAIClient::post_events(std::string path, Value body) const {
  AsyncSemaphore::Permit permit = co_await slots_->acquire();
  net::HttpStream stream = co_await send(std::move(path), std::move(body), true);
  OpenAIEventStream result{std::move(permit), net::SseReader(std::move(stream.body))};
  co_return result;
}

Value parse_json_answer(std::string_view text, std::string_view source) {
  Value value = Value::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    std::string excerpt(text.substr(0, 200));
    throw core::RuntimeError(std::string(source) + " is not a JSON object: " +
                             core::py_repr(excerpt) + (text.size() > 200 ? "..." : "") + ".");
  }
  return value;
}

}  // namespace zelq::providers::openai
