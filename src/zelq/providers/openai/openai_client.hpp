// The HTTP side shared by the OpenAI-compatible invokers: credentials and
// settings, and the two kinds of POST over net::ApiClient.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service_options.hpp"

namespace zelq::providers::openai {

// The provider part of the model ids this package serves ("openai/...").
inline constexpr std::string_view PROVIDER_NAME = "openai";
inline constexpr std::string_view DEFAULT_BASE_URL = "https://api.openai.com/v1";
// Read when no credentials are given.
inline constexpr std::string_view API_KEY_ENV = "OPENAI_API_KEY";

// Connection settings of one invoker, read from the configuration given to
// it (see net::ServiceOptions for their meaning; the configuration gives
// durations in seconds). The base URL of any OpenAI-compatible server:
// "{base_url}/chat/completions" and "{base_url}/embeddings" are the
// endpoints. The key is not part of the configuration (resolve_api_key).
struct OpenAISettings : net::ServiceOptions {
  OpenAISettings() { base_url = std::string(DEFAULT_BASE_URL); }

  // The keys read by from_config(): net::service_setting_keys().
  static const std::vector<std::string_view>& keys();

  // Reads the keys() entries of `config` (an object, or null for all
  // defaults) over the defaults; other keys must be in `other_keys` (those
  // the caller reads itself). Throws zelq::core::ValueError naming the key
  // and the value for a value of the wrong kind or range, a base URL that is
  // not http or https, and an unknown key (net::read_service_settings).
  static OpenAISettings from_config(const core::Value& config,
                                    const std::vector<std::string_view>& other_keys);
};

// The API key from `credentials`: a non-empty text, an object whose only
// entry is "api_key" (a non-empty text), or null to read OPENAI_API_KEY.
// Throws zelq::core::ValueError saying what is missing or malformed; the
// message never contains the key.
std::string resolve_api_key(const core::Value& credentials);

// The model name of an "openai/<name>" model id. Throws zelq::core::ValueError
// naming the id when it is malformed or names another provider.
std::string openai_model_name(const inference::ModelIdArg& model_id);

class OpenAIClient;

// The client of an invoker built from the caller's credentials and
// configuration (see OpenAISettings::from_config and resolve_api_key, whose
// errors it throws; the configuration is checked first).
std::shared_ptr<const OpenAIClient> make_openai_client(
    const core::Value& credentials, const core::Value& config,
    const std::vector<std::string_view>& other_keys);

// Sends the invokers' requests through one net::ApiClient (kept-alive
// connections, the request limit, retries, the key masked in errors).
// Immutable after construction and shared by pointer, so calls in progress
// keep it alive.
class OpenAIClient {
 public:
  // Throws zelq::core::ValueError for a base URL the API client refuses and
  // for a key that is empty or holds white space or control characters.
  OpenAIClient(std::string api_key, OpenAISettings settings);

  const OpenAISettings& settings() const noexcept { return settings_; }
  // How the server's texts are shown in messages: its API client's policy
  // (the key masked, one line, cut), which every reader of its answers is
  // handed.
  const net::Quoting& quoting() const noexcept { return api_.quoting(); }

  // POSTs `body` as JSON to "{base_url}/{path}" and returns the JSON object
  // of the 2xx answer. Throws what net::ApiClient::post_json throws, and
  // zelq::core::RuntimeError for an answer that is not a JSON object.
  // Cancellation stops the request and propagates (operation_aborted).
  boost::asio::awaitable<core::Value> post_json(std::string path, core::Value body) const;
  // The same in two steps, for a reader that takes a few fields without
  // building a Value: post_text returns the 2xx answer's body unparsed, and
  // parse_answer parses the body `text` of `path` as post_json does, with
  // its errors.
  boost::asio::awaitable<std::string> post_text(std::string path, core::Value body) const;
  core::Value parse_answer(std::string_view path, std::string_view text) const;

  // As post_json, asking for server-sent events: returns once a 2xx head
  // has arrived; the stream's events are each awaited at most idle_timeout.
  boost::asio::awaitable<net::ApiEventStream> post_events(std::string path, core::Value body) const;

  // The API client under this one, for requests of other shapes (GET
  // streams, bodiless POSTs); it masks the key as this client does.
  const net::ApiClient& api() const noexcept { return api_; }

  // "POST {base_url}/{path}" without any query: safe for messages.
  std::string endpoint(std::string_view path) const;

  // net::server_message of the parsed `answer` as quoting() shows it.
  std::string server_message(const core::Value& answer) const;

 private:
  OpenAISettings settings_;
  net::ApiClient api_;
};

}  // namespace zelq::providers::openai
