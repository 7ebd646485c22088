#include "zelq/net/api_client.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net {

namespace asio = boost::asio;
using core::Value;
using Clock = std::chrono::steady_clock;

namespace {

// An error answer is read only for its message.
constexpr std::size_t kMaxErrorBody = std::size_t{1} << 20;

bool is_retryable(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const HttpError& error) {
    return error.status() == 429 || error.status() >= 500;
  } catch (...) {
    return false;
  }
}

core::RetryConfig retry_config(const ApiClientOptions& options) {
  core::RetryConfig config{.max_retries = options.max_retries,
                           .base_delay = options.retry_base_delay,
                           .max_delay = options.retry_max_delay,
                           .backoff_factor = 2.0};
  config.retry_if = &is_retryable;
  config.delay_hint = [limit = options.max_retry_after](
                          const std::exception_ptr& failure) -> std::optional<double> {
    try {
      std::rethrow_exception(failure);
    } catch (const HttpError& error) {
      if (auto after = error.retry_after(); after && after->count() <= limit) {
        return after->count();
      }
    } catch (...) {
    }
    return std::nullopt;
  };
  return config;
}

HttpClientOptions http_options(const ApiClientOptions& options) {
  HttpClientOptions http;
  http.connect_timeout = options.connect_timeout;
  http.idle_timeout = options.idle_timeout;
  http.verify_tls = options.verify_tls;
  http.extra_ca_pem = options.extra_ca_pem;
  http.max_body_size = options.max_body_size;
  http.default_headers = options.headers;
  if (!find_header(http.default_headers, "User-Agent")) {
    http.default_headers.emplace_back("User-Agent", options.user_agent);
  }
  return http;
}

Quoting known_keys_quoting(const ApiClientOptions& options) {
  Quoting quoting(options.api_key);
  for (const std::string& key : options.known_keys) quoting = quoting.also_masking(key);
  return quoting;
}

}  // namespace

struct ApiClient::State {
  explicit State(ApiClientOptions o)
      : options(std::move(o)),
        base_url(checked_base_url(options.base_url)),
        http(http_options(options)),
        retry(retry_config(options)),
        slots(core::AsyncSemaphore::create(options.max_concurrency)),
        cancel_slots(core::AsyncSemaphore::create(options.max_concurrency)),
        quoting(known_keys_quoting(options)) {}

  ApiClientOptions options;
  std::string base_url;
  HttpClient http;
  core::RetryConfig retry;
  std::shared_ptr<core::AsyncSemaphore> slots;
  // The slots of the requests that stop work: they never wait behind new
  // work, only behind each other.
  std::shared_ptr<core::AsyncSemaphore> cancel_slots;
  Quoting quoting;
};

std::string checked_base_url(std::string_view base_url) {
  Url::parse(base_url);  // refuses other schemes and user information, masked
  if (auto cut = base_url.find_first_of("?#"); cut != std::string_view::npos) {
    throw core::ValueError("invalid base URL '" + std::string(base_url.substr(0, cut)) +
                           (base_url[cut] == '?' ? "?***" : "#***") +
                           "': a base URL takes no query or fragment");
  }
  std::string url(base_url);
  while (url.ends_with('/')) url.pop_back();
  return url;
}

ApiEventStream::ApiEventStream(core::AsyncSemaphore::Permit permit, SseReader reader,
                               std::string endpoint, std::chrono::milliseconds event_timeout,
                               std::size_t max_memory)
    : permit_(std::move(permit)),
      reader_(std::move(reader)),
      endpoint_(std::move(endpoint)),
      event_timeout_(event_timeout),
      max_memory_(max_memory) {}

void ApiEventStream::close() noexcept {
  reader_.close();
  permit_.release();
}

asio::awaitable<std::optional<SseEvent>> ApiEventStream::next() {
  // An event already parsed needs no deadline (and no clock reading).
  if (std::optional<SseEvent> ready = reader_.try_take()) co_return ready;
  const auto deadline = Clock::now() + event_timeout_;
  std::optional<SseEvent> event;
  std::exception_ptr failure;
  try {
    event = co_await reader_.next(deadline);
  } catch (const core::TimeoutError&) {
    failure = std::current_exception();
    if (Clock::now() >= deadline) {
      failure =
          std::make_exception_ptr(StreamIdleError("No event from " + endpoint_ + " within " +
                                                  std::to_string(event_timeout_.count()) + " ms."));
    }
  } catch (const SseEventTooLargeError& error) {
    // The parser knows its limit, not the stream it reads.
    failure = std::make_exception_ptr(
        SseEventTooLargeError("An event of " + endpoint_ + " exceeds the size limit of " +
                                  std::to_string(error.limit()) + " bytes.",
                              error.limit()));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure || !event) close();
  if (failure) std::rethrow_exception(failure);
  co_return event;
}

