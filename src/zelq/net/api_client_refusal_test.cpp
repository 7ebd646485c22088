#include "zelq/net/api_client.hpp"

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include "zelq/core/attempt_filter.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
using testing::Exchange;
using testing::LoopbackServer;
using testing::run_client;
using testing::Scheme;

// What a body, a parsed value or a stream may hold; events hold kEventLimit.
constexpr std::size_t kLimit = 4096;
constexpr std::size_t kEventLimit = 1024;

// Each path's answer goes over one limit: "body" as text, "parsed" only once
// parsed (2,000 numbers take 16 bytes each), "stream" in its 64 events of
// 100 bytes, "event" in its one event.
asio::awaitable<void> over_a_limit(Exchange& exchange) {
  const std::string& target = exchange.request.target;
  if (target == "/v1/body" || target == "/v1/parsed") {
    std::string body = "[" + std::string(kLimit, ' ') + "]";
    if (target == "/v1/parsed") {
      body = "[0";
      while (body.size() < kLimit - 8) body += ",0";
      body += "]";
    }
    co_await exchange.respond(200, std::move(body));
    co_return;
  }
  co_await exchange.start_events();
  try {
    if (target == "/v1/event") {
      co_await exchange.chunk("data: " + std::string(2 * kEventLimit, 'x') + "\n\n");
    } else {
      for (int i = 0; i < 64; ++i)
        co_await exchange.chunk("data: " + std::string(94, 'x') + "\n\n");
    }
    co_await exchange.end_events();
  } catch (const std::exception&) {
    // The client hung up at its limit.
  }
}

// Reads the answer of `path` whole: its value, or every event.
asio::awaitable<void> read_whole(ApiClient& client, std::string& path) {
  if (path == "body" || path == "parsed") {
    co_await client.get_json(path);
    co_return;
  }
  ApiEventStream stream = co_await client.get_events(path);
  while (co_await stream.next()) {
  }
}

// "refused: <what>" when the read ends with a refusal over a limit.
asio::awaitable<std::string> read_under(core::RetryConfig policy, ApiClient client,
                                        std::string path) {
  try {
    co_await core::retry(&read_whole, std::move(policy), std::move(client), std::move(path));
  } catch (const core::RuntimeError& error) {
    co_return (core::is_over_limit(std::current_exception()) ? "refused: " : "failed: ") +
        std::string(error.what());
  }
  co_return "read whole";
}

// An answer over a limit would be paid for and refused again: neither the
// default filter of a retry policy nor the attempt filter asks for it twice.
TEST(ApiClientRefusal, AnAnswerOverALimitIsRequestedOnce) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"body", "exceeds 4096 bytes."},
      {"parsed", "needs more than 4096 bytes of memory once parsed"},
      {"stream", "exceeds the limit of 4096 bytes"},
      {"event", "/v1/event exceeds the size limit of 1024 bytes."}};
  const std::vector<std::function<bool(const std::exception_ptr&)>> filters = {
      {}, &core::is_worth_another_attempt<HttpError>};
  for (const auto& [path, refusal] : rows) {
    for (const auto& filter : filters) {
      SCOPED_TRACE(path + (filter ? " under the attempt filter" : " under the default filter"));
      asio::io_context io;
      LoopbackServer server(io, &over_a_limit);
      ApiClientOptions options;
      options.base_url = server.base_url();
      options.max_body_size = kLimit;
      options.max_event_size = kEventLimit;
      core::RetryConfig policy{.max_retries = 2, .base_delay = 0};
      policy.retry_if = filter;
      const std::string outcome =
          run_client(io, server, read_under(policy, ApiClient(options), path));
      EXPECT_THAT(outcome, ::testing::StartsWith("refused: "));
      EXPECT_THAT(outcome, ::testing::HasSubstr(refusal));
      EXPECT_EQ(server.requests.size(), 1u);
    }
  }
}

// A refusal a server sends at once: a 413 before it has read a large body,
// which it then leaves unread (resetting the connection under the client's
// send), and framing over a limit of ours, a head or a chunk-size line.
asio::awaitable<void> refusing_at_once(Exchange& exchange) {
  const std::string& target = exchange.request.target;
  if (target == "/v1/upload") {
    co_await exchange.respond(413, R"({"error":{"message":"Request Entity Too Large"}})");
    exchange.close();
  } else if (target == "/v1/head") {
    co_await exchange.write("HTTP/1.1 200 OK\r\nX-Pad: " + std::string(70'000, 'p') +
                            "\r\nContent-Length: 2\r\n\r\n{}");
  } else {
    co_await exchange.write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                            std::string(5'000, 'e'));
  }
}

// How a POST of `body_size` bytes to `path` ended under `policy`: "HTTP
// <status>: <message>", "refused: <what>" for a refusal over a limit, or
// "failed: <what>".
asio::awaitable<std::string> post_under(core::RetryConfig policy, ApiClient client,
                                        std::string path, std::size_t body_size) {
  auto post = [](ApiClient& client, std::string& path, core::Value& body) {
    return client.post_json(path, body);
  };
  core::Value body = {{"query", std::string(body_size, 'q')}};
  try {
    co_await core::retry(post, std::move(policy), std::move(client), std::move(path),
                         std::move(body));
  } catch (const HttpError& error) {
    co_return "HTTP " + std::to_string(error.status()) + ": " + error.message();
  } catch (const std::exception& error) {
    co_return (core::is_over_limit(std::current_exception()) ? "refused: " : "failed: ") +
        std::string(error.what());
  }
  co_return "answered";
}

class ApiClientRefusalWire : public ::testing::TestWithParam<Scheme> {};

INSTANTIATE_TEST_SUITE_P(Schemes, ApiClientRefusalWire,
                         ::testing::Values(Scheme::http, Scheme::https),
                         [](const ::testing::TestParamInfo<Scheme>& info) {
                           return info.param == Scheme::http ? "http" : "https";
                         });

// A server's refusal is its answer to the request, read as curl reads it,
// and a research policy that retries broken connections never sends the
// request again: one request each.
TEST_P(ApiClientRefusalWire, ARefusalIsReadNotResent) {
  struct Row {
    std::string path;
    std::size_t body_size;
    std::string outcome;
  };
  const std::vector<Row> rows = {
      {"upload", std::size_t{20} << 20, "HTTP 413: Request Entity Too Large"},
      {"head", 10,
       "refused: connection to 127.0.0.1:{port} sent a response head longer than "
       "65536 bytes"},
      {"chunked", 10,
       "refused: connection to 127.0.0.1:{port} sent a chunk-size line longer "
       "than 4096 bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    asio::io_context io;
    LoopbackServer server(io, &refusing_at_once, GetParam());
    server.bodies_read_up_to = std::size_t{1} << 20;
    ApiClientOptions options;
    options.base_url = server.base_url();
    options.verify_tls = !server.tls();
    core::RetryConfig policy{.max_retries = 2, .base_delay = 0};
    policy.retry_if = &core::is_worth_another_attempt<HttpError>;
    std::string expected = row.outcome;
    if (auto at = expected.find("{port}"); at != std::string::npos) {
      const std::string origin = server.origin();
      expected.replace(at, 6, origin.substr(origin.rfind(':') + 1));
    }
    EXPECT_EQ(
        run_client(io, server, post_under(policy, ApiClient(options), row.path, row.body_size)),
        expected);
    EXPECT_EQ(server.requests.size(), 1u);
  }
}

}  // namespace
}  // namespace zelq::net
