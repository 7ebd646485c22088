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
#include <variant>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

struct ClientState {
  explicit ClientState(HttpClientOptions o) : options(std::move(o)) {}

  HttpClientOptions options;
  // SSL_CTX is safe to share between connections; streams need it non-const.
  mutable ssl::context tls{ssl::context::tls_client};
};

const HttpClientOptions& options_of(const ClientState& state) noexcept { return state.options; }

namespace {

constexpr std::size_t kReadSize = 16 * 1024;
constexpr std::uint32_t kHeaderLimit = 64 * 1024;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

void setup_tls(ClientState& state) {
  auto& ctx = state.tls;
  SSL_CTX_set_min_proto_version(ctx.native_handle(), TLS1_2_VERSION);
  if (!state.options.verify_tls) {
    ctx.set_verify_mode(ssl::verify_none);
    return;
  }
  ctx.set_verify_mode(ssl::verify_peer);
  error_code ec;
  ctx.set_default_verify_paths(ec);
  if (ec) throw core::ValueError("cannot load the system CA certificates: " + ec.message());
  if (!state.options.extra_ca_pem.empty()) {
    ctx.add_certificate_authority(asio::buffer(state.options.extra_ca_pem), ec);
    if (ec) throw core::ValueError("extra_ca_pem holds no valid PEM certificate: " + ec.message());
  }
}

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
  message.set(http::field::connection, "close");
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

enum class Limit { connect, idle, request };

class BeastConnection final : public Connection {
 public:
  BeastConnection(const asio::any_io_executor& ex, std::shared_ptr<const ClientState> state,
                  Url url)
      : state_(std::move(state)), url_(std::move(url)), stream_(make_stream(ex)) {
    error_code ec;
    host_is_ip_ = (asio::ip::make_address(url_.host, ec), !ec);
    if (auto limit = state_->options.request_timeout) request_deadline_ = Clock::now() + *limit;
  }

  asio::awaitable<void> connect();
  asio::awaitable<void> send(http::request<http::string_body> message);
  asio::awaitable<HttpResponseHead> read_head(std::optional<std::uint64_t> body_limit, bool head);
  asio::awaitable<std::size_t> read_body(char* out, std::size_t capacity) override;
  void close() noexcept override;

 private:
  using TlsStream = beast::ssl_stream<beast::tcp_stream>;
  using Stream = std::variant<beast::tcp_stream, TlsStream>;

  Stream make_stream(const asio::any_io_executor& ex) const {
    if (url_.is_tls()) return Stream(std::in_place_index<1>, ex, state_->tls);
    return Stream(std::in_place_index<0>, ex);
  }
  beast::tcp_stream& tcp() {
    return std::visit([](auto& s) -> beast::tcp_stream& { return beast::get_lowest_layer(s); },
                      stream_);
  }

  asio::awaitable<std::vector<tcp::endpoint>> resolve();
  asio::awaitable<void> handshake(TlsStream& tls);
  asio::awaitable<bool> fill();
  Clock::time_point deadline(Limit limit);
  [[noreturn]] void fail(error_code ec, std::string_view doing);
  [[noreturn]] void fail_timeout();

