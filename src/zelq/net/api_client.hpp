// The client every outside service is reached through: JSON and server-sent
// event requests against one base URL with one API key, a limit of requests
// in flight, retries of 429 and 5xx answers, and errors that name the
// endpoint and never show the key.
//
// Transport retries live here and nowhere else: a 429 or 5xx answer is
// retried by ApiClient (ServiceOptions::max_retries, the server's
// Retry-After), and the HttpError that leaves it means those retries are
// spent. A caller's own retry policy retries whole attempts (a failed run,
// a broken stream), never the same 429 or 5xx again; other statuses (400,
// 401, 403, 404, 422) are refusals that a retry cannot change.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/async_semaphore.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/core/value.hpp"
#include "zelq/net/http_client.hpp"
#include "zelq/net/http_message.hpp"
#include "zelq/net/quoting.hpp"
#include "zelq/net/service_options.hpp"
#include "zelq/net/sse_reader.hpp"

namespace zelq::net {

// The settings of an ApiClient: those every service client shares, and the
// transport's own.
struct ApiClientOptions : ServiceOptions {
  // Sent with every request (authentication, API version, beta switches);
  // a request's own header of the same name wins.
  HttpHeaders headers{};
  // Largest JSON answer read into memory, and most bytes one streamed
  // answer delivers. Also the one budget of memory for reading what the
  // service sent: the most heap that any reading of one answer or one
  // event may hold, whatever reads it (a parsed value, which takes several
  // times its text, or a reader that takes a few fields).
  std::size_t max_body_size = std::size_t{256} << 20;
  // Largest single event of a stream.
  std::size_t max_event_size = SseParser::kDefaultMaxEventSize;
  // TLS settings, as HttpClientOptions.
  bool verify_tls = true;
  std::string extra_ca_pem{};
  std::string user_agent = "zelq-net/0.1";
  // Other keys the client's owner knows (those in the service's environment
  // variables), masked in every text of the service as api_key is.
  std::vector<std::string> known_keys{};
};

// One request. With g++ 12, fill it in a named variable, never as a braced
// temporary inside a co_await expression.
struct ApiRequest {
  std::string method = "POST";
  // Appended to the base URL after a "/"; may carry a query
  // ("responses/abc?stream=true").
  std::string path{};
  // Sent as JSON when set (Content-Type: application/json).
  std::optional<core::Value> body{};
  // Headers of this request only (e.g. "parallel-beta").
  HttpHeaders headers{};
  // Limit of each attempt of this request, replacing ServiceOptions::timeout;
  // the wait for a request slot counts against the first, the back-off
  // before a retry against the attempt it precedes.
  std::optional<std::chrono::milliseconds> timeout{};
  // Longest wait between two events of this stream, replacing idle_timeout.
  std::optional<std::chrono::milliseconds> event_timeout{};
  // A request that stops what a call started at the service (a cancel
  // request). It never waits behind new work: such requests have
  // max_concurrency slots of their own, so at most twice max_concurrency
  // requests are in flight, and a cancel waits only behind other cancels
  // (within its timeout).
  bool stops_work = false;
  // The ledger of the run this request creates at the service, when it
  // creates one: run->creating() before it is sent (which refuses a second
  // create while an accepted run may go on), run->accepted() once a 2xx head
  // arrived, run->refused() when none did.
  std::shared_ptr<core::RunLedger> run{};
};

// A 2xx answer to an event request that is no event stream (a proxy's HTML
// page, a JSON record instead of events). Keeps the answer's body, at most
// 1 MiB ("" when larger or cut off), for a caller that can read it (a
// record that names the run the request created).
class NotAnEventStreamError : public core::ServiceDataError<core::RuntimeError> {
 public:
  NotAnEventStreamError(const std::string& message, std::string body)
      : ServiceDataError(message), body_(std::move(body)) {}
  const std::string& body() const noexcept { return body_; }