ApiClient::ApiClient(ApiClientOptions options)
    : state_(std::make_shared<const State>(std::move(options))) {
  state_->retry.validate();
}

const ApiClientOptions& ApiClient::options() const noexcept { return state_->options; }

std::string ApiClient::endpoint(std::string_view method, std::string_view path) const {
  // A path may carry an id the server chose: quoted as a server text.
  return std::string(method) + " " + state_->base_url + "/" +
         state_->quoting.line(path.substr(0, path.find('?')));
}

const Quoting& ApiClient::quoting() const noexcept { return state_->quoting; }

std::string ApiClient::mask(std::string_view text) const { return state_->quoting.mask(text); }

namespace {

// How errors name a request's endpoint (ApiClient::endpoint), worked out
// when an error first asks: a request that succeeds never quotes its path.
// Refers to the method and path of a request that outlives it.
class EndpointName {
 public:
  EndpointName(ApiClient client, std::string_view method, std::string_view path)
      : client_(std::move(client)), method_(method), path_(path) {}

  const std::string& text() const {
    if (!text_) text_ = client_.endpoint(method_, path_);
    return *text_;
  }

 private:
  ApiClient client_;
  std::string method_;
  std::string_view path_;
  mutable std::optional<std::string> text_;
};

HttpRequest http_request(const ApiClientOptions& options, const std::string& base_url,
                         ApiRequest& request, bool events) {
  HttpRequest out;
  out.method = std::move(request.method);
  out.url = base_url + "/" + request.path;
  out.timeout = request.timeout ? request.timeout : options.timeout;
  if (request.body) {
    out.headers.emplace_back("Content-Type", "application/json");
    out.body = request.body->dump(-1, ' ', false, Value::error_handler_t::replace);
    // The text is what is sent: a request waiting for its answer holds no
    // value beside it.
    request.body.reset();
  }
  out.headers.emplace_back("Accept", events ? "text/event-stream" : "application/json");
  for (auto& header : request.headers) {
    auto same = [&](const auto& h) { return iequals(h.first, header.first); };
    std::erase_if(out.headers, same);
    out.headers.push_back(std::move(header));
  }
  return out;
}

// When the back-off before a request's next attempt began, if one did: that
// wait counts against the attempt's time limit, as the wait for a request
// slot counts against the first. `request` is the one the retry's attempts
// share, set by the first. Small and held by reference, so a request's retry
// policy costs its frame no allocation.
struct Backoff {
  std::optional<Clock::time_point> started;
  std::chrono::milliseconds limit{};
  const HttpRequest* request = nullptr;
};

// One attempt: the stream of a 2xx answer, or the HttpError of another.
asio::awaitable<HttpStream> attempt(const HttpClient& http, const HttpRequest& request,
                                    const EndpointName& endpoint, const Quoting& quoting,
                                    Backoff* backoff) {
  HttpRequest copy = request;
  if (backoff) {
    backoff->request = &request;
    if (backoff->started) {
      copy.timeout_used =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *backoff->started);
    }
  }
  HttpStream stream = co_await http.stream(std::move(copy));
  if (stream.head.ok()) co_return stream;
  std::string text;
  try {
    text = co_await stream.body.read_all(kMaxErrorBody);
  } catch (const core::RuntimeError&) {
    // Too large to be an error message: the status alone.
  }
  throw HttpError::from_response(stream.head, text, http.options().max_body_size, endpoint.text(),
                                 quoting);
}

// Waits for a request slot, at most the request's time limit; the time the
// wait took counts against the request's deadline.
asio::awaitable<core::AsyncSemaphore::Permit> acquire_slot(
    std::shared_ptr<core::AsyncSemaphore> slots, HttpRequest& request, const EndpointName& endpoint,
    std::size_t max_concurrency) {
  if (!request.timeout) co_return co_await slots->acquire();
  const auto limit = *request.timeout;
  const auto started = Clock::now();
  std::optional<core::AsyncSemaphore::Permit> permit;
  try {
    permit.emplace(co_await core::with_timeout(slots->acquire(), limit));
  } catch (const core::TimeoutError&) {
    // core's text names no request: this one says which.
  }
  if (!permit) {
    throw core::TimeoutError(
        "The request " + endpoint.text() + " timed out after " + std::to_string(limit.count()) +
        " ms waiting for a request slot (all " + std::to_string(max_concurrency) + " in use).");
  }
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  request.timeout_used = waited;
  co_return std::move(*permit);
}

