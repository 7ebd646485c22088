// A small HTTP/1.1 server on 127.0.0.1 for tests and benchmarks of clients
// built on zelq::net: it accepts connections on an ephemeral port, over
// plain TCP or TLS, reads requests with Beast (kept alive between requests)
// and hands each to a handler coroutine that writes the answer. Compiled
// once into the testing library zelq_net_testing (never installed); Beast
// and OpenSSL stay in its .cpp.
//
// Not thread-safe: run it and its clients on one io_context run by one
// thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/http_message.hpp"

namespace zelq::net::testing {

// A request as the server read it.
struct ReceivedRequest {
  std::string method;
  std::string target;  // path and query
  HttpHeaders headers;
  std::string body;
  std::size_t connection = 0;  // 1 for the first connection accepted, ...

  // The value of header `name` (any case), or "" when absent.
  std::string header(std::string_view name) const;
  // The body parsed as JSON; throws nlohmann's parse error when it is not.
  core::Value json() const;
};

// The byte stream of one accepted connection, plain or TLS.
class Channel;

// One request and the connection to answer it on. After the handler, the
// connection is kept for the next request when the answer was framed
// (respond, start_events ... end_events, or write_record) and the client did
// not ask to close; after write() or close() it is closed.
class Exchange {
 public:
  Exchange(Channel& channel, ReceivedRequest request)
      : request(std::move(request)), channel_(channel) {}

  ReceivedRequest request;

  core::Value json() const { return request.json(); }

  // Raw bytes; the connection closes after the handler.
  boost::asio::awaitable<void> write(std::string bytes);

  // Raw bytes in one write, which over TLS is one record of its own when it
  // holds at most 16 KiB. The handler frames the answer itself; the
  // connection is kept after it unless close() is called.
  boost::asio::awaitable<void> write_record(std::string bytes);

  // A whole answer with Content-Length and "Content-Type: application/json"
  // unless `headers` (extra "Name: value\r\n" lines) name another.
  boost::asio::awaitable<void> respond(int status, std::string body, std::string headers = {});

  // The head of a chunked event stream; chunk() then sends body bytes and
  // end_events() the last chunk.
  boost::asio::awaitable<void> start_events();
  boost::asio::awaitable<void> chunk(std::string bytes);
  boost::asio::awaitable<void> end_events();

  // Waits until the client closes the connection (or stop()).
  boost::asio::awaitable<void> wait_for_close();

  // Closes the connection after the handler, however the answer was framed.
  void close() noexcept { keep_alive_ = false; }

 private:
  friend class LoopbackServer;
  boost::asio::awaitable<void> send(std::string bytes);

  Channel& channel_;
  bool keep_alive_ = false;
};

// How the server is reached: https serves TLS with a self-signed certificate
// for 127.0.0.1 made once per process, which a client reaches with
// verify_tls off.
enum class Scheme { http, https };

class LoopbackServer {
 public:
  using Handler = std::function<boost::asio::awaitable<void>(Exchange&)>;

  // Listens on 127.0.0.1 at an ephemeral port and serves on `io` until
  // stop() or the io_context ends. `io` must outlive the server.
  LoopbackServer(boost::asio::io_context& io, Handler handler, Scheme scheme = Scheme::http);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // "http://127.0.0.1:<port>/v1" (https for Scheme::https).
  std::string base_url() const;
  // "http://127.0.0.1:<port>" (https for Scheme::https).
  std::string origin() const;
  bool tls() const noexcept;

  // Stops accepting and closes every open connection.
  void stop();
  // Closes the connections waiting for their next request, as a server
  // does when they have been idle too long.
  void drop_idle_connections();

  // A request whose Content-Length is over this many bytes reaches the
  // handler with its head alone (its body empty), and its connection closes
  // after the handler with the body unread, which resets it: as a server
  // that refuses a body too large before reading it. Unset: every body is
  // read.
  std::optional<std::size_t> bodies_read_up_to;
  // Requests read so far, in arrival order.
  std::vector<ReceivedRequest> requests;
  // Connections accepted so far.
  std::size_t connections = 0;
  std::size_t in_flight = 0;
  std::size_t peak = 0;

 private:
  struct State;
  boost::asio::awaitable<void> accept_loop(std::shared_ptr<State> state);
  static boost::asio::awaitable<void> serve(std::shared_ptr<State> state,
                                            boost::asio::ip::tcp::socket socket);

  std::shared_ptr<State> state_;
};

// Runs `client` on `io` next to `server`, stops the server when the client
// is done, and returns the client's result or rethrows its failure. Throws
// std::runtime_error when the run does not end within 30 seconds.
template <class T>
T run_client(boost::asio::io_context& io, LoopbackServer& server,
             boost::asio::awaitable<T> client) {
  std::optional<T> result;
  std::exception_ptr failure;
  bool done = false;
  auto store = [](boost::asio::awaitable<T> aw,
                  std::optional<T>& slot) -> boost::asio::awaitable<void> {
    slot.emplace(co_await std::move(aw));
  };
  boost::asio::co_spawn(io, store(std::move(client), result), [&](std::exception_ptr error) {
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

// A gate a server handler waits at until the client's call has returned,
// so that what the server does next comes after the call ended.
class ReturnGate {
 public:
  explicit ReturnGate(boost::asio::io_context& io);
  // Returns once open() was called (at once when it was).
  boost::asio::awaitable<void> wait();
  // From the call's completion handler.
  void open();
  bool is_open() const noexcept { return open_; }

 private:
  boost::asio::steady_timer timer_;
  bool open_ = false;
};

// How the caller of a call stops it while the call's clean-up sends a
// cancel request: by its own deadline, by one cancellation, or by two.
enum class CallerStop { DEADLINE, CANCEL, CANCEL_TWICE };

// Holds the cancel request of `exchange` while the caller stops as `stop`
// says: until `deadline` has passed, or until `signal` (bound to the
// caller's call) has been emitted once or twice. True when the request is
// then to be answered; false after two cancellations, once the client has
// closed the connection.
boost::asio::awaitable<bool> hold_cancel_request(Exchange& exchange, CallerStop stop,
                                                 std::chrono::steady_clock::time_point deadline,
                                                 boost::asio::cancellation_signal& signal);

}  // namespace zelq::net::testing
