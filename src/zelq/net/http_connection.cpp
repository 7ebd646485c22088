#include "zelq/net/detail/http_connection.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/connection_error.hpp"
#include "zelq/net/detail/beast_connection.hpp"
#include "zelq/net/detail/http_checks.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

const HttpClientOptions& options_of(const ClientState& state) noexcept { return state.options; }

namespace {

// A header value as it is sent: without the spaces and tabs around it.
std::string_view trimmed(std::string_view value) {
  const auto first = value.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

// The request line and header fields of `request`, ending with the blank
// line: Host first (unless the request names its own, which then stands
// where the last one given does), then the default headers the request does
// not override, the request's own in their order and spelling, and last
// Connection and Content-Length (given for a body, and for a POST, PUT or
// OPTIONS without one).
std::string request_head(const HttpClientOptions& options, const Url& url,
                         const HttpRequest& request) {
  // Room for every line that may come, so the head is allocated once.
  std::size_t room = request.method.size() + url.target.size() + url.host.size() + 96;
  for (const HttpHeaders* headers : {&options.default_headers, &request.headers}) {
    for (const auto& [name, value] : *headers) room += name.size() + value.size() + 4;
  }
  std::string head;
  head.reserve(room);
  auto field = [&head](std::string_view name, std::string_view value) {
    head += name;
    head += ": ";
    head += trimmed(value);
    head += "\r\n";
  };
  head += request.method;
  head += ' ';
  head += url.target;
  head += " HTTP/1.1\r\n";
  const HttpHeaders& own = request.headers;
  const auto last_host = std::find_if(
      own.rbegin(), own.rend(), [](const auto& header) { return iequals(header.first, "Host"); });
  if (last_host == own.rend()) field("Host", url.authority());
  for (const auto& [name, value] : options.default_headers) {
    if (!find_header(own, name)) field(name, value);
  }
  for (auto it = own.begin(); it != own.end(); ++it) {
    if (!iequals(it->first, "Host")) {
      field(it->first, it->second);
    } else if (it == last_host.base() - 1) {
      field("Host", it->second);
    }
  }
  if (!options.keep_alive) field("Connection", "close");
  const std::string_view method = request.method;
  if (!request.body.empty() || method == "POST" || method == "PUT" || method == "OPTIONS") {
    field("Content-Length", std::to_string(request.body.size()));
  }
  head += "\r\n";
  return head;
}

// The lookup state outlives an abandoned wait: see BeastConnection::resolve.
struct Lookup {
  explicit Lookup(const asio::any_io_executor& ex) : resolver(ex), timer(ex) {}
  tcp::resolver resolver;
  asio::steady_timer timer;
  error_code ec;
  std::vector<tcp::endpoint> endpoints;
  bool done = false;
};

// Methods whose request may be sent twice with the effect of once.
bool is_idempotent(std::string_view method) {
  for (std::string_view idempotent : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
    if (method == idempotent) return true;
  }
  return false;
}

}  // namespace

Clock::time_point BeastConnection::deadline(Limit limit) {
  auto at =
      limit == Limit::connect ? connect_deadline_ : Clock::now() + state_->options.idle_timeout;
  armed_ = limit;
  if (read_deadline_ && *read_deadline_ <= at) {
    at = *read_deadline_;
    armed_ = Limit::read;
  }
  if (request_deadline_ && *request_deadline_ <= at) {
    at = *request_deadline_;
    armed_ = Limit::request;
  }
  return at;
}

void BeastConnection::fail_timeout() {
  const Limit armed = armed_;
  close();
  const auto& o = state_->options;
  auto ms = [](std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; };
  switch (armed) {
    case Limit::connect:
      throw core::TimeoutError("connecting to " + url_.endpoint() + " timed out after " +
                               ms(o.connect_timeout));
    case Limit::idle:
      throw core::TimeoutError("connection to " + url_.endpoint() + " was idle for more than " +
                               ms(o.idle_timeout));
    case Limit::read:
      throw core::TimeoutError("nothing arrived from " + url_.redacted() +
                               " before the read deadline");
    case Limit::request:
      break;
  }
  throw core::TimeoutError("request to " + url_.redacted() + " timed out after " +
                           ms(request_limit_));
}

void BeastConnection::fail(error_code ec, std::string_view doing) {
  if (ec == beast::error::timeout) fail_timeout();
  close();
  if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
  if (ec == http::error::body_limit) {
    throw core::OverLimitError<core::RuntimeError>(
        "response body from " + url_.redacted() + " exceeds the limit of " +
        std::to_string(state_->options.max_body_size) + " bytes");
  }
  if (ec == http::error::header_limit) {
    fail_framing("a response head longer than " + std::to_string(kHeaderLimit));
  }
  if (ec == http::error::partial_message) {
    throw ConnectionError("connection to " + url_.endpoint() +
                          " closed before the response was complete");
  }
  throw ConnectionError(std::string(doing) + " " + url_.endpoint() + " failed: " + ec.message());
}

asio::awaitable<std::vector<tcp::endpoint>> BeastConnection::resolve() {
  if (host_is_ip_)
    co_return std::vector{tcp::endpoint(asio::ip::make_address(url_.host), url_.port)};
  // getaddrinfo runs on asio's resolver thread and cannot be interrupted, so on
  // timeout or cancellation we stop waiting; the handler keeps `lookup` alive
  // until the lookup ends.
  auto lookup = std::make_shared<Lookup>(co_await asio::this_coro::executor);
  lookup->resolver.async_resolve(
      url_.host, std::to_string(url_.port),
      [lookup](error_code ec, const tcp::resolver::results_type& results) {
        lookup->ec = ec;
        for (const auto& entry : results) lookup->endpoints.push_back(entry.endpoint());
        lookup->done = true;
        lookup->timer.cancel();
      });
  lookup->timer.expires_at(deadline(Limit::connect));
  auto [waited] = co_await lookup->timer.async_wait(kTuple);
  if (!lookup->done) {
    lookup->resolver.cancel();
    if (waited == asio::error::operation_aborted) throw boost::system::system_error(waited);
    fail_timeout();
  }
  if (lookup->ec) {
    throw ConnectionError("cannot resolve host " + url_.host + ": " + lookup->ec.message());
  }
  co_return std::move(lookup->endpoints);
}

asio::awaitable<void> BeastConnection::connect() {
  connect_deadline_ = Clock::now() + state_->options.connect_timeout;
  auto endpoints = co_await resolve();
  tcp().expires_at(deadline(Limit::connect));
  auto [ec, endpoint] = co_await tcp().async_connect(endpoints, kTuple);
  if (ec) fail(ec, "connecting to");
  tcp().socket().set_option(tcp::no_delay(true), ec);
  if (auto* tls = transport_->tls()) co_await handshake(*tls);
}

asio::awaitable<void> BeastConnection::handshake(TlsStream& tls) {
  SSL* handle = tls.native_handle();
  // SNI carries host names only, never address literals.
  if (!host_is_ip_) SSL_set_tlsext_host_name(handle, url_.host.c_str());
  if (state_->options.verify_tls) {
    X509_VERIFY_PARAM* param = SSL_get0_param(handle);
    if (host_is_ip_) {
      X509_VERIFY_PARAM_set1_ip_asc(param, url_.host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(handle, url_.host.c_str());
    }
  }
  tcp().expires_at(deadline(Limit::connect));
  auto [ec] = co_await tls.async_handshake(ssl::stream_base::client, kTuple);
  if (!ec) co_return;
  auto verify = SSL_get_verify_result(handle);
  if (verify != X509_V_OK && ec.category() == asio::error::get_ssl_category()) {
    close();
    throw ConnectionError(
        "TLS handshake with " + url_.endpoint() +
        " failed: certificate verification failed: " + X509_verify_cert_error_string(verify));
  }
  fail(ec, "TLS handshake with");
}

asio::awaitable<error_code> BeastConnection::send(const Outgoing& message, std::size_t& written) {
  const std::size_t total = message.head.size() + message.body.size();
  const std::size_t head_size = message.head.size();
  for (std::size_t sent = 0; sent < total;) {
    // What is left, never led by an empty buffer: the TLS stream writes the
    // leading buffers that fit in one record, so an empty first one would
    // write nothing, again and again.
    std::array<asio::const_buffer, 2> rest = {asio::buffer(message.head) + sent,
                                              asio::buffer(message.body)};
    if (sent >= head_size) rest = {asio::buffer(message.body) + (sent - head_size), {}};
    tcp().expires_at(deadline(Limit::idle));
    auto [ec, n] = co_await std::visit([&](auto& s) { return s.async_write_some(rest, kTuple); },
                                       transport_->stream);
    sent += n;
    written += n;
    // A reset peer sends nothing more: what it answered before is waiting
    // to be read, and reading it cannot stall.
    if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe) co_return ec;
    if (ec) fail(ec, "sending the request to");
  }
  co_return error_code();
}

// As curl does: a server may answer a request it will not take (413 for a
// body too large) before it has read it all, then reset the connection. The
// answer is the server's word on the request, where the failed send alone
// would read as a broken connection worth sending the request again.
asio::awaitable<HttpResponseHead> BeastConnection::read_answer(
    error_code cut, std::optional<std::uint64_t> body_limit, bool head) {
  if (!cut) co_return co_await read_head(body_limit, head);
  cut_short_ = true;
  std::optional<HttpResponseHead> answer;
  try {
    answer.emplace(co_await read_head(body_limit, head));
  } catch (const core::OverLimit&) {
    throw;
  } catch (const ConnectionError&) {
    // No whole head before the reset: the send's failure says more.
  }
  if (!answer) fail(cut, "sending the request to");
  co_return std::move(*answer);
}

std::shared_ptr<const ClientState> make_client_state(HttpClientOptions options) {
  validate_options(options);
  auto state = std::make_shared<ClientState>(std::move(options));
  state->tls = tls_context_for(state->options);
  return state;
}

asio::awaitable<OpenedResponse> open_connection(std::shared_ptr<const ClientState> state,
                                                HttpRequest request,
                                                std::optional<std::uint64_t> body_limit) {
  auto url = Url::parse(request.url);
  validate_request(request);
  const bool head = request.method == "HEAD";
  const bool idempotent = is_idempotent(request.method);
  std::optional<Clock::time_point> request_deadline;
  const auto limit = request.timeout ? request.timeout : state->options.request_timeout;
  if (limit) {
    const auto used = request.timeout ? request.timeout_used : std::chrono::milliseconds{};
    request_deadline = Clock::now() + *limit - std::min(used, *limit);
  }
  std::optional<Outgoing> message(std::in_place, request_head(state->options, url, request),
                                  std::move(request.body));
  request = HttpRequest();  // what a waiting request holds is its message alone
  const auto executor = co_await asio::this_coro::executor;
  auto& context = asio::query(executor, asio::execution::context);
  PoolKey key{url.scheme, url.host, url.port, url.is_tls() ? state->tls.get() : nullptr};
  for (int attempt = 0;; ++attempt) {
    std::unique_ptr<Transport> kept;
    if (state->options.keep_alive && attempt == 0 && asio::has_service<ConnectionPool>(context)) {
      kept = asio::use_service<ConnectionPool>(context).take(key, state->options.pool_idle_timeout);
    }
    const bool reused = kept != nullptr;
    if (!kept) kept = std::make_unique<Transport>(executor, url.is_tls() ? state->tls : nullptr);
    auto connection = std::make_shared<BeastConnection>(
        state, url, key, context, std::move(kept), request_deadline,
        limit.value_or(std::chrono::milliseconds{}));
    std::size_t written = 0;
    try {
      if (!reused) co_await connection->connect();
      const error_code cut = co_await connection->send(*message, written);
      // Only a kept connection is tried again, with the same message.
      if (!reused) message.reset();
      auto response_head = co_await connection->read_answer(cut, body_limit, head);
      co_return OpenedResponse{std::move(response_head), std::move(connection)};
    } catch (const ConnectionError&) {
      // A kept connection the server closed between requests: once more on
      // a new one, since the server answered nothing. A request that may
      // not be repeated (a POST can start paid work) only when none of it
      // was written: the server may have read it and acted on it, and
      // whether to try again is the caller's choice.
      if (!reused || connection->got_some() || (!idempotent && written > 0)) throw;
    }
  }
}

}  // namespace zelq::net::detail