// Starts the back-off before a retry of a request limited to `limit`. A
// back-off as long as the limit leaves the next attempt no time: the
// request ends when the limit has passed, with the time-out an attempt
// gives, its cause the failure that asked for the wait.
asio::awaitable<void> start_backoff(Backoff& backoff, double delay, std::exception_ptr failure) {
  backoff.started = Clock::now();
  const auto limit = backoff.limit;
  if (std::chrono::duration<double>(delay) < limit) co_return;
  co_await core::sleep_for(limit);
  try {
    std::rethrow_exception(failure);
  } catch (...) {
    std::throw_with_nested(
        core::TimeoutError("request to " + Url::parse(backoff.request->url).redacted() +
                           " timed out after " + std::to_string(limit.count()) + " ms"));
  }
}

// The retry policy of a request with a time limit, whose back-offs keep to
// it (see start_backoff). Made only for such a request, and on the heap: a
// request without a limit holds no second copy of the policy in its frame.
struct TimedRetry {
  core::RetryConfig config;
  Backoff backoff;
};

std::unique_ptr<TimedRetry> timed_retry(const core::RetryConfig& shared,
                                        const HttpRequest& request) {
  if (!request.timeout) return nullptr;
  auto timed = std::make_unique<TimedRetry>();
  timed->config = shared;
  timed->backoff.limit = *request.timeout;
  timed->config.before_retry = [backoff = &timed->backoff](const core::RetryNotice& notice) {
    return start_backoff(*backoff, notice.delay, notice.failure);
  };
  return timed;
}

bool is_event_stream(std::string_view content_type) {
  const std::string_view media = content_type.substr(0, content_type.find(';'));
  const auto first = media.find_first_not_of(" \t");
  if (first == std::string_view::npos) return false;
  const auto last = media.find_last_not_of(" \t");
  return iequals(media.substr(first, last - first + 1), "text/event-stream");
}

// Throws for a 2xx answer to an event request that is no event stream: its
// content type and what its body says.
asio::awaitable<void> check_event_stream(HttpStream& stream, const EndpointName& endpoint,
                                         const Quoting& quoting, std::size_t max_memory) {
  const auto type = find_header(stream.head.headers, "Content-Type");
  if (!type || is_event_stream(*type)) co_return;
  std::string body;
  try {
    body = co_await stream.body.read_all(kMaxErrorBody);
  } catch (const core::RuntimeError&) {
    // Too large to quote: the content type alone.
  } catch (const ConnectionError&) {
    // Cut off: the content type alone.
  }
  stream.body.close();
  const std::string said = server_message(body, quoting, max_memory);
  throw NotAnEventStreamError(
      sentence("The answer of " + endpoint.text() + " is not an event stream but " +
               quoting.quoted(*type) + (said.empty() ? "" : ": " + said)),
      std::move(body));
}

// The JSON value of an answer, parsed again under its name after it failed
// without one. The value takes several times its text: it is held to as many
// bytes of heap as the text may have.
Value parse_answer(std::string_view text, const std::string& endpoint,
                   const ApiClientOptions& options, const Quoting& quoting) {
  try {
    return parse_json(text, "The answer of " + endpoint, quoting, options.max_body_size);
  } catch (const core::JsonMemoryError&) {
    throw core::OverLimitError<core::RuntimeError>(
        "The answer of " + endpoint + " needs more than " + std::to_string(options.max_body_size) +
        " bytes of memory once parsed; max_body_size raises the limit.");
  }
}

}  // namespace

// GCC 12 reports a mismatched operator delete inside these coroutines' frame
// handling, which Asio allocates and frees with its own matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
asio::awaitable<Value> ApiClient::do_json(std::shared_ptr<const State> state, ApiRequest request) {
  // The method is taken by the request sent; the path stays.
  const std::string method = request.method;
  const std::string text = co_await do_text(state, request);
  // Parsed without a name first; an answer that fails is parsed again under
  // its name, for the error.
  Value answer;
  try {
    answer = core::parse_json(text, {}, state->options.max_body_size);
  } catch (const core::ValueError&) {
    answer = Value(Value::value_t::discarded);
  } catch (const core::JsonMemoryError&) {
    answer = Value(Value::value_t::discarded);
  }
  if (!answer.is_discarded()) co_return answer;
  co_return ApiClient(state).parse_answer(method, request.path, text);
}

asio::awaitable<std::string> ApiClient::do_owned_text(std::shared_ptr<const State> state,
                                                      ApiRequest request) {
  co_return co_await do_text(std::move(state), request);
}

