// Internal: the connection behind one request, and the pool of kept-alive
// connections. Beast and OpenSSL stay in http_connection.cpp.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "zelq/net/http_client_options.hpp"
#include "zelq/net/http_message.hpp"

namespace zelq::net::detail {

using Clock = std::chrono::steady_clock;

// Options and the TLS context, shared by a client's copies and its calls.
struct ClientState;

// Throws zelq::core::ValueError for invalid options (see validate_options) or
// an unusable extra_ca_pem.
std::shared_ptr<const ClientState> make_client_state(HttpClientOptions options);
const HttpClientOptions& options_of(const ClientState& state) noexcept;

// An open connection positioned at the start of a response body.
class Connection {
 public:
  virtual ~Connection() = default;

  // Reads up to `capacity` (> 0) body bytes into `out` and returns how many;
  // 0 once the body has ended, after which the connection is back in the
  // pool or closed. `out` must stay valid until the awaitable completes.
  // Errors as HttpClient's.
  virtual boost::asio::awaitable<std::size_t> read_body(char* out, std::size_t capacity) = 0;

  // Returns the body bytes that arrive next ("" at the end of the body),
  // holding no read buffer while it waits. A `deadline` that passes first
  // closes the connection and throws zelq::core::TimeoutError.
  virtual boost::asio::awaitable<std::string> read_body_some(
      std::optional<Clock::time_point> deadline) = 0;

  // The Content-Length of the body, when the server sent one.
  virtual std::optional<std::uint64_t> content_length() const = 0;

  // Closes the socket unless the body has ended; later reads throw
  // ConnectionError (or return nothing when the body had already ended).
  virtual void close() noexcept = 0;
};

struct OpenedResponse {
  HttpResponseHead head;
  std::shared_ptr<Connection> connection;
};

// Validates `request`, takes a kept connection or connects, sends it and
// reads the response head. `body_limit` is the largest body the connection
// accepts (nullopt: any).
boost::asio::awaitable<OpenedResponse> open_connection(std::shared_ptr<const ClientState> state,
                                                       HttpRequest request,
                                                       std::optional<std::uint64_t> body_limit);

}  // namespace zelq::net::detail
