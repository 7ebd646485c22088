#include "zelq/net/http_client.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/sse_reader.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/net/testing/tls_identity.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

using Identity = testing::TlsIdentity;
using testing::make_identity;

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

// What `frame(k)` (with k bytes of filler) makes, at least `size` bytes
// long, cut so that its last part holds exactly `size` bytes: the whole
// text when it is that long, else the rest before it. Each part is sent as
// a TLS record of its own.
std::vector<std::string> records_ending_in(std::size_t size,
                                           const std::function<std::string(std::size_t)>& frame) {
  const std::size_t shortest = frame(0).size();
  std::size_t filler = size > shortest ? size - shortest : 0;
  while (filler > 0 && frame(filler).size() > size) --filler;
  while (frame(filler).size() < size) ++filler;
  const std::string whole = frame(filler);
  std::vector<std::string> records;
  if (whole.size() > size) records.push_back(whole.substr(0, whole.size() - size));
  records.push_back(whole.substr(whole.size() - size));
  return records;
}

std::string answer_of(std::size_t filler) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(filler) + "\r\n\r\n" +
         std::string(filler, 'a');
}

// An event of `filler` bytes of data in a chunk of its own.
std::string event_chunk_of(std::size_t filler) {
  const std::string event = "data:" + std::string(filler, 'e') + "\n\n";
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", event.size());
  return size + event + "\r\n";
}

// Opened by the client once it has what the server sent: the server waits
// for it before it sends anything more.
class Gate {
 public:
  explicit Gate(asio::io_context& io) : timer_(io, asio::steady_timer::time_point::max()) {}

  void open() {
    open_ = true;
    timer_.cancel();
  }

  asio::awaitable<void> pass() {
    while (!open_) co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
    open_ = false;
  }

 private:
  asio::steady_timer timer_;
  bool open_ = false;
};

// Whatever size the TLS record holding the end of an answer or an event has,
// the client reads it at once: it never waits for a next record because one
// filled its read buffer. The server sends nothing more until the client
// has the answer or event, so a client that waited would stall until its
// idle limit. All sizes go over one kept connection.
TEST(HttpClientTls, RecordsOfEverySizeAreReadAtOnce) {
  std::vector<std::size_t> sizes;
  for (std::size_t size = 1; size <= 300; ++size) sizes.push_back(size);
  sizes.push_back(16 * 1024);
  asio::io_context io;
  Gate event_seen(io);
  testing::LoopbackServer server(
      io,
      [&](testing::Exchange& exchange) -> asio::awaitable<void> {
        const std::string& target = exchange.request.target;
        const std::size_t size = std::stoul(target.substr(target.rfind('/') + 1));
        if (target.starts_with("/v1/answer/")) {
          for (auto& record : records_ending_in(size, &answer_of)) {
            co_await exchange.write_record(std::move(record));
          }
          co_return;
        }
        co_await exchange.write_record(
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
            "Transfer-Encoding: chunked\r\n\r\n");
        for (auto& record : records_ending_in(size, &event_chunk_of)) {
          co_await exchange.write_record(std::move(record));
        }
        co_await event_seen.pass();
        co_await exchange.write_record("0\r\n\r\n");
      },
      testing::Scheme::https);
  // A stall fails at the idle limit instead of hanging the test.
  const HttpClient client({.idle_timeout = 5s, .verify_tls = false});
  auto scenario = [&]() -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> faults;
    for (const std::size_t size : sizes) {
      const std::string name = std::to_string(size) + " bytes: ";
      try {
        HttpRequest request{.url = server.base_url() + "/answer/" + std::to_string(size)};
        const HttpResponse response = co_await client.request(std::move(request));
        if (response.body.find_first_not_of('a') != std::string::npos) {
          faults.push_back(name + "answer " + response.body);
        }
      } catch (const std::exception& error) {
        faults.push_back(name + "answer: " + error.what());
      }
      try {
        HttpRequest request{.url = server.base_url() + "/events/" + std::to_string(size)};
        SseReader reader((co_await client.stream(std::move(request))).body);
        const auto event = co_await reader.next();
        event_seen.open();
        if (!event || event->data.find_first_not_of('e') != std::string::npos) {
          faults.push_back(name + "no event");
        }
        if (co_await reader.next()) faults.push_back(name + "a second event");
      } catch (const std::exception& error) {
        event_seen.open();
        faults.push_back(name + "event: " + error.what());
      }
    }
    co_return faults;
  };
  EXPECT_EQ(testing::run_client(io, server, scenario()), std::vector<std::string>{});
  EXPECT_EQ(server.connections, 1u);
  EXPECT_EQ(server.requests.size(), 2 * sizes.size());
}

