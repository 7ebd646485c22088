#include "zelq/net/testing/loopback_server.hpp"

// With sanitizers on, GCC 12 reports a false maybe-uninitialized inside
// Beast's request parser (an optional content length).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "zelq/net/testing/tls_identity.hpp"

namespace zelq::net::testing {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

class Channel {
 public:
  using Stream = std::variant<tcp::socket, ssl::stream<tcp::socket>>;

  Channel(tcp::socket socket, ssl::context* tls) : stream(make(std::move(socket), tls)) {}

  tcp::socket& socket() {
    if (auto* tls = std::get_if<1>(&stream)) return tls->next_layer();
    return std::get<0>(stream);
  }

  Stream stream;

 private:
  static Stream make(tcp::socket socket, ssl::context* tls) {
    if (tls) return Stream(std::in_place_index<1>, std::move(socket), *tls);
    return Stream(std::in_place_index<0>, std::move(socket));
  }
};

namespace {

// The server's TLS context, with a certificate for 127.0.0.1 made once per
// process.
std::optional<ssl::context> server_context(Scheme scheme) {
  if (scheme == Scheme::http) return std::nullopt;
  static const TlsIdentity identity = make_identity("IP:127.0.0.1");
  std::optional<ssl::context> context(std::in_place, ssl::context::tls_server);
  context->use_certificate_chain(asio::buffer(identity.certificate_pem));
  context->use_private_key(asio::buffer(identity.key_pem), ssl::context::pem);
  return context;
}

}  // namespace

struct LoopbackServer::State {
  State(asio::io_context& io, Handler h, Scheme scheme)
      : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        port(acceptor.local_endpoint().port()),
        handler(std::move(h)),
        tls(server_context(scheme)) {}

  struct Connection {
    Channel channel;
    bool idle = false;
  };

