#include "zelq/net/http_client.hpp"

#include <gtest/gtest.h>

// With sanitizers on, GCC 12 reports a false maybe-uninitialized inside
// Beast's request parser (an optional content length).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/detail/spare_memory.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/sse_reader.hpp"

namespace zelq::net {
namespace {

// The memory budget of reading one body, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Script = std::function<asio::awaitable<void>(tcp::socket&)>;

// Requests inside coroutines are named variables: g++ 12 miscompiles a braced
// aggregate temporary written directly in a co_await expression.

asio::awaitable<void> send(tcp::socket& socket, std::string bytes) {
  co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
}

asio::awaitable<void> pause(std::chrono::milliseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

// Reads until the client closes the connection.
asio::awaitable<void> wait_for_close(tcp::socket& socket) {
  char byte;
  while (true) {
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(&byte, 1),
                                                   asio::as_tuple(asio::use_awaitable));
    if (ec) co_return;
  }
}

// Accepts one connection on 127.0.0.1, reads one request with Beast, then
// plays a script of raw writes, pauses and closes.
class Server {
 public:
  explicit Server(asio::io_context& io)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}

  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) + path;
  }
  std::string endpoint() const {
    return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }

  void start(Script script) {
    asio::co_spawn(acceptor_.get_executor(), serve(std::move(script)), asio::detached);
  }

  http::request<http::string_body> seen;
  bool done = false;

 private:
  asio::awaitable<void> serve(Script script) {
    auto socket = co_await acceptor_.async_accept(asio::use_awaitable);
    socket.set_option(tcp::no_delay(true));
    boost::beast::flat_buffer buffer;
    co_await http::async_read(socket, buffer, seen, asio::use_awaitable);
    try {
      co_await script(socket);
    } catch (const boost::system::system_error&) {
      // The client may hang up while the script writes.
    }
    done = true;
  }

  tcp::acceptor acceptor_;
};

// Runs `client` (an awaitable, or a function returning one) to completion on
// `io` and returns its result or rethrows its exception.
template <class Client>
auto run(asio::io_context& io, Client client) {
  io.restart();
  auto future = asio::co_spawn(io, std::move(client), asio::use_future);
  io.run_for(20s);
  if (future.wait_for(0s) != std::future_status::ready) throw std::runtime_error("test hung");
  return future.get();
}

Script reply(std::string bytes) {
  return [bytes](tcp::socket& socket) -> asio::awaitable<void> { co_await send(socket, bytes); };
}

HttpResponse fetch(Script script, HttpRequest request = {}, HttpClientOptions options = {}) {
  asio::io_context io;
  Server server(io);
  server.start(std::move(script));
  if (request.url.empty()) request.url = server.url();
  HttpClient client(std::move(options));
  return run(io, client.request(std::move(request)));
}

template <class Error>
std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

