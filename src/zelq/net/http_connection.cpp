#include "zelq/net/http_connection.hpp"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <array>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/connection_pool.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct ClientState {
  explicit ClientState(HttpClientOptions o) : options(std::move(o)) {}

  HttpClientOptions options;
  // Shared with the process-wide default when the options allow it.
  std::shared_ptr<ssl::context> tls;
};

const HttpClientOptions& options_of(const ClientState& state) noexcept { return state.options; }

namespace {

constexpr std::size_t kReadSize = 16 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

http::request<http::string_body> build_request(const HttpClientOptions& options, const Url& url,
                                               HttpRequest& request) {
  http::request<http::string_body> message;
  message.version(11);
  if (auto verb = http::string_to_verb(request.method); verb != http::verb::unknown) {
    message.method(verb);
  } else {
    message.method_string(request.method);
  }
  message.target(url.target);
  message.set(http::field::host, url.authority());
  for (const auto& [name, value] : options.default_headers) {
    if (!find_header(request.headers, name)) message.insert(name, value);
  }
  for (const auto& [name, value] : request.headers) {
    if (iequals(name, "Host")) {
      message.set(http::field::host, value);
    } else {
      message.insert(name, value);
    }
  }
  if (!options.keep_alive) message.set(http::field::connection, "close");
  message.body() = std::move(request.body);
  message.prepare_payload();
  return message;
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

enum class Limit { connect, idle, request, read };

class BeastConnection final : public Connection {
 public:
  BeastConnection(std::shared_ptr<const ClientState> state, Url url, PoolKey key,
                  asio::execution_context& context, std::unique_ptr<Transport> transport,
                  std::optional<Clock::time_point> request_deadline,
                  std::chrono::milliseconds request_limit)
      : state_(std::move(state)),
        url_(std::move(url)),
        key_(std::move(key)),
        context_(context),
        transport_(std::move(transport)),
        request_deadline_(request_deadline),
        request_limit_(request_limit) {
    error_code ec;
    host_is_ip_ = (asio::ip::make_address(url_.host, ec), !ec);
  }

  asio::awaitable<void> connect();
  asio::awaitable<void> send(http::request<http::string_body>& message);
  asio::awaitable<HttpResponseHead> read_head(std::optional<std::uint64_t> body_limit, bool head);
  asio::awaitable<std::size_t> read_body(char* out, std::size_t capacity) override;
  asio::awaitable<std::string> read_body_some(std::optional<Clock::time_point> deadline) override;
  std::optional<std::uint64_t> content_length() const override {
    auto length = parser_.content_length();
    return length ? std::optional<std::uint64_t>(*length) : std::nullopt;
  }
  void close() noexcept override;

  // True once any byte of the response has arrived.
  bool got_some() const noexcept { return parser_.got_some() || buffer_.size() > 0; }

 private:
  beast::tcp_stream& tcp() { return transport_->tcp(); }

  asio::awaitable<std::vector<tcp::endpoint>> resolve();
  asio::awaitable<void> handshake(TlsStream& tls);
  asio::awaitable<bool> fill();
  asio::awaitable<std::size_t> read_raw(asio::mutable_buffer space);
  std::size_t parse_body(char* out, std::size_t capacity);
  void finish() noexcept;
  Clock::time_point deadline(Limit limit);
  [[noreturn]] void fail(error_code ec, std::string_view doing);
  [[noreturn]] void fail_timeout();

  std::shared_ptr<const ClientState> state_;
  Url url_;
  PoolKey key_;
  asio::execution_context& context_;
  std::unique_ptr<Transport> transport_;
  beast::flat_buffer buffer_;
  http::response_parser<http::buffer_body> parser_;
  std::optional<Clock::time_point> request_deadline_;
  std::chrono::milliseconds request_limit_;
  std::optional<Clock::time_point> read_deadline_;
  Clock::time_point connect_deadline_;
  // Waiting for the server's next bytes happens in this small buffer, so a
  // quiet stream holds no large one.
  std::array<char, 512> small_{};
  Limit armed_ = Limit::connect;
  bool host_is_ip_ = false;
  bool finished_ = false;
  bool closed_ = false;
};

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
    throw core::RuntimeError("response body from " + url_.redacted() + " exceeds the limit of " +
                             std::to_string(state_->options.max_body_size) + " bytes");
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

asio::awaitable<void> BeastConnection::send(http::request<http::string_body>& message) {
  http::request_serializer<http::string_body> serializer(message);
  while (!serializer.is_done()) {
    tcp().expires_at(deadline(Limit::idle));
    auto [ec, n] = co_await std::visit(
        [&](auto& s) { return http::async_write_some(s, serializer, kTuple); },
        transport_->stream);
    if (ec) fail(ec, "sending the request to");
  }
}

asio::awaitable<std::size_t> BeastConnection::read_raw(asio::mutable_buffer space) {
  tcp().expires_at(deadline(Limit::idle));
  auto [ec, n] = co_await std::visit([&](auto& s) { return s.async_read_some(space, kTuple); },
                                     transport_->stream);
  // Servers often end TLS without close_notify; HTTP framing tells whether
  // the body is complete.
  if (ec == asio::error::eof || ec == ssl::error::stream_truncated) co_return 0;
  if (ec) fail(ec, "reading the response from");
  co_return n;
}

// Reads more raw bytes into buffer_, re-arming the idle deadline. Returns false
// at the end of the stream. The wait happens in small_; the large buffer is
// only taken while bytes keep coming.
asio::awaitable<bool> BeastConnection::fill() {
  if (buffer_.size() == 0) buffer_.shrink_to_fit();
  const std::size_t n = co_await read_raw(asio::buffer(small_));
  if (n == 0) co_return false;
  buffer_.commit(asio::buffer_copy(buffer_.prepare(n), asio::buffer(small_.data(), n)));
  if (n == small_.size()) {
    const std::size_t more = co_await read_raw(buffer_.prepare(kReadSize));
    buffer_.commit(more);
  }
  co_return true;
}

asio::awaitable<HttpResponseHead> BeastConnection::read_head(
    std::optional<std::uint64_t> body_limit, bool head) {
  parser_.header_limit(kHeaderLimit);
  parser_.body_limit(body_limit ? boost::optional<std::uint64_t>(*body_limit) : boost::none);
  parser_.skip(head);
  while (!parser_.is_header_done()) {
    if (buffer_.size() > 0) {
      error_code ec;
      auto used = parser_.put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec && ec != http::error::need_more) fail(ec, "reading the response from");
      if (used > 0) continue;
    }
    if (!co_await fill()) fail(http::error::partial_message, "reading the response from");
  }
  parser_.eager(true);
  const auto& message = parser_.get();
  HttpResponseHead result;
  result.status = static_cast<int>(message.result_int());
  result.reason = std::string(message.reason());
  for (const auto& field : message) {
    result.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  if (parser_.is_done()) finish();
  co_return result;
}

// Parses buffered bytes into `out`; returns the body bytes written.
std::size_t BeastConnection::parse_body(char* out, std::size_t capacity) {
  auto& body = parser_.get().body();
  std::size_t got = 0;
  while (buffer_.size() > 0 && got < capacity && !parser_.is_done()) {
    body.data = out + got;
    body.size = capacity - got;
    error_code ec;
    auto used = parser_.put(buffer_.data(), ec);
    buffer_.consume(used);
    got = capacity - body.size;
    body.data = nullptr;
    if (ec == http::error::need_buffer || ec == http::error::need_more) ec = {};
    if (ec) fail(ec, "reading the response from");
    if (used == 0) break;
  }
  return got;
}

asio::awaitable<std::size_t> BeastConnection::read_body(char* out, std::size_t capacity) {
  if (finished_) co_return 0;
  if (closed_) {
    throw ConnectionError("connection to " + url_.endpoint() +
                          " is closed after an earlier failure or close()");
  }
  while (!parser_.is_done()) {
    if (auto got = parse_body(out, capacity); got > 0) co_return got;
    if (parser_.is_done()) break;
    if (!co_await fill()) {
      error_code ec;
      parser_.put_eof(ec);
      if (ec) fail(ec, "reading the response from");
    }
  }
  finish();
  co_return 0;
}

asio::awaitable<std::string> BeastConnection::read_body_some(
    std::optional<Clock::time_point> deadline) {
  read_deadline_ = deadline;
  std::string out;
  while (!finished_) {
    if (closed_) {
      throw ConnectionError("connection to " + url_.endpoint() +
                            " is closed after an earlier failure or close()");
    }
    if (parser_.is_done()) {
      finish();
      break;
    }
    if (buffer_.size() > 0) {
      // The body bytes of the buffer are at most as many as the buffer holds.
      out.resize(buffer_.size());
      out.resize(parse_body(out.data(), out.size()));
      if (!out.empty()) break;
      if (parser_.is_done()) continue;
    }
    if (!co_await fill()) {
      error_code ec;
      parser_.put_eof(ec);
      if (ec) fail(ec, "reading the response from");
    }
  }
  read_deadline_.reset();
  if (buffer_.size() == 0) buffer_.shrink_to_fit();
  co_return out;
}

// The body has ended: the connection goes back to the pool when the server
// keeps it open and sent nothing beyond the response, else it is closed.
void BeastConnection::finish() noexcept {
  if (finished_) return;
  finished_ = true;
  const bool reusable = state_->options.keep_alive && parser_.get().keep_alive() &&
                        buffer_.size() == 0 && !closed_;
  if (reusable) {
    // Made here, after the first socket, so that the pool service is shut
    // down (closing its sockets) before the reactor it registered them with.
    asio::use_service<ConnectionPool>(context_).put(key_, std::move(transport_),
                                                    state_->options.max_idle_per_host);
    closed_ = true;
  } else {
    close();
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
}

// No TLS close_notify: HTTP framing has already ended the exchange (or it
// failed), and waiting for the peer's reply could stall.
void BeastConnection::close() noexcept {
  if (closed_) return;
  closed_ = true;
  if (transport_) transport_->close();
}

}  // namespace

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
  std::optional<Clock::time_point> request_deadline;
  const auto limit = request.timeout ? request.timeout : state->options.request_timeout;
  if (limit) request_deadline = Clock::now() + *limit;
  auto message = build_request(state->options, url, request);
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
    auto connection =
        std::make_shared<BeastConnection>(state, url, key, context, std::move(kept),
                                          request_deadline, limit.value_or(std::chrono::milliseconds{}));
    try {
      if (!reused) co_await connection->connect();
      co_await connection->send(message);
      auto response_head = co_await connection->read_head(body_limit, head);
      co_return OpenedResponse{std::move(response_head), std::move(connection)};
    } catch (const ConnectionError&) {
      // A kept connection the server closed between requests: once more on
      // a new one, since the server answered nothing.
      if (!reused || connection->got_some()) throw;
    }
  }
}

}  // namespace zelq::net::detail
