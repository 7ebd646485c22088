// A small HTTP server on 127.0.0.1 for tests and benchmarks of the
// OpenAI-compatible invokers: it accepts connections on an ephemeral port,
// reads one request per connection with Beast and hands it to a handler
// coroutine that writes the answer. Header-only; include it from tests and
// benchmarks only (it pulls in Beast).
#pragma once

// With sanitizers on, GCC 12 reports a false maybe-uninitialized inside
// Beast's request parser (an optional content length).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "zelq/core/value.hpp"

namespace zelq::providers::openai::testing {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

// One request and the connection to answer it on.
struct Exchange {
  explicit Exchange(tcp::socket s) : socket(std::move(s)) {}

  tcp::socket socket;
  http::request<http::string_body> request;

  core::Value json() const { return core::Value::parse(request.body()); }

  asio::awaitable<void> write(std::string bytes) {
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
  }

  // A whole answer with Content-Length; `headers` are extra "Name: value\r\n"
  // lines.
  asio::awaitable<void> respond(int status, std::string body, std::string headers = {}) {
    co_await write("HTTP/1.1 " + std::to_string(status) +
                   " X\r\nContent-Type: application/json\r\n" + headers +
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  // The head of a chunked event stream; chunk() then sends body bytes.
  asio::awaitable<void> start_events() {
    co_await write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
  }
  asio::awaitable<void> chunk(std::string bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    co_await write(size + bytes + "\r\n");
  }
  asio::awaitable<void> end_events() { co_await write("0\r\n\r\n"); }

  // Waits until the client closes the connection.
  asio::awaitable<void> wait_for_close() {
    char byte;
    while (true) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(&byte, 1),
                                                     asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
    }
  }
};

// "data: <json>\n\n" of one streamed chat-completion chunk with this content.
inline std::string content_event(const std::string& piece) {
  core::Value chunk = {{"choices", {{{"index", 0}, {"delta", {{"content", piece}}}}}}};
  return "data: " + chunk.dump() + "\n\n";
}

class LoopbackServer {
 public:
  using Handler = std::function<asio::awaitable<void>(Exchange&)>;

  LoopbackServer(asio::io_context& io, Handler handler)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        handler_(std::move(handler)) {
    asio::co_spawn(io, accept_loop(), asio::detached);
  }

  // "http://127.0.0.1:<port>/v1".
  std::string base_url() const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + "/v1";
  }

  // Stops accepting and closes every open connection.
  void stop() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (auto& weak : open_) {
      if (auto exchange = weak.lock()) exchange->socket.close(ignored);
    }
  }

  // Requests read so far, in arrival order.
  std::vector<http::request<http::string_body>> requests;
  std::size_t in_flight = 0;
  std::size_t peak = 0;

 private:
  asio::awaitable<void> accept_loop() {
    while (true) {
      auto [ec, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      asio::co_spawn(acceptor_.get_executor(), serve(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> serve(tcp::socket socket) {
    auto exchange = std::make_shared<Exchange>(std::move(socket));
    open_.push_back(exchange);
    boost::beast::flat_buffer buffer;
    auto [ec, n] = co_await http::async_read(exchange->socket, buffer, exchange->request,
                                             asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
    requests.push_back(exchange->request);
    peak = std::max(peak, ++in_flight);
    try {
      co_await handler_(*exchange);
    } catch (const std::exception&) {
      // The client may hang up while the handler writes.
    }
    --in_flight;
    boost::system::error_code ignored;
    exchange->socket.shutdown(tcp::socket::shutdown_send, ignored);
    exchange->socket.close(ignored);
  }

  tcp::acceptor acceptor_;
  Handler handler_;
  std::vector<std::weak_ptr<Exchange>> open_;
};

// Runs `client` on `io` next to `server`, stops the server when the client
// is done, and returns the client's result or rethrows its failure. Throws
// std::runtime_error when the run does not end within 30 seconds.
template <class T>
T run_client(asio::io_context& io, LoopbackServer& server, asio::awaitable<T> client) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  auto store = [](asio::awaitable<T> aw, std::optional<T>& slot) -> asio::awaitable<void> {
    slot.emplace(co_await std::move(aw));
  };
  asio::co_spawn(io, store(std::move(client), result), [&](std::exception_ptr error) {
    failure = error;
    done = true;
    server.stop();
  });
  io.restart();
  io.run_for(std::chrono::seconds(30));
  if (!done) throw std::runtime_error("test hung");
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace zelq::providers::openai::testing