TEST(HttpClient, RequestAndResponseFraming) {
  asio::io_context io;
  Server server(io);
  server.start(
      reply("HTTP/1.1 201 Created\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello"));
  HttpClient client;
  auto response = run(io, client.request({.method = "POST",
                                          .url = server.url("/v1/x?k=1"),
                                          .headers = {{"X-Test", "1"}, {"user-agent", "mine"}},
                                          .body = "ping"}));
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.reason, "Created");
  EXPECT_EQ(find_header(response.headers, "content-type"), "text/plain");
  EXPECT_EQ(response.body, "hello");
  EXPECT_EQ(server.seen.method_string(), "POST");
  EXPECT_EQ(server.seen.target(), "/v1/x?k=1");
  EXPECT_EQ(server.seen[http::field::host], server.endpoint());
  EXPECT_EQ(server.seen[http::field::connection], "");  // kept alive
  EXPECT_EQ(server.seen[http::field::user_agent], "mine");
  EXPECT_EQ(server.seen["X-Test"], "1");
  EXPECT_EQ(server.seen.body(), "ping");

  auto chunked =
      fetch(reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n"));
  EXPECT_EQ(chunked.body, "hello world");
  auto until_close = fetch(reply("HTTP/1.1 200 OK\r\n\r\nuntil close"));
  EXPECT_EQ(until_close.body, "until close");
  auto head = fetch(reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"), {.method = "HEAD"});
  EXPECT_EQ(head.body, "");
  auto no_content = fetch(reply("HTTP/1.1 204 No Content\r\n\r\n"));
  EXPECT_EQ(no_content.status, 204);
}

// The bytes of one request as the server reads them: the client sends
// `request` (its url a path on the server) with `options` to a server that
// takes the head and a body of its Content-Length, answers 200 and closes.
// The server's port shows as "PORT".
std::string bytes_sent(HttpRequest request, HttpClientOptions options = {}) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::string port = std::to_string(acceptor.local_endpoint().port());
  std::string seen;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        auto socket = co_await acceptor.async_accept(asio::use_awaitable);
        char piece[4096];
        std::size_t end = std::string::npos;
        while (end == std::string::npos || seen.size() < end) {
          const auto n = co_await socket.async_read_some(asio::buffer(piece), asio::use_awaitable);
          seen.append(piece, n);
          if (end != std::string::npos) continue;
          const auto head_end = seen.find("\r\n\r\n");
          if (head_end == std::string::npos) continue;
          end = head_end + 4;
          const auto length = seen.find("\r\nContent-Length: ");
          if (length < head_end) end += std::stoul(seen.substr(length + 18));
        }
        co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      },
      asio::detached);
  request.url = "http://127.0.0.1:" + port + request.url;
  HttpClient client(std::move(options));
  run(io, client.request(std::move(request)));
  for (auto at = seen.find(port); at != std::string::npos; at = seen.find(port, at)) {
    seen.replace(at, port.size(), "PORT");
  }
  return seen;
}