 private:
  std::string body_;
};

// A stream stayed silent longer than its event timeout: the server is still
// connected but sends nothing. A TimeoutError of its own kind, so that a
// reader that resumes silent streams (ResumableEventStream) tells it from
// the deadline of the whole request.
class StreamIdleError : public core::TimeoutError {
 public:
  using core::TimeoutError::TimeoutError;
};

// The events of one streamed answer. Move-only; holds the request slot and
// the connection until the stream ends, close() is called or it is
// destroyed (a stream not read to its end closes its connection).
class ApiEventStream {
 public:
  ApiEventStream(ApiEventStream&&) noexcept = default;
  ApiEventStream& operator=(ApiEventStream&&) noexcept = default;

  // The next event (named, or "message" for data-only events), or nullopt at
  // the end of the body. Throws StreamIdleError "No event from <endpoint>
  // within <n> ms." when the server stays silent (comments and
  // partial events do not count) longer than the event timeout;
  // ConnectionError when the connection breaks; SseEventTooLargeError "An
  // event of <endpoint> exceeds the size limit of <n> bytes." for an event
  // larger than max_event_size, and zelq::core::RuntimeError once the stream
  // has brought more than max_body_size bytes (both refusals over a limit,
  // core::OverLimitError, which no retry repeats). Any of them, and cancellation
  // (operation_aborted, propagated), close the connection. The stream must
  // outlive the awaitable.
  boost::asio::awaitable<std::optional<SseEvent>> next();

  // The next event when it has arrived whole, taken at once without
  // awaiting (what next() would return, cheaper in a loop over thousands of
  // events); nullopt when next() has to wait for it (see
  // SseReader::try_take).
  std::optional<SseEvent> try_take() { return reader_.try_take(); }
  // The same as a view, valid until the next call on the stream: no copy.
  std::optional<SseEventView> try_take_view() noexcept { return reader_.try_take_view(); }

  // Ends the stream now: closes its connection unless the body had ended,
  // and gives back the request slot.
  void close() noexcept;

  // "POST https://host/path" (no query): for messages.
  const std::string& endpoint() const noexcept { return endpoint_; }
  // The client's max_body_size: the most heap reading one of its events may
  // hold, whatever reads it.
  std::size_t max_memory() const noexcept { return max_memory_; }
  // The last event id the server sent ("" before any).
  const std::string& last_event_id() const noexcept { return reader_.parser().last_event_id(); }
  // The reconnection time in milliseconds the server set with its last
  // valid "retry" field, if any.
  std::optional<std::uint64_t> reconnection_time() const noexcept {
    return reader_.parser().retry();
  }

 private:
  friend class ApiClient;
  ApiEventStream(core::AsyncSemaphore::Permit permit, SseReader reader, std::string endpoint,
                 std::chrono::milliseconds event_timeout, std::size_t max_memory);

  core::AsyncSemaphore::Permit permit_;
  SseReader reader_;
  std::string endpoint_;
  std::chrono::milliseconds event_timeout_;
  std::size_t max_memory_;
};

// Copyable handle; copies share the options, the request limit and the
// connections. Calls in progress keep what they need alive. Runs on the
// awaiting coroutine's executor (see HttpClient for the rules).
class ApiClient {
 public:
  // Throws zelq::core::ValueError naming the problem for a base URL that is
  // not http(s), holds user information, a query or a fragment (the URL is
  // shown with user information and query masked), a malformed header, a
  // max_concurrency of 0, or negative retry settings.
  explicit ApiClient(ApiClientOptions options);

  // Sends `request` and returns the parsed JSON of the 2xx answer (any JSON
  // value). Waits for a request slot first, at most the request's timeout
  // (the wait counts against it), unless the request stops work. Throws HttpError (status, the
  // server's message, Retry-After, the endpoint) for a non-2xx answer once the retries are used up;
  // ConnectionError; zelq::core::TimeoutError for our own deadlines, naming the endpoint ("request
  // <endpoint> timed out after <n> ms waiting for a request slot (max_concurrency <k>)." when no
  // slot came free in time; also when a back-off before a retry would outlast the limit);
  // zelq::core::RuntimeError "The answer of <endpoint> is not JSON: <excerpt>." (or "is not valid
  // UTF-8"), for an answer over max_body_size, and "The answer of <endpoint> needs more than <n>
  // bytes of memory once parsed; max_body_size raises the limit." for one
  // whose value would hold more than max_body_size bytes of heap (an array
  // of millions of tiny items, which no service sends; the largest
  // embedding answer, 2,048 vectors of 3,072 numbers in about 150 MB of
  // text, holds about 135 MB): these refusals over a limit, and those of a
  // stream or an event too large, are core::OverLimitError<RuntimeError>,
  // which no retry repeats; zelq::core::ValueError for a malformed
  // request, before any I/O, and for an answer nested deeper than 512
  // levels.
  // Cancellation stops the request, the wait for a slot included, and
  // propagates (operation_aborted).
  boost::asio::awaitable<core::Value> request_json(ApiRequest request) const;

