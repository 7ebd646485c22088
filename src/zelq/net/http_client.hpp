// Asynchronous HTTP/1.1 client over TCP or TLS with kept-alive connections.
//
// Connections are pooled per execution context (an io_context) and per
// scheme, host, port and TLS settings: a response read to its end leaves its
// connection for the next request; a connection that failed, timed out, was
// cancelled or whose body was not read to its end is closed, never reused. A
// kept connection that the server closed in the meantime is replaced by a new
// one without an error, as long as no byte of the response had arrived and,
// for a method other than GET, HEAD, OPTIONS, TRACE, PUT and DELETE (a POST
// may start work that must not happen twice), no byte of the request had
// been written; otherwise that is a ConnectionError.
// The pool dies with its io_context.
//
// Every call is a coroutine that runs on the awaiting coroutine's executor and
// starts no threads (name lookups use Asio's resolver thread). That executor
// must not run a call's handlers concurrently: use an io_context run by one
// thread, or a strand. Errors:
//   - zelq::core::ValueError: a bad URL, method or header, before any I/O;
//   - ConnectionError: resolving, connecting, TLS (including certificate and
//     host name verification) or a connection that broke or sent malformed
//     HTTP; as zelq::core::OverLimitError<ConnectionError>, framing over a
//     limit, which a new request would meet again: a response head over
//     64 KiB, a chunk-size line over 4 KiB or a trailer over 64 KiB;
//   - zelq::core::TimeoutError: one of our own deadlines passed;
//   - zelq::core::RuntimeError: a body exceeded max_body_size (see there);
//   - boost::system::system_error with operation_aborted: the caller cancelled
//     (terminal cancellation of the awaiting coroutine).
// After any of these the connection is closed. A non-2xx status is not an
// error here: it is returned like any response (see HttpError). Interim
// (1xx) responses before the final one are skipped; a 101 (switching
// protocols, never asked for) is a ConnectionError. A server that answers
// before it has read the whole request (413 for a body too large) and then
// resets the connection, failing the send, has its answer returned as the
// response; with no answer, the failed send is a ConnectionError.
// Texts of errors never contain header values or the URL's query.
//
// Inside a coroutine, keep a request in a named variable (see "g++ 12 and
// co_await" in README.md).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "zelq/net/http_client_options.hpp"
#include "zelq/net/http_message.hpp"

namespace zelq::net {

namespace detail {
class Connection;
struct ClientState;
}  // namespace detail

// Reads a streamed response body. Move-only; owns the connection, which is
// closed when the body ends, when a read fails or is cancelled, by close(),
// and when the reader is destroyed. One read at a time.
class BodyReader {
 public:
  BodyReader() = default;  // an already finished body
  BodyReader(BodyReader&&) noexcept = default;
  BodyReader& operator=(BodyReader&&) noexcept = default;
  ~BodyReader();

  // Returns the next bytes of the body as they arrive (chunked transfer
  // encoding already removed), or "" once the body has ended; later calls keep
  // returning "". Throws the errors listed at the top of this file, and
  // zelq::core::RuntimeError once the body has brought more than the client's
  // max_body_size (counting what read_some returned); after an error or
  // cancellation every later call throws ConnectionError. While it
  // waits for the server it holds no large read buffer: it waits in a fixed
  // 128-byte one that is part of the connection, and keeps only the bytes
  // that came and are not parsed yet (part of a chunk-size line or trailer,
  // within their limits) in a buffer of at most twice their size, or their
  // size and 128 bytes when that is more. The reader must stay alive until
  // the returned awaitable completes.
  boost::asio::awaitable<std::string> read_some();
  // The same, and when nothing arrives before `deadline` it closes the
  // connection and throws zelq::core::TimeoutError.
  boost::asio::awaitable<std::string> read_some(std::chrono::steady_clock::time_point deadline);

  // Reads the rest of the body. Throws zelq::core::RuntimeError when it holds
  // more than `max_bytes`, otherwise like read_some. The buffer grows as
  // bytes arrive; a Content-Length reserves at most a small first part.
  boost::asio::awaitable<std::string> read_all(std::size_t max_bytes);

  // Closes the connection now; the body ends. No effect when already closed.
  void close() noexcept;

 private:
  friend class HttpClient;
  explicit BodyReader(std::shared_ptr<detail::Connection> connection);

  std::shared_ptr<detail::Connection> connection_;
};

// A response whose body is read piecewise.
struct HttpStream {
  HttpResponseHead head;
  BodyReader body;
};

// Copyable handle; copies share options and the TLS context. A call in
// progress keeps what it needs alive, so the client may be destroyed while
// calls run.
class HttpClient {
 public:
  // Throws zelq::core::ValueError for a non-positive timeout, a malformed
  // default header, an `extra_ca_pem` without a valid certificate, or a TLS
  // context that cannot be set up. The TLS context of the default settings
  // (system CA store, verification on) is built once per process, on first
  // use, and shared by every client.
  explicit HttpClient(HttpClientOptions options = {});

  // Sends `request` and reads the whole response, of any status. Throws the
  // errors listed at the top of this file.
  boost::asio::awaitable<HttpResponse> request(HttpRequest request) const;

  // Sends `request` and returns once the response head has arrived; the body
  // is read from HttpStream::body (a response without body has an empty one).
  // The request timeout, if any, also bounds reading the body.
  boost::asio::awaitable<HttpStream> stream(HttpRequest request) const;

  const HttpClientOptions& options() const noexcept;

 private:
  static boost::asio::awaitable<HttpResponse> do_request(
      std::shared_ptr<const detail::ClientState> state, HttpRequest request);
  static boost::asio::awaitable<HttpStream> do_stream(
      std::shared_ptr<const detail::ClientState> state, HttpRequest request);

  std::shared_ptr<const detail::ClientState> state_;
};

}  // namespace zelq::net
