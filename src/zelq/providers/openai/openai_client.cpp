#include "zelq/providers/openai/openai_client.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/url.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;

namespace {

// Embeddings of a large batch are big.
constexpr std::size_t kMaxJsonBody = std::size_t{256} << 20;

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
  // Throws ValueError naming what else is wrong (user information, a query
  // or a fragment), with the URL masked.
  return net::checked_base_url(shown);
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

namespace {

net::ApiClientOptions api_options(const std::string& api_key, const OpenAISettings& settings) {
  net::ApiClientOptions options;
  options.base_url = settings.base_url;
  options.api_key = api_key;
  options.headers = {{"Authorization", "Bearer " + api_key}};
  options.max_concurrency = settings.max_concurrency;
  options.max_retries = settings.max_retries;
  options.retry_base_delay = settings.retry_base_delay;
  options.retry_max_delay = settings.retry_max_delay;
  options.max_retry_after = settings.max_retry_after;
  if (settings.timeout) options.timeout = to_millis(*settings.timeout);
  options.idle_timeout = to_millis(settings.idle_timeout);
  options.connect_timeout = to_millis(settings.connect_timeout);
  options.max_body_size = kMaxJsonBody;
  options.user_agent = "zelq-openai/0.1";
  return options;
}

}  // namespace

OpenAIClient::OpenAIClient(std::string api_key, OpenAISettings settings)
    : api_key_(std::move(api_key)),
      settings_(std::move(settings)),
      api_(api_options(api_key_, settings_)) {}

std::string OpenAIClient::endpoint(std::string_view path) const {
  return api_.endpoint("POST", path);
}

std::string OpenAIClient::mask(std::string_view text) const { return api_.mask(text); }

std::string OpenAIClient::server_message(std::string_view body) const {
  return net::server_message(body, api_key_);
}

Value OpenAIClient::parse_object(std::string_view text, std::string_view source) const {
  Value value = Value::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) {
    // Masked before the cut, so no part of the key remains.
    const std::string masked = mask(text);
    std::string excerpt = masked.substr(0, 200);
    throw core::RuntimeError(std::string(source) + " is not a JSON object: " +
                             core::py_repr(excerpt) + (masked.size() > 200 ? "..." : "") + ".");
  }
  return value;
}

asio::awaitable<Value> OpenAIClient::post_json(std::string path, Value body) const {
  const std::string source = "The answer of " + endpoint(path);
  Value answer = co_await api_.post_json(std::move(path), std::move(body));
  if (!answer.is_object()) co_return parse_object(answer.dump(), source);
  co_return answer;
}

asio::awaitable<net::ApiEventStream> OpenAIClient::post_events(std::string path, Value body) const {
  return api_.post_events(std::move(path), std::move(body));
}

}  // namespace zelq::providers::openai