struct ApiClient::Sent {
  EndpointName endpoint;
  core::AsyncSemaphore::Permit permit;
  HttpStream stream;
};

asio::awaitable<ApiClient::Sent> ApiClient::send(std::shared_ptr<const State> state,
                                                 ApiRequest& request, bool events) {
  EndpointName endpoint(ApiClient(state), request.method, request.path);
  const std::shared_ptr<core::RunLedger> run = std::move(request.run);
  const bool stops_work = request.stops_work;
  HttpRequest http = http_request(state->options, state->base_url, request, events);
  // The one place that keeps max_concurrency: a free slot is taken without
  // a coroutine. A request that stops work takes one of its own kind: a
  // cancel request queued behind new work would leave the run it stops
  // going at the service.
  const std::shared_ptr<core::AsyncSemaphore>& slots =
      stops_work ? state->cancel_slots : state->slots;
  std::optional<core::AsyncSemaphore::Permit> permit = slots->try_acquire();
  if (!permit) {
    permit.emplace(co_await acquire_slot(slots, http, endpoint, state->options.max_concurrency));
  }
  if (run) run->creating(endpoint.text());
  const std::unique_ptr<TimedRetry> timed = timed_retry(state->retry, http);
  std::optional<HttpStream> stream;
  try {
    // The request moves into the retry's frame, and the texts stay here: a
    // request waiting for its answer holds one copy of each.
    stream.emplace(co_await core::retry(
        &attempt, timed ? timed->config : state->retry, state->http, std::move(http),
        std::cref(endpoint), std::cref(state->quoting), timed ? &timed->backoff : nullptr));
  } catch (...) {
    if (run) run->refused();
    throw;
  }
  if (run) run->accepted();
  co_return Sent{std::move(endpoint), std::move(*permit), std::move(*stream)};
}

asio::awaitable<std::string> ApiClient::do_text(std::shared_ptr<const State> state,
                                                ApiRequest& request) {
  Sent sent = co_await send(state, request, false);
  std::string text;
  try {
    text = co_await sent.stream.body.read_all(state->options.max_body_size);
  } catch (const core::RuntimeError&) {
    throw core::OverLimitError<core::RuntimeError>(
        "The answer of " + sent.endpoint.text() + " exceeds " +
        std::to_string(state->options.max_body_size) + " bytes.");
  }
  sent.permit.release();
  co_return text;
}

asio::awaitable<ApiEventStream> ApiClient::do_events(std::shared_ptr<const State> state,
                                                     ApiRequest request) {
  const auto event_timeout = request.event_timeout.value_or(state->options.idle_timeout);
  Sent sent = co_await send(state, request, true);
  co_await check_event_stream(sent.stream, sent.endpoint, state->quoting,
                              state->options.max_body_size);
  co_return ApiEventStream(std::move(sent.permit),
                           SseReader(std::move(sent.stream.body), state->options.max_event_size),
                           sent.endpoint.text(), event_timeout, state->options.max_body_size);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

ApiRequest simple_request(std::string method, std::string path, std::optional<Value> body) {
  ApiRequest request;
  request.method = std::move(method);
  request.path = std::move(path);
  request.body = std::move(body);
  return request;
}

}  // namespace

asio::awaitable<Value> ApiClient::request_json(ApiRequest request) const {
  return do_json(state_, std::move(request));
}

asio::awaitable<Value> ApiClient::post_json(std::string path, Value body) const {
  return do_json(state_, simple_request("POST", std::move(path), std::move(body)));
}

asio::awaitable<std::string> ApiClient::post_text(std::string path, Value body) const {
  return do_owned_text(state_, simple_request("POST", std::move(path), std::move(body)));
}

Value ApiClient::parse_answer(std::string_view method, std::string_view path,
                              std::string_view text) const {
  return net::parse_answer(text, endpoint(method, path), state_->options, state_->quoting);
}

asio::awaitable<Value> ApiClient::get_json(std::string path) const {
  return do_json(state_, simple_request("GET", std::move(path), std::nullopt));
}

asio::awaitable<ApiEventStream> ApiClient::request_events(ApiRequest request) const {
  return do_events(state_, std::move(request));
}

asio::awaitable<ApiEventStream> ApiClient::post_events(std::string path, Value body) const {
  return do_events(state_, simple_request("POST", std::move(path), std::move(body)));
}

asio::awaitable<ApiEventStream> ApiClient::get_events(std::string path) const {
  return do_events(state_, simple_request("GET", std::move(path), std::nullopt));
}

}  // namespace zelq::net
