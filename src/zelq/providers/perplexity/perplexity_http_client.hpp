// The Perplexity client over HTTP: POST {base_url}/chat/completions with
// "Authorization: Bearer <key>", answered by a data-only event stream of
// chunks ending with "data: [DONE]" (net::ChunkStream).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service_options.hpp"
#include "zelq/providers/perplexity/perplexity_client.hpp"

namespace zelq::providers::perplexity {

inline constexpr std::string_view DEFAULT_BASE_URL = "https://api.perplexity.ai";
// Read when the client parameters hold no key.
inline constexpr std::string_view API_KEY_ENV = "PERPLEXITY_API_KEY";

// What an HTTP client is built with: the settings every service client
// shares (net::ServiceOptions; the parameters give durations in seconds).
struct PerplexitySettings : net::ServiceOptions {
  PerplexitySettings() { base_url = std::string(DEFAULT_BASE_URL); }

  // The client parameters' keys: "api_key", "base_url", "max_retries",
  // "connect_timeout", "idle_timeout", "timeout".
  static const std::vector<std::string_view>& keys();

  // Reads `params` (an object, or null for the defaults). Without
  // "api_key" (or with null or "") the key comes from PERPLEXITY_API_KEY.
  // Throws zelq::core::ValueError naming the key for an unknown key or a
  // value of the wrong kind or range, a base URL net::ApiClient refuses, no
  // key at all, or a key holding white space or control characters (the
  // key itself is never shown).
  static PerplexitySettings from_params(const core::Value& params);
};

namespace detail {
struct OpenStream;
}  // namespace detail

// A client over one net::ApiClient (kept-alive connections shared per
// io_context, retries of 429 and 5xx, the key masked in errors, the
// endpoint named in errors). Request options are sent in the body after
// "model", "messages" and "stream", except "timeout" (seconds, a limit of
// this request), which stays on the client side.
//
// Chunks are read by the stream's net::ChatChunkReader, which materialises only the
// deltas and the search results (the accumulated "message" of each choice
// is skipped); a chunk it does not take is read as a core::Value, which
// names what is wrong. Search results equal to those of the chunk before
// are shared, not read again.
//
// Errors of a stream: zelq::core::RuntimeError for an error the service
// reports mid-stream ("event: error" or a chunk with "error"), a chunk that
// is not a JSON object or is malformed, a stream that ends before
// "data: [DONE]", and an answer that is not an event stream;
// zelq::core::TimeoutError (net::StreamIdleError) when the service is
// silent for idle_timeout; net::ConnectionError for a broken connection. A stream
// closes its connection on any failure, on cancellation, when destroyed
// unfinished and when the client is closed.
//
// Run it, its streams and close() on one thread (the executor's).
class PerplexityHttpClient : public PerplexityClient {
 public:
  // Throws zelq::core::ValueError as PerplexitySettings::from_params.
  explicit PerplexityHttpClient(const core::Value& client_params);
  ~PerplexityHttpClient() override;

  boost::asio::awaitable<std::unique_ptr<ChatCompletionStream>> create_chat_completion_stream(
      ChatCompletionRequest request) override;

  void close() noexcept override;

  const PerplexitySettings& settings() const noexcept { return settings_; }

 private:
  explicit PerplexityHttpClient(PerplexitySettings settings);
  // Quotes as `api` does: the one policy of the key it sends.
  PerplexityHttpClient(PerplexitySettings settings, net::ApiClient api);

  PerplexitySettings settings_;
  net::ApiClient api_;
  bool closed_ = false;
  std::vector<std::weak_ptr<detail::OpenStream>> streams_;
};

// A factory of HTTP clients whose parameters are the researcher's
// client_params laid over `defaults` (an object: "base_url" of a proxy or a
// test server, timeouts, ...); a parameter of the researcher wins.
PerplexityClientFactory http_client_factory(core::Value defaults = core::Value::object());

// http_client_factory() with no defaults: the public service.
PerplexityClientFactory default_client_factory();

}  // namespace zelq::providers::perplexity