  // POST `body` to `path` / GET `path`, as request_json.
  boost::asio::awaitable<core::Value> post_json(std::string path, core::Value body) const;
  // The same without the parse: the 2xx answer's body as it came, for a
  // reader that takes a few fields without building a Value (and parses
  // what it cannot read). Errors as request_json, but for those of the
  // parse.
  boost::asio::awaitable<std::string> post_text(std::string path, core::Value body) const;
  // Parses the 2xx answer `text` of `method` `path` as request_json does,
  // with its errors (the memory limit included).
  core::Value parse_answer(std::string_view method, std::string_view path,
                           std::string_view text) const;
  boost::asio::awaitable<core::Value> get_json(std::string path) const;

  // Sends `request` asking for server-sent events (Accept:
  // text/event-stream) and returns once a 2xx head has arrived. Errors up to
  // then as request_json, and NotAnEventStreamError "The answer of
  // <endpoint> is not an event stream but '<Content-Type>': <body>." when
  // the 2xx answer names another content type (an HTML page of a proxy, a
  // JSON record or error); an answer without Content-Type is read as events.
  boost::asio::awaitable<ApiEventStream> request_events(ApiRequest request) const;

  // POST `body` to `path` / GET `path`, as request_events.
  boost::asio::awaitable<ApiEventStream> post_events(std::string path, core::Value body) const;
  boost::asio::awaitable<ApiEventStream> get_events(std::string path) const;

  // "<method> <base_url>/<path>" without the path's query: for messages.
  // The path (which may hold ids the server chose) is shown as a server
  // text: quoting().line, the key masked, cut when overlong.
  std::string endpoint(std::string_view method, std::string_view path) const;

  // How every text of the server is shown in a message: the API key of
  // these options masked, one line, at most kMaxQuotedText bytes.
  const Quoting& quoting() const noexcept;

  // quoting().mask(text): the API key masked, nothing else changed.
  std::string mask(std::string_view text) const;

  const ApiClientOptions& options() const noexcept;

 private:
  struct State;
  explicit ApiClient(std::shared_ptr<const State> state) : state_(std::move(state)) {}
  static boost::asio::awaitable<core::Value> do_json(std::shared_ptr<const State> state,
                                                     ApiRequest request);
  // The 2xx answer's body; `request` stays alive (its path untouched) until
  // the awaitable completes.
  static boost::asio::awaitable<std::string> do_text(std::shared_ptr<const State> state,
                                                     ApiRequest& request);
  static boost::asio::awaitable<std::string> do_owned_text(std::shared_ptr<const State> state,
                                                           ApiRequest request);
  static boost::asio::awaitable<ApiEventStream> do_events(std::shared_ptr<const State> state,
                                                          ApiRequest request);
  struct Sent;
  // The one way a request goes out: takes a request slot, sends `request`
  // (events: asking for server-sent events), retries 429 and 5xx, keeps
  // request.run's ledger, and returns the slot with the 2xx answer.
  // `request` stays alive (its path untouched) until the Sent is gone.
  static boost::asio::awaitable<Sent> send(std::shared_ptr<const State> state, ApiRequest& request,
                                           bool events);

  std::shared_ptr<const State> state_;
};

// The base URL checked as ApiClient does and without a trailing "/". Throws
// zelq::core::ValueError as ApiClient's constructor.
std::string checked_base_url(std::string_view base_url);

}  // namespace zelq::net
