#include "zelq/providers/openai/openai_client.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/service.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;

const std::vector<std::string_view>& OpenAISettings::keys() { return net::service_setting_keys(); }

OpenAISettings OpenAISettings::from_config(const Value& config,
                                           const std::vector<std::string_view>& other_keys) {
  static constexpr net::SettingNames kNames{
      .whole = "The OpenAI configuration", .entry = "OpenAI setting", .known = "known settings"};
  std::vector<std::string_view> accepted = keys();
  accepted.insert(accepted.end(), other_keys.begin(), other_keys.end());
  OpenAISettings settings;
  net::read_service_settings(config, kNames, accepted, settings);
  return settings;
}

std::string resolve_api_key(const Value& credentials) {
  std::string key;
  if (credentials.is_null()) {
    return net::api_key_or_environment(
        {}, "OpenAI", "credentials (the key, or an object with 'api_key')", {API_KEY_ENV});
  }
  if (credentials.is_string()) {
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
  net::check_api_key(key, "OpenAI");
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

net::ApiClientOptions api_options(OpenAISettings& settings, std::string api_key) {
  settings.api_key = std::move(api_key);
  net::ApiClientOptions options =
      net::api_client_options(settings, "OpenAI", {{"Authorization", "Bearer " + settings.api_key}},
                              "zelq-openai/0.1", {API_KEY_ENV});
  options.max_body_size = kMaxAnswerSize;
  return options;
}

}  // namespace

OpenAIClient::OpenAIClient(std::string api_key, OpenAISettings settings)
    : settings_(std::move(settings)), api_(api_options(settings_, std::move(api_key))) {}

std::string OpenAIClient::endpoint(std::string_view path) const {
  return api_.endpoint("POST", path);
}

std::string OpenAIClient::server_message(const Value& answer) const {
  return net::parsed_server_message(answer, quoting());
}

asio::awaitable<std::string> OpenAIClient::post_text(std::string path, Value body) const {
  return api_.post_text(std::move(path), std::move(body));
}

Value OpenAIClient::parse_answer(std::string_view path, std::string_view text) const {
  Value answer = api_.parse_answer("POST", path, text);
  if (!answer.is_object()) {
    net::check_json_object(answer, text, "The answer of " + endpoint(path), quoting());
  }
  return answer;
}

asio::awaitable<Value> OpenAIClient::post_json(std::string path, Value body) const {
  // Read as text and parsed here, so that an answer that is not an object
  // is quoted from the text that came, never dumped and parsed again.
  const std::string name = path;
  const std::string text = co_await api_.post_text(std::move(path), std::move(body));
  co_return parse_answer(name, text);
}

asio::awaitable<net::ApiEventStream> OpenAIClient::post_events(std::string path, Value body) const {
  return api_.post_events(std::move(path), std::move(body));
}

}  // namespace zelq::providers::openai