// What goes on the wire: the request line, Host first unless the request
// names its own (the last one given, where it stands), the default headers
// the request does not override, the request's headers in their order and
// spelling with their values trimmed, Connection and Content-Length last,
// then the body.
TEST(HttpClient, RequestBytesOnTheWire) {
  struct Case {
    std::string what;
    HttpRequest request;
    HttpClientOptions options;
    std::string bytes;
  };
  const HttpClientOptions defaults;
  const std::vector<Case> cases = {
      {"a POST with a body",
       {.method = "POST",
        .url = "/v1/x?k=1",
        .headers = {{"X-Test", "1"}, {"user-agent", "mine"}},
        .body = "ping"},
       defaults,
       "POST /v1/x?k=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nX-Test: 1\r\nuser-agent: mine\r\n"
       "Content-Length: 4\r\n\r\nping"},
      {"a GET",
       {.url = "/"},
       defaults,
       "GET / HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n\r\n"},
      {"a GET with a query and no path",
       {.url = "?q=1"},
       defaults,
       "GET /?q=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n\r\n"},
      {"an empty PUT",
       {.method = "PUT", .url = "/p"},
       defaults,
       "PUT /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Content-Length: 0\r\n\r\n"},
      {"an empty POST",
       {.method = "POST", .url = "/p"},
       defaults,
       "POST /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Content-Length: 0\r\n\r\n"},
      {"an empty OPTIONS",
       {.method = "OPTIONS", .url = "/p"},
       defaults,
       "OPTIONS /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Content-Length: 0\r\n\r\n"},
      {"an empty DELETE",
       {.method = "DELETE", .url = "/p"},
       defaults,
       "DELETE /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n\r\n"},
      {"a DELETE with a body",
       {.method = "DELETE", .url = "/p", .body = "{}"},
       defaults,
       "DELETE /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Content-Length: 2\r\n\r\n{}"},
      {"a method of our own",
       {.method = "FROB", .url = "/p"},
       defaults,
       "FROB /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n\r\n"},
      {"a method of our own with a body",
       {.method = "FROB", .url = "/p", .body = "b"},
       defaults,
       "FROB /p HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Content-Length: 1\r\n\r\nb"},
      {"Host given twice by the request",
       {.url = "/",
        .headers = {{"A", "1"}, {"host", "h1"}, {"B", "2"}, {"HOST", "h2"}, {"C", "3"}}},
       defaults,
       "GET / HTTP/1.1\r\nUser-Agent: zelq-net/0.1\r\nA: 1\r\nB: 2\r\nHost: h2\r\nC: 3\r\n\r\n"},
      {"values trimmed of spaces and tabs",
       {.url = "/", .headers = {{"X-Pad", " \t v  w \t"}, {"X-Blank", "  "}}},
       defaults,
       "GET / HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\nX-Pad: v  w\r\n"
       "X-Blank: \r\n\r\n"},
      {"default headers, one overridden",
       {.url = "/", .headers = {{"x-default", "r"}}},
       {.default_headers = {{"User-Agent", "ua"}, {"X-Default", "d"}, {"X-Other", " o "}}},
       "GET / HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: ua\r\nX-Other: o\r\n"
       "x-default: r\r\n\r\n"},
      {"no keep-alive",
       {.method = "POST", .url = "/c", .body = "x"},
       {.keep_alive = false},
       "POST /c HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
       "Connection: close\r\nContent-Length: 1\r\n\r\nx"},
  };
  for (const Case& row : cases) {
    EXPECT_EQ(bytes_sent(row.request, row.options), row.bytes) << row.what;
  }
  const std::string large(100'000, 'z');
  EXPECT_EQ(bytes_sent({.method = "POST", .url = "/l", .body = large}),
            "POST /l HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: zelq-net/0.1\r\n"
            "Content-Length: 100000\r\n\r\n" +
                large);
}

TEST(HttpClient, StreamsIrregularPiecesAndEvents) {
  asio::io_context io;
  Server server(io);
  server.start([](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nab");
    for (std::string piece : {"c\r", "\n4\r\nde", "fg\r\n2", "\r\nhi\r\n0\r\n", "\r\n"}) {
      co_await pause(5ms);
      co_await send(socket, piece);
    }
  });
  // Pieces are read into the text an earlier read gave back, whose stale
  // bytes (longer than any piece) must never show.
  detail::give_back_text(std::string(100'000, '#'));
  HttpClient client;
  auto pieces = run(io, [&]() -> asio::awaitable<std::vector<std::string>> {
    HttpRequest request{.url = server.url()};
    auto stream = co_await client.stream(std::move(request));
    std::vector<std::string> out;
    for (auto piece = co_await stream.body.read_some(); !piece.empty();
         piece = co_await stream.body.read_some()) {
      out.push_back(piece);
      // As an event reader does once it has used a piece up.
      detail::give_back_text(std::move(piece));
    }
    EXPECT_EQ(co_await stream.body.read_some(), "");
    co_return out;
  });
  std::string joined;
  for (const auto& piece : pieces) joined += piece;
  EXPECT_EQ(joined, "abcdefghi");
  EXPECT_GT(pieces.size(), 2u);

  asio::io_context io2;
  Server sse(io2);
  sse.start([](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 49\r\n\r\n: hi\r");
    for (std::string piece :
         {"\ndata: a\r", "\n\r", "\nid: 7\nevent: e\ndata: b\n", "data: c\n\n"}) {
      co_await pause(5ms);
      co_await send(socket, piece);
    }
  });
  auto events = run(io2, [&]() -> asio::awaitable<std::vector<SseEvent>> {
    HttpRequest request{.url = sse.url()};
    SseReader reader((co_await client.stream(std::move(request))).body);
    std::vector<SseEvent> out;
    while (auto event = co_await reader.next()) out.push_back(std::move(*event));
    co_return out;
  });
  EXPECT_EQ(events, (std::vector<SseEvent>{{"message", "a", ""}, {"e", "b\nc", "7"}}));
}

// A stream waiting for its next bytes holds no kept text: a read takes one
// only once bytes have come, so that the text serves whichever stream reads.
TEST(HttpClient, AWaitingStreamHoldsNoKeptText) {
  asio::io_context io;
  Server server(io);
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  server.start([&gate](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n");
    boost::system::error_code cancelled;
    co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    co_await send(socket, "2\r\nde\r\n0\r\n\r\n");
  });
  HttpClient client;
  std::optional<std::string> second;
  const std::size_t kept = run(io, [&]() -> asio::awaitable<std::size_t> {
    HttpRequest request{.url = server.url()};
    auto stream = co_await client.stream(std::move(request));
    EXPECT_EQ(co_await stream.body.read_some(), "abc");
    detail::give_back_text(std::string(60'000, '#'));
    asio::steady_timer read(io, asio::steady_timer::time_point::max());
    asio::co_spawn(io, stream.body.read_some(), [&](std::exception_ptr error, std::string piece) {
      if (!error) second = std::move(piece);
      read.cancel();
    });
    // The second read runs until it waits for the server.
    for (int i = 0; i < 3; ++i) co_await asio::post(io, asio::use_awaitable);
    const std::size_t size = detail::take_text().size();
    gate.cancel();
    boost::system::error_code cancelled;
    co_await read.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    co_return size;
  });
  EXPECT_EQ(kept, 60'000u);
  EXPECT_EQ(second, "de");
}

// What a stream holds between reads is bounded, not by what the server
// sent: a burst larger than the block a thread keeps is read whole and its
// buffer let go once parsed; a stream that waits with unparsed bytes (a
// chunk extension within its limit) keeps them in a buffer of their size,
// and its read buffer goes back to the thread. Afterwards the thread keeps
// at most a block and a text of kSpareBlockMax. On a thread of its own, so
// that nothing is kept before.
TEST(HttpClient, AStreamHoldsNoLargeBufferBetweenReads) {
  std::thread([] {
    asio::io_context io;
    Server server(io);
    asio::steady_timer gate(io, asio::steady_timer::time_point::max());
    const std::string burst(300'000, 'b');
    server.start([&gate, &burst](tcp::socket& socket) -> asio::awaitable<void> {
      co_await send(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n493e0\r\n" +
                                burst + "\r\n3\r\nabc\r\n3;" + std::string(1'000, 'x'));
      boost::system::error_code cancelled;
      co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
      co_await send(socket, "\r\nxyz\r\n0\r\n\r\n");
    });
    HttpClient client;
    std::optional<std::string> last;
    const bool given_back = run(io, [&]() -> asio::awaitable<bool> {
      HttpRequest request{.url = server.url()};
      auto stream = co_await client.stream(std::move(request));
      std::string body;
      while (body.size() < burst.size() + 3) body += co_await stream.body.read_some();
      EXPECT_EQ(body, burst + "abc");
      // What the thread keeps now is held aside: what comes back is the
      // waiting stream's.
      void* block = detail::take_block(detail::kSpareBlockMin);
      std::string text = detail::take_text();
      asio::steady_timer read(io, asio::steady_timer::time_point::max());
      asio::co_spawn(io, stream.body.read_some(), [&](std::exception_ptr error, std::string piece) {
        if (!error) last = std::move(piece);
        read.cancel();
      });
      for (int i = 0; i < 100 && detail::kept_bytes() == 0; ++i) {
        co_await asio::post(io, asio::use_awaitable);
      }
      const bool back = detail::kept_bytes() > 0;
      gate.cancel();
      boost::system::error_code cancelled;
      co_await read.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
      EXPECT_EQ(co_await stream.body.read_some(), "");
      detail::give_back_block(block);
      detail::give_back_text(std::move(text));
      co_return back;
    });
    EXPECT_TRUE(given_back);
    EXPECT_EQ(last, "xyz");
    EXPECT_LE(detail::kept_bytes(), 2 * detail::kSpareBlockMax);
  }).join();
}

TEST(HttpClient, OwnDeadlinesAreTimeoutErrors) {
  auto stall = [](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    co_await wait_for_close(socket);
  };
  HttpClientOptions idle{.idle_timeout = 200ms};
  asio::io_context io;
  Server server(io);
  server.start(stall);
  HttpClient client(idle);
  std::string received;
  auto message = error_of<core::TimeoutError>([&] {
    run(io, [&]() -> asio::awaitable<void> {
      HttpRequest request{.url = server.url()};
      auto stream = co_await client.stream(std::move(request));
      while (true) {
        auto piece = co_await stream.body.read_some();
        if (piece.empty()) co_return;
        received += piece;
      }
    });
  });
  EXPECT_EQ(message, "connection to " + server.endpoint() + " was idle for more than 200 ms");
  EXPECT_EQ(received, "abc");
  EXPECT_TRUE(server.done);  // the client closed the connection

  EXPECT_EQ(error_of<core::TimeoutError>([&] { fetch(stall, {}, idle); }).substr(0, 14),
            "connection to ");

  // The idle deadline is re-armed at every read: a body that trickles in for
  // longer than the idle timeout in total still arrives.
  // Gaps far below the idle timeout, so that a loaded machine's stalls do not
  // reach it.
  auto slow_body = [](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n");
    for (int i = 0; i < 40; ++i) {
      co_await pause(15ms);
      co_await send(socket, "z");
    }
  };
  EXPECT_EQ(fetch(slow_body, {}, {.idle_timeout = 500ms}).body, std::string(40, 'z'));

  // Bytes trickle in faster than the idle timeout, so only the whole-request
  // deadline can end the call. The query stays out of the message.
  auto trickle = [](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
    for (int i = 0; i < 100000; ++i) {
      co_await send(socket, "x");
      co_await pause(10ms);
    }
  };
  asio::io_context io2;
  Server slow(io2);
  slow.start(trickle);
  HttpClient bounded({.request_timeout = 150ms, .idle_timeout = 1000ms});
  EXPECT_EQ(error_of<core::TimeoutError>(
                [&] { run(io2, bounded.request({.url = slow.url("/x?key=secret")})); }),
            "request to " + slow.url("/x") + " timed out after 150 ms");
}

TEST(HttpClient, BrokenConnectionsAreConnectionErrors) {
  auto closed_early = "connection to 127.0.0.1:";
  const auto message = error_of<ConnectionError>(
      [] { fetch(reply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this")); });
  EXPECT_EQ(message.rfind(closed_early, 0), 0u) << message;
  EXPECT_NE(message.find(" closed before the response was complete"), std::string::npos);
  EXPECT_NE(error_of<ConnectionError>([] {
              fetch(reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"));
            }),
            "no error");
  EXPECT_NE(error_of<ConnectionError>([] { fetch(reply("")); }), "no error");
  EXPECT_NE(error_of<ConnectionError>([] { fetch(reply("garbage\r\n\r\n")); }), "no error");

  asio::io_context io;
  // A port that refuses connections: bound for the whole test, so nothing
  // else (another test running at once) can take it, and never listening.
  tcp::socket closed(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const std::uint16_t port = closed.local_endpoint().port();
  auto endpoint = "127.0.0.1:" + std::to_string(port);
  HttpClient client;
  EXPECT_EQ(error_of<ConnectionError>(
                [&] { run(io, client.request({.url = "http://" + endpoint + "/"})); }),
            "connecting to " + endpoint + " failed: Connection refused");
}

TEST(HttpClient, ErrorStatusIsAResponse) {
  auto response =
      fetch(reply("HTTP/1.1 429 Too Many Requests\r\nRetry-After: 3\r\nContent-Length: 39\r\n\r\n"
                  R"({"error":{"message":"Slow down","x":1}})"));
  EXPECT_EQ(response.status, 429);
  EXPECT_FALSE(response.ok());
  auto error = HttpError::from_response(response, response.body, kBudget);
  EXPECT_EQ(error.message(), "Slow down");
  EXPECT_EQ(error.retry_after(), 3s);
  EXPECT_THROW(throw_for_status(response, kBudget), HttpError);

  asio::io_context io;
  Server server(io);
  server.start(reply("HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy"));
  HttpClient client;
  auto streamed = run(io, [&]() -> asio::awaitable<std::string> {
    HttpRequest request{.url = server.url()};
    auto stream = co_await client.stream(std::move(request));
    co_return HttpError::from_response(stream.head, co_await stream.body.read_all(1000), kBudget)
        .what();
  });
  EXPECT_EQ(streamed, "HTTP 503: busy");
}

TEST(HttpClient, CancellationIsNotATimeout) {
  asio::io_context io;
  Server server(io);
  server.start([](tcp::socket& socket) -> asio::awaitable<void> {
    co_await send(socket, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nab");
    co_await wait_for_close(socket);
  });
  HttpClient client({.idle_timeout = 10s});
  std::optional<HttpStream> stream;
  bool reading = false;
  asio::cancellation_signal signal;
  std::exception_ptr error;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        HttpRequest request{.url = server.url()};
        stream.emplace(co_await client.stream(std::move(request)));
        EXPECT_EQ(co_await stream->body.read_some(), "ab");
        reading = true;
        co_await stream->body.read_some();
      },
      asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) { error = e; }));
  // Once `reading` is set the client is suspended in its read.
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        while (!reading) co_await asio::post(io, asio::use_awaitable);
        signal.emit(asio::cancellation_type::terminal);
      },
      asio::detached);
  io.run_for(20s);
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
  EXPECT_TRUE(server.done);  // the connection was closed
  io.restart();
  EXPECT_THROW(run(io, stream->body.read_some()), ConnectionError);
}

// What the server says about a body sizes no memory ahead of the bytes: a
// Content-Length near 2^62 within the limit, reserved whole, would ask for
// more than any allocator grants.
TEST(HttpClient, AContentLengthReservesNothingAheadOfTheBytes) {
  const HttpClientOptions unbounded{.max_body_size = std::numeric_limits<std::size_t>::max()};
  const std::string huge = "HTTP/1.1 200 OK\r\nContent-Length: 4611686018427387904\r\n\r\nx";
  const auto message = error_of<ConnectionError>([&] { fetch(reply(huge), {}, unbounded); });
  EXPECT_TRUE(message.ends_with(" closed before the response was complete")) << message;

  // A body larger than the first reservation still arrives whole.
  const std::string large(300'000, 'b');
  EXPECT_EQ(fetch(reply("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + large)).body, large);
}

// A streamed body read piecewise: the bytes delivered before it ended, and
// the text of the RuntimeError that ended it ("" when it ended normally).
struct Streamed {
  std::size_t delivered = 0;
  std::string error;
};

Streamed stream_all(Script script, HttpClientOptions options, std::string* url) {
  asio::io_context io;
  Server server(io);
  server.start(std::move(script));
  *url = server.url("/s");
  HttpClient client(std::move(options));
  return run(io, [&]() -> asio::awaitable<Streamed> {
    HttpRequest request{.url = server.url("/s?key=secret")};
    auto stream = co_await client.stream(std::move(request));
    Streamed out;
    try {
      for (auto piece = co_await stream.body.read_some(); !piece.empty();
           piece = co_await stream.body.read_some()) {
        out.delivered += piece.size();
      }
    } catch (const core::RuntimeError& error) {
      out.error = error.what();
    }
    co_return out;
  });
}

// max_body_size also caps what a streamed body delivers, however it is
// framed; a Content-Length over it is no error until the bytes come.
TEST(HttpClient, StreamedBodiesKeepToMaxBodySize) {
  const HttpClientOptions small{.max_body_size = 1000};
  const std::string part(1000, 's');
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 4; ++i) chunked += "3e8\r\n" + part + "\r\n";
  chunked += "0\r\n\r\n";
  const std::string framings[] = {
      chunked,
      "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + part + part + part + part,
      "HTTP/1.1 200 OK\r\n\r\n" + part + part + part + part,
  };
  for (const std::string& bytes : framings) {
    std::string url;
    // Written in pieces, so that some arrive before the limit is passed.
    auto script = [bytes](tcp::socket& socket) -> asio::awaitable<void> {
      for (std::size_t at = 0; at < bytes.size(); at += 700) {
        co_await send(socket, bytes.substr(at, 700));
        co_await pause(1ms);
      }
    };
    const Streamed seen = stream_all(script, small, &url);
    EXPECT_EQ(seen.error, "response body from " + url + " exceeds the limit of 1000 bytes")
        << bytes.substr(0, 40);
    EXPECT_LE(seen.delivered, 1000u);
  }
  std::string url;
  const Streamed full =
      stream_all(reply("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + part), small, &url);
  EXPECT_EQ(full.error, "");
  EXPECT_EQ(full.delivered, 1000u);
}

// Interim (1xx) answers before the real one are skipped, on both paths; a
// switch of protocols nobody asked for, or no end of interim answers, is a
// broken connection.
TEST(HttpClient, InterimResponsesAreSkipped) {
  const std::string interim =
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n";
  auto response = fetch(reply(interim + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");
  EXPECT_FALSE(find_header(response.headers, "Link"));
  auto head =
      fetch(reply(interim + "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"), {.method = "HEAD"});
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");

  asio::io_context io;
  Server server(io);
  server.start([](tcp::socket& socket) -> asio::awaitable<void> {
    for (std::string piece :
         {"HTTP/1.1 100 Con", "tinue\r\n\r\nHTTP/1.1 2",
          "01 Created\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n", "0\r\n\r\n"}) {
      co_await send(socket, piece);
      co_await pause(5ms);
    }
  });
  HttpClient client;
  auto streamed = run(io, [&]() -> asio::awaitable<std::string> {
    HttpRequest request{.url = server.url()};
    auto stream = co_await client.stream(std::move(request));
    const std::string body = co_await stream.body.read_all(100);
    co_return std::to_string(stream.head.status) + " " + body;
  });
  EXPECT_EQ(streamed, "201 ok");

  std::string many;
  for (int i = 0; i < 16; ++i) many += "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(fetch(reply(many + "HTTP/1.1 204 No Content\r\n\r\n")).status, 204);
  auto endless = error_of<ConnectionError>(
      [&] { fetch(reply(many + many + "HTTP/1.1 204 No Content\r\n\r\n")); });
  EXPECT_TRUE(endless.starts_with("connection to 127.0.0.1:")) << endless;
  EXPECT_TRUE(endless.ends_with(" sent more than 16 interim (1xx) responses")) << endless;
  auto upgraded = error_of<ConnectionError>([] {
    fetch(
        reply("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
              "Connection: Upgrade\r\n\r\n"));
  });
  EXPECT_TRUE(upgraded.starts_with("connection to 127.0.0.1:")) << upgraded;
  EXPECT_TRUE(upgraded.ends_with(" switched protocols (HTTP 101) without being asked to"))
      << upgraded;
}

TEST(HttpClient, LimitsAndInvalidInput) {
  HttpClientOptions small{.max_body_size = 10};
  auto too_large = error_of<core::RuntimeError>(
      [&] { fetch(reply("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n01234567890"), {}, small); });
  EXPECT_TRUE(too_large.starts_with("response body from http://127.0.0.1:")) << too_large;
  EXPECT_TRUE(too_large.ends_with("/ exceeds the limit of 10 bytes")) << too_large;
  EXPECT_THROW(fetch(reply("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                           "6\r\n012345\r\n6\r\n012345\r\n0\r\n\r\n"),
                     {}, small),
               core::RuntimeError);
  EXPECT_EQ(fetch(reply("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789"), {}, small).body,
            "0123456789");

  asio::io_context streamed;
  Server server(streamed);
  server.start(reply("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789"));
  HttpClient unlimited;
  EXPECT_EQ(error_of<core::RuntimeError>([&] {
              run(streamed, [&]() -> asio::awaitable<void> {
                HttpRequest request{.url = server.url()};
                auto stream = co_await unlimited.stream(std::move(request));
                co_await stream.body.read_all(5);
              });
            }),
            "response body exceeds the limit of 5 bytes");

  // Validation happens before any connection: nothing listens on port 9.
  asio::io_context io;
  HttpClient client;
  auto invalid = [&](HttpRequest request) {
    return error_of<core::ValueError>([&] { run(io, client.request(std::move(request))); });
  };
  EXPECT_EQ(invalid({.method = "GE T", .url = "http://127.0.0.1:9/"}),
            "invalid HTTP method 'GE T': expected a token such as GET or POST");
  EXPECT_EQ(invalid({.url = "http://127.0.0.1:9/",
                     .headers = {{"Authorization", "Bearer x\r\nEvil: 1"}}}),
            "invalid value of HTTP header 'Authorization': it contains CR, LF or NUL");
  EXPECT_EQ(invalid({.url = "http://127.0.0.1:9/", .headers = {{"Content-Length", "3"}}}),
            "HTTP header 'Content-Length' is set by the HTTP client and must not be given");
  EXPECT_EQ(invalid({.url = "http://127.0.0.1:9/", .headers = {{"Bad Name", "v"}}}),
            "invalid HTTP header name 'Bad Name'");
  EXPECT_EQ(invalid({.method = "TRACE", .url = "http://127.0.0.1:9/", .body = "b"}),
            "invalid HTTP request: a TRACE request takes no body");
  EXPECT_EQ(
      invalid({.url = "http://127.0.0.1:9/", .headers = {{"X-Long", std::string(65'534, 'v')}}}),
      "invalid value of HTTP header 'X-Long': it is longer than 65533 bytes");
  EXPECT_EQ(
      invalid({.url = "http://127.0.0.1:9/", .headers = {{std::string(65'534, 'n'), "v"}}}),
      "invalid HTTP header name '" + std::string(100, 'n') + "': it is longer than 65533 bytes");
  EXPECT_EQ(invalid({.url = "ftp://127.0.0.1:9/"}),
            "invalid URL 'ftp://127.0.0.1:9/': unsupported scheme 'ftp' (expected http or https)");
  EXPECT_EQ(error_of<core::ValueError>([] { HttpClient({.idle_timeout = 0ms}); }),
            "idle_timeout must be positive");
}

// A chunk-size line (its extensions included) is held to 4 KiB and a
// trailer to 64 KiB, as a head is capped: beyond them, a server that never
// ends either is refused, not a body that grows without bound.
TEST(HttpClient, ChunkSizeLinesAndTrailersAreCapped) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string short_lines;
  while (short_lines.size() < 100'000) short_lines += "X-T: y\r\n";
  const std::string long_line = " sent a chunk-size line longer than 4096 bytes";
  const std::string long_trailer = " sent a trailer longer than 65536 bytes";
  struct Case {
    std::string shape;
    std::string body;  // after the head
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {"an endless extension", "1;" + std::string(40'000, 'e'), long_line},
      {"an endless extension after a chunk", "2\r\nok\r\n1;" + std::string(40'000, 'e'), long_line},
      {"an endless size", "2\r\nok\r\n" + std::string(5'000, '0'), long_line},
      {"an endless trailer line", "2\r\nok\r\n0\r\nX-T: " + std::string(100'000, 't'),
       long_trailer},
      {"a trailer of many short lines", "2\r\nok\r\n0\r\n" + short_lines, long_trailer},
      // The same arriving whole: the parser would take them at any length.
      {"a whole extension over the limit",
       "2\r\nok\r\n1;" + std::string(5'000, 'e') + "\r\na\r\n0\r\n\r\n", long_line},
      {"a line of 4097 bytes", "3;" + std::string(4'095, 'e') + "\r\nabc\r\n0\r\n\r\n", long_line},
      {"a line of 4096 bytes", "3;" + std::string(4'094, 'e') + "\r\nabc\r\n0\r\n\r\n", "abc"},
      {"a whole size over the limit",
       "2\r\nok\r\n" + std::string(5'000, '0') + "1\r\na\r\n0\r\n\r\n", long_line},
      {"a whole last line over the limit", "0;" + std::string(5'000, 'e') + "\r\n\r\n", long_line},
      {"a whole trailer over the limit",
       "2\r\nok\r\n0\r\nX-T: " + std::string(70'000, 't') + "\r\n\r\n", long_trailer},
      {"extensions and a trailer within the limits",
       "2;a=1;b=\"x\"\r\nok\r\n3;" + std::string(4'000, 'e') +
           "\r\nabc\r\n0;z\r\nX-T: " + std::string(60'000, 't') + "\r\nX-U: u\r\n\r\n",
       "okabc"},
  };
  for (const Case& row : cases) {
    std::string outcome;
    try {
      outcome = fetch(reply(head + row.body)).body;
    } catch (const ConnectionError& error) {
      const std::string text = error.what();
      outcome =
          text.starts_with("connection to 127.0.0.1:") ? text.substr(text.find(' ', 14)) : text;
    }
    EXPECT_EQ(outcome, row.outcome) << row.shape;
  }
}

}  // namespace
}  // namespace zelq::net
