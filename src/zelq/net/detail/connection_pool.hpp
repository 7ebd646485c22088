// Internal to zelq_net (included by its .cpp files only; it pulls in Beast
// and OpenSSL): the socket of a connection and the pool that keeps idle ones
// per execution context, and the process-wide TLS context.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <variant>

#include <boost/asio/execution_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "zelq/net/http_client_options.hpp"

namespace zelq::net::detail {

using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

// The byte stream of one connection, plain or TLS. A TLS stream keeps its
// context alive.
struct Transport {
  Transport(const boost::asio::any_io_executor& executor,
            std::shared_ptr<boost::asio::ssl::context> context);

  boost::beast::tcp_stream& tcp();
  TlsStream* tls() { return std::get_if<TlsStream>(&stream); }
  // Shuts the socket down and closes it; never throws.
  void close() noexcept;
  // True when the socket is open, the peer has not closed it and nothing
  // unread is waiting on it (checked without blocking).
  bool idle_and_open();

  std::shared_ptr<boost::asio::ssl::context> context;
  std::variant<boost::beast::tcp_stream, TlsStream> stream;
  std::chrono::steady_clock::time_point idle_since{};
};

// Which requests may share a connection: same scheme, host, port and TLS
// context (so a connection verified under one trust store never serves
// another).
struct PoolKey {
  std::string scheme;
  std::string host;
  std::uint16_t port = 0;
  const void* tls = nullptr;

  bool operator<(const PoolKey& other) const {
    return std::tie(scheme, host, port, tls) <
           std::tie(other.scheme, other.host, other.port, other.tls);
  }
};

// The idle connections of one execution context; destroyed with it, so no
// socket outlives its io_context. Thread-safe.
class ConnectionPool : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;

  explicit ConnectionPool(boost::asio::execution_context& context)
      : boost::asio::execution_context::service(context) {}

  // The most recently kept connection for `key` that is still usable and
  // was idle for less than `idle_limit`, or null; unusable ones are closed.
  std::unique_ptr<Transport> take(const PoolKey& key, std::chrono::milliseconds idle_limit);

  // Keeps `transport` for `key`; beyond `cap` idle connections per key the
  // oldest is closed.
  void put(const PoolKey& key, std::unique_ptr<Transport> transport, std::size_t cap);

 private:
  void shutdown() override;

  std::mutex mutex_;
  std::map<PoolKey, std::deque<std::unique_ptr<Transport>>> idle_;
};

// The TLS context for clients with these options: the process-wide one of
// the default settings (built on first use, thread-safe), or a new one for
// verification off or extra CA certificates. Throws zelq::core::ValueError
// when the CA store or extra_ca_pem cannot be loaded.
std::shared_ptr<boost::asio::ssl::context> tls_context_for(const HttpClientOptions& options);

}  // namespace zelq::net::detail