  tcp::acceptor acceptor;
  std::uint16_t port;  // kept: the acceptor forgets it once closed
  Handler handler;
  std::optional<ssl::context> tls;
  LoopbackServer* server = nullptr;
  std::vector<std::weak_ptr<Connection>> open;
};

std::string ReceivedRequest::header(std::string_view name) const {
  return std::string(find_header(headers, name).value_or(""));
}

core::Value ReceivedRequest::json() const { return core::Value::parse(body); }

asio::awaitable<void> Exchange::send(std::string bytes) {
  co_await std::visit(
      [&](auto& stream) {
        return asio::async_write(stream, asio::buffer(bytes), asio::use_awaitable);
      },
      channel_.stream);
}

asio::awaitable<void> Exchange::write(std::string bytes) {
  keep_alive_ = false;
  co_await send(std::move(bytes));
}

asio::awaitable<void> Exchange::write_record(std::string bytes) {
  co_await send(std::move(bytes));
  keep_alive_ = true;
}

asio::awaitable<void> Exchange::respond(int status, std::string body, std::string headers) {
  std::string lower = headers;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool typed =
      lower.starts_with("content-type:") || lower.find("\ncontent-type:") != std::string::npos;
  co_await send("HTTP/1.1 " + std::to_string(status) + " X\r\n" +
                (typed ? "" : "Content-Type: application/json\r\n") + headers +
                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  keep_alive_ = true;
}

asio::awaitable<void> Exchange::start_events() {
  keep_alive_ = false;
  co_await send(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
}

asio::awaitable<void> Exchange::chunk(std::string bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  co_await send(size + bytes + "\r\n");
}

asio::awaitable<void> Exchange::end_events() {
  co_await send("0\r\n\r\n");
  keep_alive_ = true;
}

asio::awaitable<void> Exchange::wait_for_close() {
  char byte;
  while (true) {
    auto [ec, n] = co_await std::visit(
        [&](auto& stream) {
          return stream.async_read_some(asio::buffer(&byte, 1),
                                        asio::as_tuple(asio::use_awaitable));
        },
        channel_.stream);
    if (ec) co_return;
  }
}

LoopbackServer::LoopbackServer(asio::io_context& io, Handler handler, Scheme scheme)
    : state_(std::make_shared<State>(io, std::move(handler), scheme)) {
  state_->server = this;
  asio::co_spawn(io, accept_loop(state_), asio::detached);
}

LoopbackServer::~LoopbackServer() {
  stop();
  state_->server = nullptr;
}

std::string LoopbackServer::origin() const {
  return (tls() ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(state_->port);
}

bool LoopbackServer::tls() const noexcept { return state_->tls.has_value(); }

std::string LoopbackServer::base_url() const { return origin() + "/v1"; }

void LoopbackServer::stop() {
  boost::system::error_code ignored;
  state_->acceptor.close(ignored);
  for (auto& weak : state_->open) {
    if (auto connection = weak.lock()) connection->channel.socket().close(ignored);
  }
}

void LoopbackServer::drop_idle_connections() {
  boost::system::error_code ignored;
  for (auto& weak : state_->open) {
    auto connection = weak.lock();
    if (connection && connection->idle) connection->channel.socket().close(ignored);
  }
}

asio::awaitable<void> LoopbackServer::accept_loop(std::shared_ptr<State> state) {
  while (true) {
    auto [ec, socket] = co_await state->acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
    if (ec || state->server == nullptr) co_return;
    ++state->server->connections;
    // As streaming servers do: small event chunks go out at once instead of
    // waiting for the client's delayed acknowledgement.
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    asio::co_spawn(state->acceptor.get_executor(), serve(state, std::move(socket)), asio::detached);
  }
}

namespace {

ReceivedRequest received(const http::request<http::string_body>& message, std::size_t connection) {
  ReceivedRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  for (const auto& field : message) {
    request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  request.body = message.body();
  request.connection = connection;
  return request;
}

// Reads the next request into `parser`: its head, then its body unless
// the head announces more than `up_to` bytes. Returns the failure, and
// whether the body was read.
asio::awaitable<std::pair<boost::system::error_code, bool>> read_request(
    Channel& channel, boost::beast::flat_buffer& buffer,
    http::request_parser<http::string_body>& parser, std::optional<std::size_t> up_to) {
  // The parser would refuse a Content-Length over its body limit in the head.
  if (up_to) parser.body_limit(boost::none);
  auto [ec, n] = co_await std::visit(
      [&](auto& stream) {
        return http::async_read_header(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
      },
      channel.stream);
  if (ec) co_return std::pair(ec, false);
  const auto length = parser.content_length();
  if (up_to && length && *length > *up_to) co_return std::pair(ec, false);
  if (up_to) parser.body_limit(*up_to);
  std::tie(ec, n) = co_await std::visit(
      [&](auto& stream) {
        return http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
      },
      channel.stream);
  co_return std::pair(ec, true);
}

}  // namespace

asio::awaitable<void> LoopbackServer::serve(std::shared_ptr<State> state, tcp::socket socket) {
  auto connection = std::make_shared<State::Connection>(
      State::Connection{Channel(std::move(socket), state->tls ? &*state->tls : nullptr)});
  state->open.push_back(connection);
  const std::size_t number = state->server ? state->server->connections : 0;
  Channel& channel = connection->channel;
  bool keep_alive = true;
  if (auto* tls = std::get_if<1>(&channel.stream)) {
    auto [ec] = co_await tls->async_handshake(ssl::stream_base::server,
                                              asio::as_tuple(asio::use_awaitable));
    keep_alive = !ec;
  }
  boost::beast::flat_buffer buffer;
  while (keep_alive && state->server != nullptr) {
    http::request_parser<http::string_body> parser;
    connection->idle = true;
    const std::optional<std::size_t> up_to =
        state->server ? state->server->bodies_read_up_to : std::nullopt;
    const auto [ec, body_read] = co_await read_request(channel, buffer, parser, up_to);
    connection->idle = false;
    if (ec || state->server == nullptr) break;
    const http::request<http::string_body>& message = parser.get();
    LoopbackServer& server = *state->server;
    server.requests.push_back(received(message, number));
    server.peak = std::max(server.peak, ++server.in_flight);
    Exchange exchange(channel, server.requests.back());
    try {
      co_await state->handler(exchange);
    } catch (const std::exception&) {
      // The client may hang up while the handler writes.
      exchange.keep_alive_ = false;
    }
    if (state->server) --state->server->in_flight;
    keep_alive = exchange.keep_alive_ && message.keep_alive() && body_read;
  }
  // No TLS close_notify: the client reads the end of the TCP stream as the
  // end, as it does for servers that send none.
  boost::system::error_code ignored;
  channel.socket().shutdown(tcp::socket::shutdown_send, ignored);
  channel.socket().close(ignored);
}

ReturnGate::ReturnGate(asio::io_context& io)
    : timer_(io, std::chrono::steady_clock::time_point::max()) {}

asio::awaitable<void> ReturnGate::wait() {
  while (!open_) co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
}

void ReturnGate::open() {
  open_ = true;
  timer_.cancel();
}

asio::awaitable<bool> hold_cancel_request(Exchange& exchange, CallerStop stop,
                                          std::chrono::steady_clock::time_point deadline,
                                          asio::cancellation_signal& signal) {
  const auto executor = co_await asio::this_coro::executor;
  if (stop == CallerStop::DEADLINE) {
    asio::steady_timer held(executor);
    held.expires_at(deadline);
    co_await held.async_wait(asio::use_awaitable);
    co_return true;
  }
  asio::post(executor, [&signal, stop] {
    signal.emit(asio::cancellation_type::terminal);
    if (stop == CallerStop::CANCEL_TWICE) signal.emit(asio::cancellation_type::terminal);
  });
  co_await asio::post(executor, asio::use_awaitable);
  if (stop != CallerStop::CANCEL_TWICE) co_return true;
  co_await exchange.wait_for_close();
  co_return false;
}

}  // namespace zelq::net::testing
