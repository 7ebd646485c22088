#include "zelq/net/http_client.hpp"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <future>
#include <memory>
#include <string>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct Identity {
  std::string certificate_pem;
  std::string key_pem;
};

std::string pem_of(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  EXPECT_EQ(write(bio.get()), 1);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// A self-signed certificate for `subject_alt_name` (e.g. "IP:127.0.0.1").
Identity make_identity(const std::string& subject_alt_name) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("zelq test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, subject_alt_name.c_str());
  X509_add_ext(cert.get(), san, -1);
  X509_EXTENSION_free(san);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return {pem_of([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); }),
          pem_of([&](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
          })};
}

// Accepts one connection on 127.0.0.1 and, unless `handshake` is false,
// completes a TLS handshake and answers every request on it with "secure"
// (kept alive).
class TlsServer {
 public:
  TlsServer(asio::io_context& io, const Identity& identity, bool handshake = true)
      : acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
        handshake_(handshake) {
    context_.use_certificate_chain(asio::buffer(identity.certificate_pem));
    context_.use_private_key(asio::buffer(identity.key_pem), ssl::context::pem);
    asio::co_spawn(io, serve(), asio::detached);
  }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::string server_name;  // the SNI the client sent
  bool handshake_failed = false;
  int answered = 0;

 private:
  asio::awaitable<void> serve() {
    ssl::stream<tcp::socket> stream(co_await acceptor_.async_accept(asio::use_awaitable), context_);
    char byte;
    auto tuple = asio::as_tuple(asio::use_awaitable);
    if (!handshake_) {
      // Hold the connection without a handshake until the client gives up.
      while (!std::get<0>(
          co_await stream.next_layer().async_read_some(asio::buffer(&byte, 1), tuple))) {
      }
      co_return;
    }
    auto [ec] = co_await stream.async_handshake(ssl::stream_base::server, tuple);
    if (ec) {
      handshake_failed = true;
      co_return;
    }
    if (const char* sni = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name)) {
      server_name = sni;
    }
    while (true) {
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        auto [read_ec, n] = co_await stream.async_read_some(asio::buffer(&byte, 1), tuple);
        if (read_ec) co_return;
        request.push_back(byte);
      }
      std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecure";
      auto [write_ec, written] = co_await asio::async_write(stream, asio::buffer(response), tuple);
      if (write_ec) co_return;
      ++answered;
    }
  }

  tcp::acceptor acceptor_;
  ssl::context context_{ssl::context::tls_server};
  bool handshake_;
};

std::string fetch(asio::io_context& io, const HttpClient& client, std::string url) {
  io.restart();
  auto future = asio::co_spawn(io, client.request({.url = std::move(url)}), asio::use_future);
  // Until the answer: the server goes on waiting for the next request.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (future.wait_for(0s) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline && io.run_one_for(20s) > 0) {
  }
  if (future.wait_for(0s) != std::future_status::ready) throw std::runtime_error("test hung");
  io.run_for(20ms);  // lets the server see what the client did last
  return future.get().body;
}

std::string connection_error(asio::io_context& io, const HttpClient& client, std::string url) {
  try {
    fetch(io, client, std::move(url));
  } catch (const ConnectionError& e) {
    return e.what();
  }
  return "no ConnectionError";
}

TEST(HttpClientTls, VerifiesCertificatesByDefault) {
  auto loopback = make_identity("IP:127.0.0.1");
  {
    asio::io_context io;
    TlsServer server(io, loopback);
    auto url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
    EXPECT_EQ(connection_error(io, HttpClient(), url),
              "TLS handshake with 127.0.0.1:" + std::to_string(server.port()) +
                  " failed: certificate verification failed: self-signed certificate");
    EXPECT_TRUE(server.handshake_failed);
  }
  {
    // Trusted, but issued for another name.
    asio::io_context io;
    auto other = make_identity("DNS:other.test");
    TlsServer server(io, other);
    auto url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
    HttpClient client({.extra_ca_pem = other.certificate_pem});
    EXPECT_EQ(connection_error(io, client, url),
              "TLS handshake with 127.0.0.1:" + std::to_string(server.port()) +
                  " failed: certificate verification failed: IP address mismatch");
  }
}

TEST(HttpClientTls, TrustedOrUnverifiedServersAnswer) {
  auto loopback = make_identity("IP:127.0.0.1");
  {
    asio::io_context io;
    TlsServer server(io, loopback);
    HttpClient client({.extra_ca_pem = loopback.certificate_pem});
    EXPECT_EQ(fetch(io, client, "https://127.0.0.1:" + std::to_string(server.port()) + "/"),
              "secure");
    EXPECT_EQ(server.server_name, "");  // no SNI for an address
  }
  {
    asio::io_context io;
    auto named = make_identity("DNS:localhost");
    TlsServer server(io, named);
    HttpClient client({.extra_ca_pem = named.certificate_pem});
    EXPECT_EQ(fetch(io, client, "https://localhost:" + std::to_string(server.port()) + "/"),
              "secure");
    EXPECT_EQ(server.server_name, "localhost");
  }
  {
    asio::io_context io;
    TlsServer server(io, make_identity("DNS:other.test"));
    HttpClient client({.verify_tls = false});
    EXPECT_EQ(fetch(io, client, "https://127.0.0.1:" + std::to_string(server.port()) + "/"),
              "secure");
  }
}

TEST(HttpClientTls, ConnectionsAreKeptPerTrustSettings) {
  auto loopback = make_identity("IP:127.0.0.1");
  asio::io_context io;
  TlsServer server(io, loopback);
  const auto url = "https://127.0.0.1:" + std::to_string(server.port()) + "/";
  HttpClient client({.extra_ca_pem = loopback.certificate_pem});
  // The server accepts one connection only: the later requests must reuse it,
  // also from a copy of the client.
  EXPECT_EQ(fetch(io, client, url), "secure");
  EXPECT_EQ(fetch(io, client, url), "secure");
  EXPECT_EQ(fetch(io, HttpClient(client), url), "secure");
  EXPECT_EQ(server.answered, 3);
  // A client with other trust settings never takes that connection: its
  // own attempt waits for a connection the server never accepts.
  HttpClient unverified({.connect_timeout = 100ms, .verify_tls = false});
  EXPECT_THROW(fetch(io, unverified, url), core::TimeoutError);
  EXPECT_EQ(server.answered, 3);
}

TEST(HttpClientTls, HandshakeCountsAgainstConnectTimeout) {
  asio::io_context io;
  TlsServer server(io, make_identity("IP:127.0.0.1"), /*handshake=*/false);
  HttpClient client({.connect_timeout = 100ms});
  auto endpoint = "127.0.0.1:" + std::to_string(server.port());
  try {
    fetch(io, client, "https://" + endpoint + "/");
    FAIL() << "no timeout";
  } catch (const core::TimeoutError& e) {
    EXPECT_EQ(std::string(e.what()), "connecting to " + endpoint + " timed out after 100 ms");
  }
  EXPECT_THROW(HttpClient({.extra_ca_pem = "not a certificate"}), core::ValueError);
}

}  // namespace
}  // namespace zelq::net
