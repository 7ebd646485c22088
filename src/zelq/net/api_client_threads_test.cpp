// Clients used from several threads at once, for ThreadSanitizer: the
// connection pool of one io_context shared by clients on several threads,
// and one ApiClient (its request limit, options and TLS settings) serving
// two io_contexts on two threads.
#include "zelq/net/api_client.hpp"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zelq/net/http_client.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
using core::Value;
using testing::Exchange;
using testing::LoopbackServer;
using namespace std::chrono_literals;

// A loopback server on its own io_context and thread. The test reads the
// server's records only after stop(), which joins the thread.
class ServerThread {
 public:
  explicit ServerThread(LoopbackServer::Handler handler)
      : server_(io_, std::move(handler)), thread_([this] { io_.run_for(30s); }) {}
  ~ServerThread() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] { server_.stop(); });
    thread_.join();
  }

  // Only after stop().
  LoopbackServer& server() { return server_; }
  std::string origin() const { return server_.origin(); }
  std::string base_url() const { return server_.base_url(); }

 private:
  asio::io_context io_;
  LoopbackServer server_;
  std::thread thread_;
};

// Runs `io` on `threads` threads until its work is done.
void run_on_threads(asio::io_context& io, int threads) {
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i) pool.emplace_back([&io] { io.run_for(30s); });
  for (auto& thread : pool) thread.join();
}

// Keeps the first failure of any client.
struct Failures {
  std::mutex mutex;
  std::exception_ptr first;
  int done = 0;

  auto handler() {
    return [this](std::exception_ptr error) {
      std::lock_guard lock(mutex);
      if (error && !first) first = error;
      ++done;
    };
  }
};

TEST(ClientsOnThreads, ShareTheConnectionPoolOfOneIoContext) {
  ServerThread server([](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, "echo " + exchange.request.body);
  });
  constexpr int kClients = 4;
  constexpr int kRequests = 25;
  asio::io_context io;
  Failures failures;
  const std::string url = server.origin() + "/echo";
  for (int c = 0; c < kClients; ++c) {
    // Each client on its own strand of an io_context run by kClients
    // threads: the pool is taken from and given back to from all of them.
    auto client = [](std::string url, int c) -> asio::awaitable<void> {
      HttpClient http;  // the default TLS context is built on first use, once
      for (int i = 0; i < kRequests; ++i) {
        HttpRequest request;
        request.method = "POST";
        request.url = url;
        request.body = std::to_string(c) + "/" + std::to_string(i);
        const std::string expected = "echo " + request.body;
        HttpResponse response = co_await http.request(std::move(request));
        if (response.body != expected) throw std::runtime_error("got " + response.body);
      }
    };
    asio::co_spawn(asio::make_strand(io), client(url, c), failures.handler());
  }
  run_on_threads(io, kClients);
  server.stop();

  if (failures.first) std::rethrow_exception(failures.first);
  EXPECT_EQ(failures.done, kClients);
  EXPECT_EQ(server.server().requests.size(), static_cast<std::size_t>(kClients * kRequests));
  // A connection is opened only when none is idle: never more than the
  // requests in flight at once.
  EXPECT_LE(server.server().connections, static_cast<std::size_t>(kClients));
}

TEST(ClientsOnThreads, OneApiClientServesTwoIoContexts) {
  ServerThread server([](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target == "/v1/events") {
      co_await exchange.start_events();
      for (int i = 0; i < 3; ++i) co_await exchange.chunk("data: " + std::to_string(i) + "\n\n");
      co_await exchange.end_events();
    } else {
      co_await exchange.respond(200, exchange.request.body);
    }
  });
  ApiClientOptions options;
  options.base_url = server.base_url();
  // One slot: the two threads hand it to each other.
  options.max_concurrency = 1;
  const ApiClient client(std::move(options));
  constexpr int kRounds = 20;
  auto rounds = [](ApiClient client, int side) -> asio::awaitable<void> {
    for (int i = 0; i < kRounds; ++i) {
      Value body = {{"side", side}, {"i", i}};
      Value answer = co_await client.post_json("items", body);
      if (answer != body) throw std::runtime_error("got " + answer.dump());
      ApiEventStream events = co_await client.get_events("events");
      std::string seen;
      while (auto event = co_await events.next()) seen += event->data;
      if (seen != "012") throw std::runtime_error("events " + seen);
    }
  };
  Failures failures;
  asio::io_context first;
  asio::io_context second;
  asio::co_spawn(first, rounds(client, 1), failures.handler());
  asio::co_spawn(second, rounds(client, 2), failures.handler());
  std::thread other([&] { second.run_for(30s); });
  first.run_for(30s);
  other.join();
  server.stop();

  if (failures.first) std::rethrow_exception(failures.first);
  EXPECT_EQ(failures.done, 2);
  EXPECT_EQ(server.server().requests.size(), static_cast<std::size_t>(2 * 2 * kRounds));
  // The limit holds across the two io_contexts.
  EXPECT_EQ(server.server().peak, 1u);
}

}  // namespace
}  // namespace zelq::net
