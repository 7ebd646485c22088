// The client of Perplexity's streamed chat completions, as the Perplexity
// deep researcher uses it: one streamed completion per client, read chunk by
// chunk, and the client closed afterwards. The HTTP implementation is in
// perplexity_http_client.hpp; a scripted fake for tests in testing/.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::providers::perplexity {

// The keywords a completion request sets itself; request options of these
// names are refused.
inline constexpr std::string_view MODEL = "model";
inline constexpr std::string_view MESSAGES = "messages";
inline constexpr std::string_view STREAM = "stream";

// The new piece of a choice.
struct Delta {
  // A piece of answer text; nullopt when the service sent none (or null).
  std::optional<std::string> content{};
};

struct Choice {
  // nullopt when the service sent no delta (or null).
  std::optional<Delta> delta{};
};

// One search result the service streams with the answer. Copies share the
// fields (the service repeats the same results in every chunk).
class SearchResult {
 public:
  // `fields` must be an object (title, url, date, snippet, ...).
  explicit SearchResult(core::Value fields)
      : fields_(std::make_shared<const core::Value>(std::move(fields))) {}

  // The record's fields as a new object, in the order the service sent
  // them; a new copy on every call.
  core::Value model_dump() const { return *fields_; }

 private:
  std::shared_ptr<const core::Value> fields_;
};

// One streamed chunk: only the fields the researcher reads.
struct StreamChunk {
  std::vector<Choice> choices{};
  // nullopt when the chunk has none (missing or null); may be empty.
  std::optional<std::vector<SearchResult>> search_results{};
};

// Reads a chunk object as the service streams it: "choices" (each one's
// "delta" and its "content") and "search_results"; every other field is
// ignored (the accumulated "message" of each choice included). Throws
// zelq::core::RuntimeError "<source> is malformed: <what>." when a field
// read has the wrong shape (choices not a list of objects, a delta not an
// object, content not a text, search_results not a list of objects; null
// counts as missing).
StreamChunk parse_stream_chunk(const core::Value& chunk, std::string_view source);

// Throws zelq::core::TypeError "<what> got multiple values for keyword
// argument 'stream'" (likewise 'model', 'messages') when `options` (an
// object, or null) holds a keyword the request sets itself, and TypeError
// when `options` is neither an object nor null.
void check_request_options(const core::Value& options, std::string_view what);

// One streamed chat completion.
struct ChatCompletionRequest {
  // The model that answers ("sonar-deep-research").
  std::string model{};
  // The message records, a list of {"role", "content"} objects, sent as
  // they are.
  core::Value messages = core::Value::array();
  // Further request options, in order (reasoning_effort, search_mode, ...);
  // an object without "model", "messages" or "stream".
  core::Value options = core::Value::object();
};

// The chunks of one streamed completion, in arrival order. Not thread-safe;
// one next() at a time.
class ChatCompletionStream {
 public:
  virtual ~ChatCompletionStream() = default;

  // The next chunk, or nullopt at the end of the answer. Throws the
  // client's errors (a broken or silent connection, an error the service
  // reports mid-stream, a stream that ends before its end marker);
  // cancellation propagates. The stream must outlive the awaitable.
  virtual boost::asio::awaitable<std::optional<StreamChunk>> next() = 0;
};

// A client for one attempt: built by a PerplexityClientFactory, used for
// one or more requests, then closed. Not thread-safe.
class PerplexityClient : public net::QuotingHolder {
 public:
  virtual ~PerplexityClient() = default;

  // Sends `request` as a streamed completion and returns once the service
  // has accepted it. Throws zelq::core::TypeError (check_request_options)
  // before sending anything; then the service's refusal (the HTTP client
  // throws net::HttpError naming the service's message) and connection
  // errors. Cancellation propagates. The client must outlive the awaitable
  // and the stream; a stream of a closed client fails.
  virtual boost::asio::awaitable<std::unique_ptr<ChatCompletionStream>>
  create_chat_completion_stream(ChatCompletionRequest request) = 0;

  // Closes the client: streams still open are closed with their
  // connections, and later requests fail. Idempotent; throws nothing.
  virtual void close() noexcept = 0;

  // quoting() (net::QuotingHolder) shows the texts of the service.

 protected:
  // A client that a factory builds from client parameters passes them here:
  // its texts then mask their "api_key", else the key in PERPLEXITY_API_KEY
  // (the key such a client sends). Without parameters, the key in the
  // environment is masked.
  explicit PerplexityClient(const core::Value& client_params = nullptr);
  // A client that knows the key it sends.
  explicit PerplexityClient(net::Quoting quoting) : QuotingHolder(std::move(quoting)) {}
};

using PerplexityClientPtr = std::shared_ptr<PerplexityClient>;

// Builds a client from keyword parameters (an object; the researcher passes
// {"api_key": key} or {}). May throw for bad parameters or a missing key.
using PerplexityClientFactory =
    std::function<PerplexityClientPtr(const core::Value& client_params)>;

}  // namespace zelq::providers::perplexity