  std::shared_ptr<const ClientState> state_;
  Url url_;
  Stream stream_;
  beast::flat_buffer buffer_;
  http::response_parser<http::buffer_body> parser_;
  std::optional<Clock::time_point> request_deadline_;
  Clock::time_point connect_deadline_;
  Limit armed_ = Limit::connect;
  bool host_is_ip_ = false;
  bool finished_ = false;
  bool closed_ = false;
};

Clock::time_point BeastConnection::deadline(Limit limit) {
  auto at =
      limit == Limit::connect ? connect_deadline_ : Clock::now() + state_->options.idle_timeout;
  armed_ = limit;
  if (request_deadline_ && *request_deadline_ <= at) {
    at = *request_deadline_;
    armed_ = Limit::request;
  }
  return at;
}

void BeastConnection::fail_timeout() {
  close();
  const auto& o = state_->options;
  auto ms = [](std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; };
  switch (armed_) {
    case Limit::connect:
      throw core::TimeoutError("connecting to " + url_.endpoint() + " timed out after " +
                               ms(o.connect_timeout));
    case Limit::idle:
      throw core::TimeoutError("connection to " + url_.endpoint() + " was idle for more than " +
                               ms(o.idle_timeout));
    case Limit::request:
      break;
  }
  throw core::TimeoutError("request to " + url_.redacted() + " timed out after " +
                           ms(*o.request_timeout));
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
  if (auto* tls = std::get_if<TlsStream>(&stream_)) co_await handshake(*tls);
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

asio::awaitable<void> BeastConnection::send(http::request<http::string_body> message) {
  http::request_serializer<http::string_body> serializer(message);
  while (!serializer.is_done()) {
    tcp().expires_at(deadline(Limit::idle));
    auto [ec, n] = co_await std::visit(
        [&](auto& s) { return http::async_write_some(s, serializer, kTuple); }, stream_);
    if (ec) fail(ec, "sending the request to");
  }
}

// Reads more raw bytes into buffer_, re-arming the idle deadline. Returns false
// at the end of the stream.
asio::awaitable<bool> BeastConnection::fill() {
  tcp().expires_at(deadline(Limit::idle));
  auto space = buffer_.prepare(kReadSize);
  auto [ec, n] =
      co_await std::visit([&](auto& s) { return s.async_read_some(space, kTuple); }, stream_);
  buffer_.commit(n);
  // Servers often end TLS without close_notify; HTTP framing tells whether
  // the body is complete.
  if (ec == asio::error::eof || ec == ssl::error::stream_truncated) co_return false;
  if (ec) fail(ec, "reading the response from");
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
  if (parser_.is_done()) {
    finished_ = true;
    close();
  }
  co_return result;
}

asio::awaitable<std::size_t> BeastConnection::read_body(char* out, std::size_t capacity) {
  if (finished_) co_return 0;
  if (closed_) {
    throw ConnectionError("connection to " + url_.endpoint() +
                          " is closed after an earlier failure or close()");
  }
  auto& body = parser_.get().body();
  while (!parser_.is_done()) {
    if (buffer_.size() > 0) {
      body.data = out;
      body.size = capacity;
      error_code ec;
      auto used = parser_.put(buffer_.data(), ec);
      buffer_.consume(used);
      auto got = capacity - body.size;
      body.data = nullptr;
      if (ec == http::error::need_buffer || ec == http::error::need_more) ec = {};
      if (ec) fail(ec, "reading the response from");
      if (got > 0) co_return got;
      if (used > 0) continue;
    }
    if (!co_await fill()) {
      error_code ec;
      parser_.put_eof(ec);
      if (ec) fail(ec, "reading the response from");
    }
  }
  finished_ = true;
  close();
  co_return 0;
}

// No TLS close_notify: HTTP framing has already ended the exchange (or it
// failed), and waiting for the peer's reply could stall.
void BeastConnection::close() noexcept {
  if (closed_) return;
  closed_ = true;
  error_code ignored;
  tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
  tcp().close();
}

}  // namespace

std::shared_ptr<const ClientState> make_client_state(HttpClientOptions options) {
  validate_options(options);
  auto state = std::make_shared<ClientState>(std::move(options));
  setup_tls(*state);
  return state;
}

asio::awaitable<OpenedResponse> open_connection(std::shared_ptr<const ClientState> state,
                                                HttpRequest request,
                                                std::optional<std::uint64_t> body_limit) {
  auto url = Url::parse(request.url);
  validate_request(request);
  bool head = request.method == "HEAD";
  auto message = build_request(state->options, url, request);
  auto connection = std::make_shared<BeastConnection>(co_await asio::this_coro::executor,
                                                      std::move(state), std::move(url));
  co_await connection->connect();
  co_await connection->send(std::move(message));
  auto response_head = co_await connection->read_head(body_limit, head);
  co_return OpenedResponse{std::move(response_head), std::move(connection)};
}

}  // namespace zelq::net::detail