// A chunk-size line or trailer over its limit is refused over TLS too,
// whether it comes whole in one read or spread over records of 1,000 bytes;
// framing within the limits reads as before.
TEST(HttpClientTls, OverlongChunkFramingIsRefusedHoweverItArrives) {
  struct Case {
    std::string body;     // after the head
    std::string outcome;  // the body, or how the error ends
  };
  const std::vector<Case> cases = {
      {"2\r\nok\r\n1;" + std::string(5'000, 'e') + "\r\na\r\n0\r\n\r\n",
       " sent a chunk-size line longer than 4096 bytes"},
      {"2\r\nok\r\n0\r\nX-T: " + std::string(70'000, 't') + "\r\n\r\n",
       " sent a trailer longer than 65536 bytes"},
      {"2\r\nok\r\n3;" + std::string(4'000, 'e') + "\r\nabc\r\n0\r\nX-T: t\r\n\r\n", "okabc"},
  };
  asio::io_context io;
  testing::LoopbackServer server(
      io,
      [&](testing::Exchange& exchange) -> asio::awaitable<void> {
        const std::string& target = exchange.request.target;
        const Case& row = cases.at(std::stoul(target.substr(target.rfind('/') + 1)));
        std::string bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + row.body;
        if (target.find("/whole/") != std::string::npos) {
          co_await exchange.write_record(std::move(bytes));
          co_return;
        }
        for (std::size_t at = 0; at < bytes.size(); at += 1'000) {
          co_await exchange.write_record(bytes.substr(at, 1'000));
        }
      },
      testing::Scheme::https);
  const HttpClient client({.idle_timeout = 5s, .verify_tls = false});
  auto scenario = [&]() -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> outcomes;
    for (const std::string mode : {"whole", "pieces"}) {
      for (std::size_t i = 0; i < cases.size(); ++i) {
        HttpRequest request{.url = server.base_url() + "/" + mode + "/" + std::to_string(i)};
        std::string outcome;
        try {
          outcome = (co_await client.request(std::move(request))).body;
        } catch (const ConnectionError& error) {
          const std::string text = error.what();
          outcome = text.substr(text.find(" sent "));
        }
        outcomes.push_back(mode + " " + std::to_string(i) + ":" + outcome);
      }
    }
    co_return outcomes;
  };
  std::vector<std::string> expected;
  for (const std::string mode : {"whole", "pieces"}) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      expected.push_back(mode + " " + std::to_string(i) + ":" + cases[i].outcome);
    }
  }
  EXPECT_EQ(testing::run_client(io, server, scenario()), expected);
}

// A request body is sent whole over TLS, however many records it takes and
// wherever the head's record ends in it.
TEST(HttpClientTls, ARequestBodyIsSentWholeWhateverItsSize) {
  const std::vector<std::size_t> sizes = {0, 1, 16'000, 16'384, 16'385, 100'000, 600'000};
  asio::io_context io;
  testing::LoopbackServer server(
      io,
      [](testing::Exchange& exchange) -> asio::awaitable<void> {
        const std::string& body = exchange.request.body;
        const bool intact = body.find_first_not_of('b') == std::string::npos;
        co_await exchange.respond(200, std::to_string(body.size()) + (intact ? "" : " mangled"));
      },
      testing::Scheme::https);
  const HttpClient client({.idle_timeout = 5s, .verify_tls = false});
  auto scenario = [&]() -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> received;
    for (const std::size_t size : sizes) {
      HttpRequest request{
          .method = "POST", .url = server.base_url(), .body = std::string(size, 'b')};
      received.push_back((co_await client.request(std::move(request))).body);
    }
    co_return received;
  };
  std::vector<std::string> expected;
  for (const std::size_t size : sizes) expected.push_back(std::to_string(size));
  EXPECT_EQ(testing::run_client(io, server, scenario()), expected);
}

}  // namespace
}  // namespace zelq::net
