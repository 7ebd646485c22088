#include "zelq/net/detail/connection_pool.hpp"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/socket_base.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
using boost::system::error_code;

namespace {

using Stream = std::variant<beast::tcp_stream, TlsStream>;

Stream make_stream(const asio::any_io_executor& executor, ssl::context* context) {
  if (context) return Stream(std::in_place_index<1>, executor, *context);
  return Stream(std::in_place_index<0>, executor);
}

std::shared_ptr<ssl::context> build_tls_context(const HttpClientOptions& options) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  // Idle connections give their OpenSSL read and write buffers back.
  SSL_CTX_set_mode(context->native_handle(), SSL_MODE_RELEASE_BUFFERS);
  if (!options.verify_tls) {
    context->set_verify_mode(ssl::verify_none);
    return context;
  }
  context->set_verify_mode(ssl::verify_peer);
  error_code ec;
  context->set_default_verify_paths(ec);
  if (ec) throw core::ValueError("cannot load the system CA certificates: " + ec.message());
  if (!options.extra_ca_pem.empty()) {
    context->add_certificate_authority(asio::buffer(options.extra_ca_pem), ec);
    if (ec) throw core::ValueError("extra_ca_pem holds no valid PEM certificate: " + ec.message());
  }
  return context;
}

}  // namespace

Transport::Transport(const asio::any_io_executor& executor, std::shared_ptr<ssl::context> tls)
    : context(std::move(tls)), stream(make_stream(executor, context.get())) {}

beast::tcp_stream& Transport::tcp() {
  return std::visit([](auto& s) -> beast::tcp_stream& { return beast::get_lowest_layer(s); },
                    stream);
}

void Transport::close() noexcept {
  error_code ignored;
  auto& socket = tcp().socket();
  socket.shutdown(asio::socket_base::shutdown_both, ignored);
  socket.close(ignored);
}

// Open and quiet: a peek that would have to wait. One system call, which
// leaves the socket's blocking mode alone (toggling it costs two more per
// request on a kept connection).
bool Transport::idle_and_open() {
  auto& socket = tcp().socket();
  if (!socket.is_open()) return false;
  char byte;
  const auto got = ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::unique_ptr<Transport> ConnectionPool::take(const PoolKey& key,
                                                std::chrono::milliseconds idle_limit) {
  const auto now = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  auto it = idle_.find(key);
  while (it != idle_.end() && !it->second.empty()) {
    std::unique_ptr<Transport> transport = std::move(it->second.back());
    it->second.pop_back();
    if (now - transport->idle_since < idle_limit && transport->idle_and_open()) return transport;
    transport->close();
  }
  return nullptr;
}

void ConnectionPool::put(const PoolKey& key, std::unique_ptr<Transport> transport,
                         std::size_t cap) {
  if (cap == 0) {
    transport->close();
    return;
  }
  transport->idle_since = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  auto& idle = idle_[key];
  idle.push_back(std::move(transport));
  while (idle.size() > cap) {
    idle.front()->close();
    idle.pop_front();
  }
}

void ConnectionPool::shutdown() {
  std::unique_lock lock(mutex_);
  for (auto& [key, idle] : idle_) {
    for (auto& transport : idle) transport->close();
  }
  idle_.clear();
}

std::shared_ptr<ssl::context> tls_context_for(const HttpClientOptions& options) {
  if (options.verify_tls && options.extra_ca_pem.empty()) {
    // Loading the system CA store takes tens of milliseconds: once.
    static const std::shared_ptr<ssl::context> shared = build_tls_context(options);
    return shared;
  }
  return build_tls_context(options);
}

}  // namespace zelq::net::detail
