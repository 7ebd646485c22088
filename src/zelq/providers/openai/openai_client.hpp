// The HTTP side shared by the OpenAI-compatible invokers: credentials and
// settings, the request limit, retries and the two kinds of POST.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/net/http_client.hpp"
#include "zelq/net/sse_reader.hpp"
#include "zelq/core/async_semaphore.hpp"

namespace zelq::providers::openai {

// The provider part of the model ids this package serves ("openai/...").
inline constexpr std::string_view PROVIDER_NAME = "openai";
inline constexpr std::string_view DEFAULT_BASE_URL = "https://api.openai.com/v1";
// Read when no credentials are given.
inline constexpr std::string_view API_KEY_ENV = "OPENAI_API_KEY";

// Connection settings of one invoker, read from the configuration given to
// it. Every duration is in seconds.
struct OpenAISettings {
  // Any OpenAI-compatible server: "{base_url}/chat/completions" and
  // "{base_url}/embeddings" are the endpoints. Kept without a trailing "/".
  std::string base_url = std::string(DEFAULT_BASE_URL);
  // Most requests of one invoker in flight at once; the others queue.
  std::size_t max_concurrency = 16;
  // A 429 or 5xx answer is retried up to max_retries times, after
  // min(retry_max_delay, retry_base_delay * 2^k) seconds before retry k (from
  // 0), or after the server's Retry-After when it names at most
  // max_retry_after seconds.
  int max_retries = 2;
  double retry_base_delay = 0.5;
  double retry_max_delay = 8.0;
  double max_retry_after = 60.0;
  // Limit of resolving, connecting and the TLS handshake.
  double connect_timeout = 10.0;
  // Longest wait for any progress of a request: the first byte of the answer
  // and each read of a streamed answer.
  double idle_timeout = 600.0;
  // Limit of one whole attempt, streamed body included; none by default.
  std::optional<double> timeout{};

  // The keys read by from_config().
  static const std::vector<std::string_view>& keys();

  // Reads the keys() entries of `config` (an object, or null for all
  // defaults) over the defaults; other keys must be in `other_keys` (those
  // the caller reads itself). Throws zelq::core::ValueError naming the key
  // and the value for a value of the wrong kind or range, a base URL that is
  // not http or https, and an unknown key.
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

// A streamed answer: the events of the body, and the request slot, held until
// the stream is dropped.
struct OpenAIEventStream {
  core::AsyncSemaphore::Permit permit;
  net::SseReader events;
};

class OpenAIClient;

// The client of an invoker built from the caller's credentials and
// configuration (see OpenAISettings::from_config and resolve_api_key, whose
// errors it throws; the configuration is checked first).
std::shared_ptr<const OpenAIClient> make_openai_client(
    const core::Value& credentials, const core::Value& config,
    const std::vector<std::string_view>& other_keys);

// Sends the invokers' requests. Immutable after construction and shared by
// pointer, so calls in progress keep it alive.
class OpenAIClient {
 public:
  // Throws zelq::core::ValueError when the TLS setup fails.
  OpenAIClient(std::string api_key, OpenAISettings settings);

  const OpenAISettings& settings() const noexcept { return settings_; }

  // POSTs `body` as JSON to "{base_url}/{path}" and returns the JSON object
  // of the 2xx answer. Waits for a request slot first (in arrival order).
  // Throws net::HttpError (status, the server's message) for a non-2xx
  // answer once the retries are used up; net::ConnectionError;
  // zelq::core::TimeoutError for our own deadlines; zelq::core::RuntimeError
  // for an answer that is not a JSON object. Cancellation stops the request
  // and propagates (operation_aborted). Texts never contain the key.
  boost::asio::awaitable<core::Value> post_json(std::string path, core::Value body) const;

  // As post_json, asking for server-sent events: returns once a 2xx head
  // has arrived; the events are read from the returned stream, whose reads
  // are bounded by idle_timeout.
  boost::asio::awaitable<OpenAIEventStream> post_events(std::string path, core::Value body) const;

  // "{base_url}/{path}" without any query: safe for messages.
  std::string endpoint(std::string_view path) const;

 private:
  boost::asio::awaitable<net::HttpStream> send(std::string path, core::Value body,
                                               bool events) const;

  std::string api_key_;
  OpenAISettings settings_;
  net::HttpClient http_;
  std::shared_ptr<core::AsyncSemaphore> slots_;
};

// The delay before a retry that the server named: "retry-after-ms"
// (milliseconds) or "Retry-After" (seconds, fractions allowed, or an HTTP
// date), nullopt when neither is usable.
std::optional<std::chrono::duration<double>> server_retry_delay(const net::HttpHeaders& headers);

// Parses an answer that must be a JSON object. Throws zelq::core::RuntimeError
// "<source> is not a JSON object: '<first 200 bytes>'." otherwise.
core::Value parse_json_answer(std::string_view text, std::string_view source);

}  // namespace zelq::providers::openai
