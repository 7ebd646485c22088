#include "zelq/net/api_client.hpp"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

// The memory budget of reading one text, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

namespace asio = boost::asio;
using core::Value;
using testing::Exchange;
using testing::LoopbackServer;
using testing::run_client;
using testing::Scheme;
using namespace std::chrono_literals;

const std::string kKey = "sk-api-test-42";

// Reaches a TLS server without checking its certificate.
ApiClient client_for(const LoopbackServer& server, ApiClientOptions options = {}) {
  options.base_url = server.base_url();
  options.api_key = kKey;
  options.headers = {{"x-api-key", kKey}};
  options.verify_tls = !server.tls();
  return ApiClient(std::move(options));
}

// The tests that run over plain TCP and over TLS.
class ApiClientWire : public ::testing::TestWithParam<Scheme> {};

INSTANTIATE_TEST_SUITE_P(Schemes, ApiClientWire, ::testing::Values(Scheme::http, Scheme::https),
                         [](const ::testing::TestParamInfo<Scheme>& info) {
                           return info.param == Scheme::http ? "http" : "https";
                         });

// A client with a single request slot.
ApiClient one_slot_client(const LoopbackServer& server) {
  ApiClientOptions options;
  options.max_concurrency = 1;
  return client_for(server, std::move(options));
}

// A GET of `path` with its own time limit.
ApiRequest timed_get(std::string path, std::chrono::milliseconds timeout) {
  ApiRequest request;
  request.method = "GET";
  request.path = std::move(path);
  request.timeout = timeout;
  return request;
}

// Errors never show the key.
template <class Error, class F>
std::string error_of(F&& call) {
  return net::testing::error_of<Error>(call, kKey);
}

TEST_P(ApiClientWire, JsonRequestsReuseOneConnection) {
  asio::io_context io;
  LoopbackServer server(
      io,
      [](Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200,
                                  R"({"n":)" + std::to_string(exchange.request.body.size()) + "}");
      },
      GetParam());
  ApiClient client = client_for(server);
  // Built outside the coroutine: g++ 12 rejects some braced lists inside.
  ApiRequest get;
  get.method = "GET";
  get.path = "items/7?full=true";
  get.headers = {{"parallel-beta", "b1,b2"}, {"x-api-key", "override"}};
  auto sequential = [](ApiClient client, ApiRequest get) -> asio::awaitable<int> {
    int total = 0;
    for (int i = 0; i < 100; ++i) {
      Value body = Value::object();
      body["i"] = i;
      Value answer = co_await client.post_json("items", std::move(body));
      total += answer.at("n").get<int>();
    }
    Value last = co_await client.request_json(std::move(get));
    co_return total + last.at("n").get<int>();
  };
  EXPECT_GT(run_client(io, server, sequential(client, get)), 0);
  EXPECT_EQ(server.connections, 1u);
  ASSERT_EQ(server.requests.size(), 101u);
  EXPECT_EQ(server.requests[0].header("x-api-key"), kKey);
  EXPECT_EQ(server.requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(server.requests[0].target, "/v1/items");
  const auto& seen = server.requests.back();
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.target, "/v1/items/7?full=true");
  EXPECT_EQ(seen.header("parallel-beta"), "b1,b2");
  EXPECT_EQ(seen.header("x-api-key"), "override");
  EXPECT_EQ(seen.body, "");
}

TEST_P(ApiClientWire, BrokenOrFailedConnectionsAreNotReused) {
  asio::io_context io;
  int calls = 0;
  LoopbackServer* self = nullptr;
  LoopbackServer server(
      io,
      [&](Exchange& exchange) -> asio::awaitable<void> {
        ++calls;
        if (calls == 3) {
          // Stalls: the client's deadline ends this one.
          co_await exchange.wait_for_close();
          co_return;
        }
        co_await exchange.respond(200, R"({"ok":true})");
        (void)self;
      },
      GetParam());
  self = &server;
  ApiClient client = client_for(server);
  auto scenario = [](ApiClient client, LoopbackServer& server) -> asio::awaitable<std::string> {
    co_await client.get_json("a");
    // The server drops the kept connection between requests: replaced
    // without an error.
    server.drop_idle_connections();
    asio::steady_timer pause(co_await asio::this_coro::executor, 5ms);
    co_await pause.async_wait(asio::use_awaitable);
    co_await client.get_json("b");
    std::string timed_out;
    // Only this request has the short limit, so a slow run never times out
    // the others.
    ApiRequest stalled;
    stalled.method = "GET";
    stalled.path = "c";
    stalled.timeout = 50ms;
    try {
      co_await client.request_json(std::move(stalled));
    } catch (const core::TimeoutError& error) {
      timed_out = error.what();
    }
    co_await client.get_json("d");
    co_return timed_out;
  };
  const std::string timed_out = run_client(io, server, scenario(client, server));
  EXPECT_NE(timed_out.find("timed out after 50 ms"), std::string::npos) << timed_out;
  ASSERT_EQ(server.requests.size(), 4u);
  EXPECT_EQ(server.requests[0].connection, 1u);
  EXPECT_EQ(server.requests[1].connection, 2u);
  EXPECT_EQ(server.requests[2].connection, 2u);
  // The timed-out connection was closed, not reused.
  EXPECT_EQ(server.requests[3].connection, 3u);
}

asio::awaitable<std::vector<SseEvent>> read_events(ApiClient client, ApiRequest request) {
  ApiEventStream stream = co_await client.request_events(std::move(request));
  std::vector<SseEvent> events;
  while (auto event = co_await stream.next()) events.push_back(std::move(*event));
  co_return events;
}

asio::awaitable<void> pause(std::chrono::milliseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

// Waits until `flag` is set, at most ten seconds (generous for a loaded
// sanitizer run); returns the flag.
asio::awaitable<bool> wait_until(const bool& flag) {
  for (int i = 0; i < 2000 && !flag; ++i) co_await pause(5ms);
  co_return flag;
}

TEST_P(ApiClientWire, StreamsNamedAndDataOnlyEvents) {
  asio::io_context io;
  LoopbackServer server(
      io,
      [](Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.start_events();
        co_await exchange.chunk("event: response.created\ndata: {\"id\":1}\n\n: ping\n\n");
        co_await exchange.chunk("data: {\"delta\":\"a\"}\n");
        co_await exchange.chunk("\nid: 9\ndata: [DONE]\n\n");
        co_await exchange.end_events();
      },
      GetParam());
  ApiClient client = client_for(server);
  ApiRequest request;
  request.path = "responses";
  request.body = Value{{"stream", true}};
  auto twice = [](ApiClient client, ApiRequest request) -> asio::awaitable<std::vector<SseEvent>> {
    auto events = co_await read_events(client, request);
    co_await read_events(client, request);
    co_return events;
  };
  auto events = run_client(io, server, twice(client, request));
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].event, "response.created");
  EXPECT_EQ(events[0].data, R"({"id":1})");
  EXPECT_EQ(events[1].event, "message");
  EXPECT_EQ(events[2].id, "9");
  EXPECT_EQ(server.requests[0].header("Accept"), "text/event-stream");
  // The first stream was read to its end: the second reuses the connection.
  EXPECT_EQ(server.requests[1].connection, 1u);
}

TEST(ApiClient, SilentOrAbandonedStreamsCloseTheirConnection) {
  asio::io_context io;
  bool closed = false;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    if (exchange.request.target == "/v1/events") co_await exchange.chunk("data: first\n\n");
    // Comments keep the connection busy but are no events.
    try {
      for (int i = 0; i < 20; ++i) {
        co_await exchange.chunk(": keep-alive\n\n");
        co_await pause(5ms);
      }
    } catch (const std::exception&) {
    }
    co_await exchange.wait_for_close();
    closed = true;
  });
  ApiClient client = client_for(server);
  ApiRequest request;
  request.method = "GET";
  request.path = "runs/r1/events";
  request.event_timeout = 40ms;
  auto scenario = [&closed](ApiClient client,
                            ApiRequest request) -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> seen;
    try {
      co_await read_events(client, request);
    } catch (const core::TimeoutError& error) {
      seen.push_back(error.what());
    }
    seen.push_back(co_await wait_until(closed) ? "closed" : "open");
    closed = false;
    {
      ApiEventStream stream = co_await client.get_events("events");
      auto event = co_await stream.next();
      seen.push_back(event->data);
    }  // abandoned before its end
    seen.push_back(co_await wait_until(closed) ? "closed" : "open");
    co_return seen;
  };
  EXPECT_EQ(run_client(io, server, scenario(client, request)),
            (std::vector<std::string>{
                "No event from GET " + server.base_url() + "/runs/r1/events within 40 ms.",
                "closed", "first", "closed"}));
  EXPECT_EQ(server.connections, 2u);
}

TEST(ApiClient, CancellationClosesTheStreamAndFreesItsSlot) {
  asio::io_context io;
  bool closed = false;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target == "/v1/after") {
      co_await exchange.respond(200, "{}");
      co_return;
    }
    co_await exchange.start_events();
    co_await exchange.chunk("data: one\n\n");
    co_await exchange.wait_for_close();
    closed = true;
  });
  ApiClientOptions options;
  options.max_concurrency = 1;
  ApiClient client = client_for(server, options);
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  bool done = false;
  bool first_seen = false;
  auto waiting = [&first_seen](ApiClient client) -> asio::awaitable<void> {
    ApiEventStream stream = co_await client.get_events("events");
    co_await stream.next();
    first_seen = true;
    co_await stream.next();  // never comes: cancelled
  };
  asio::co_spawn(io, waiting(client),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr error) {
                   failure = error;
                   done = true;
                 }));
  // Cancelled only once it waits for the second event.
  for (int i = 0; i < 1000 && !first_seen; ++i) io.run_for(10ms);
  ASSERT_TRUE(first_seen);
  io.run_for(10ms);
  ASSERT_FALSE(done);
  signal.emit(asio::cancellation_type::terminal);
  // Runs until the cancellation has finished and the server saw the close,
  // with a limit generous enough for a loaded sanitizer run.
  for (int i = 0; i < 1000 && !(done && closed); ++i) {
    io.restart();
    io.run_for(10ms);
  }
  ASSERT_TRUE(done);
  EXPECT_TRUE(closed);  // by the client, before the server stops
  // The only request slot is free again: this request goes through.
  EXPECT_EQ(run_client(io, server, client.get_json("after")), Value::object());
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), asio::error::operation_aborted);
  }
}

// One slot, held by a stream that stays open: a request with a time limit
// gives up waiting for the slot within it, naming itself, and a waiter
// without one leaves when cancelled; neither reaches the server.
TEST(ApiClient, WaitingForASlotEndsAtTheTimeoutOrCancellation) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target != "/v1/events") {
      co_await exchange.respond(200, "{}");
      co_return;
    }
    co_await exchange.start_events();
    co_await exchange.chunk("data: held\n\n");
    co_await exchange.wait_for_close();
  });
  ApiClient client = one_slot_client(server);
  const ApiRequest limited = timed_get("limited?x=1", 50ms);
  auto scenario = [](ApiClient client, ApiRequest limited) -> asio::awaitable<std::string> {
    ApiEventStream held = co_await client.get_events("events");
    co_await held.next();
    std::string seen;
    try {
      co_await client.request_json(std::move(limited));
    } catch (const core::TimeoutError& error) {
      seen = error.what();
    }
    // A request that stops work takes no slot: it goes through at once.
    ApiRequest stopping = timed_get("cancel", 50ms);
    stopping.stops_work = true;
    seen += " | " + (co_await client.request_json(std::move(stopping))).dump();
    // A waiter without a limit leaves the queue when cancelled.
    const auto executor = co_await asio::this_coro::executor;
    asio::cancellation_signal signal;
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(executor, client.get_json("waiting"),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, Value) {
                     failure = e;
                     done = true;
                   }));
    // Nothing between the call and its wait for the slot suspends: a few
    // turns of the loop bring it there.
    for (int i = 0; i < 3; ++i) co_await asio::post(executor, asio::use_awaitable);
    signal.emit(asio::cancellation_type::terminal);
    for (int i = 0; i < 100 && !done; ++i) co_await asio::post(executor, asio::use_awaitable);
    seen += done && core::is_cancellation(failure) ? " | cancelled" : " | still waiting";
    held.close();
    seen += " | " + (co_await client.get_json("after")).dump();
    co_return seen;
  };
  EXPECT_EQ(run_client(io, server, scenario(client, limited)),
            "The request GET " + server.base_url() +
                "/limited timed out after 50 ms waiting for a request slot (all 1 in use)."
                " | {} | cancelled | {}");
  ASSERT_EQ(server.requests.size(), 3u);
  EXPECT_EQ(server.requests[1].target, "/v1/cancel");
  EXPECT_EQ(server.requests[2].target, "/v1/after");
}

// The time a request waited for its slot counts against its deadline, and
// its time-out still names the limit the caller gave, not what was left.
TEST(ApiClient, ATimeoutAfterASlotWaitNamesTheWholeLimit) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target == "/v1/events") {
      co_await exchange.start_events();
      co_await exchange.chunk("data: held\n\n");
    }
    co_await exchange.wait_for_close();  // the limited request stalls
  });
  ApiClient client = one_slot_client(server);
  const ApiRequest limited = timed_get("stalls", 400ms);
  auto scenario = [](ApiClient client, ApiRequest limited) -> asio::awaitable<std::string> {
    const auto executor = co_await asio::this_coro::executor;
    ApiEventStream held = co_await client.get_events("events");
    co_await held.next();
    std::string seen = "no time-out";
    bool done = false;
    asio::co_spawn(executor, client.request_json(std::move(limited)),
                   [&](std::exception_ptr failure, Value) {
                     try {
                       if (failure) std::rethrow_exception(failure);
                     } catch (const core::TimeoutError& error) {
                       seen = error.what();
                     } catch (...) {
                       seen = "another failure";
                     }
                     done = true;
                   });
    // Nothing between the call and its wait for the slot suspends: a few
    // turns of the loop bring it there, and the slot is let go while it
    // waits, long before its limit.
    for (int i = 0; i < 3; ++i) co_await asio::post(executor, asio::use_awaitable);
    held.close();
    co_await wait_until(done);
    co_return seen;
  };
  EXPECT_EQ(run_client(io, server, scenario(client, limited)),
            "request to " + server.base_url() + "/stalls timed out after 400 ms");
  ASSERT_EQ(server.requests.size(), 2u);
}

// A back-off before a retry counts against the request's time limit: one
// that outlasts it (the server's Retry-After, or the client's own delay)
// ends the request with its time-out when the limit has passed, for JSON
// and for streams, instead of a wait of a minute. The answer that asked
// for the wait is the time-out's cause.
TEST(ApiClient, ABackOffThatOutlastsTheTimeLimitEndsAtIt) {
  asio::io_context io;
  int soon_calls = 0;
  LoopbackServer server(io, [&soon_calls](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target == "/v1/busy") {
      co_await exchange.respond(503, "busy");
    } else if (exchange.request.target == "/v1/soon" && ++soon_calls == 1) {
      co_await exchange.respond(429, "slow down", "Retry-After: 0.01\r\n");
    } else if (exchange.request.target == "/v1/soon") {
      co_await exchange.respond(200, "[2]");
    } else {
      co_await exchange.respond(429, "slow down", "Retry-After: 60\r\n");
    }
  });
  ApiClientOptions options;
  options.retry_base_delay = 60;
  ApiClient client = client_for(server, options);
  const ApiRequest limited = timed_get("limited", 100ms);
  const ApiRequest busy = timed_get("busy", 100ms);
  // A short back-off leaves the retry time to run.
  ApiRequest soon = timed_get("soon", 10s);
  auto scenario = [](ApiClient client, ApiRequest limited, ApiRequest busy,
                     ApiRequest soon) -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> seen;
    auto timed_out = [&seen](const core::TimeoutError& error) {
      std::string cause = "no cause";
      try {
        std::rethrow_if_nested(error);
      } catch (const HttpError& http) {
        cause = "HTTP " + std::to_string(http.status());
      }
      seen.push_back(std::string(error.what()) + " (" + cause + ")");
    };
    try {
      co_await client.request_json(limited);
    } catch (const core::TimeoutError& error) {
      timed_out(error);
    }
    try {
      co_await client.request_events(std::move(limited));
    } catch (const core::TimeoutError& error) {
      timed_out(error);
    }
    try {
      co_await client.request_json(std::move(busy));
    } catch (const core::TimeoutError& error) {
      timed_out(error);
    }
    seen.push_back((co_await client.request_json(std::move(soon))).dump());
    co_return seen;
  };
  const auto started = std::chrono::steady_clock::now();
  const auto seen = run_client(io, server, scenario(client, limited, busy, soon));
  // Far below the minute the back-offs ask for, however loaded the machine.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  const std::string base = server.base_url();
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "request to " + base + "/limited timed out after 100 ms (HTTP 429)",
                      "request to " + base + "/limited timed out after 100 ms (HTTP 429)",
                      "request to " + base + "/busy timed out after 100 ms (HTTP 503)", "[2]"}));
  EXPECT_EQ(server.requests.size(), 5u);
}

// 100 Continue and other interim answers before the real one are skipped
// for JSON and for streams.
TEST(ApiClient, InterimAnswersAreSkipped) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    std::string answer = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n";
    if (exchange.request.target == "/v1/events") {
      answer += "Content-Type: text/event-stream\r\n\r\ndata: one\n\n";
    } else {
      answer += "Content-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"a\":1}";
    }
    co_await exchange.write(std::move(answer));
  });
  ApiClient client = client_for(server);
  auto scenario = [](ApiClient client) -> asio::awaitable<std::string> {
    const Value answer = co_await client.get_json("json");
    std::string seen = answer.dump();
    ApiEventStream stream = co_await client.get_events("events");
    while (auto event = co_await stream.next()) seen += " " + event->data;
    co_return seen;
  };
  EXPECT_EQ(run_client(io, server, scenario(client)), R"({"a":1} one)");
}

// max_body_size caps what a stream delivers as it caps a JSON answer.
TEST_P(ApiClientWire, StreamedAnswersKeepToMaxBodySize) {
  asio::io_context io;
  LoopbackServer server(
      io,
      [](Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.start_events();
        try {
          const std::string event = "data: " + std::string(94, 'x') + "\n\n";
          for (int i = 0; i < 64; ++i) co_await exchange.chunk(event);
          co_await exchange.end_events();
        } catch (const std::exception&) {
          // The client hung up at its limit.
        }
      },
      GetParam());
  ApiClientOptions options;
  options.max_body_size = 4096;
  ApiClient client = client_for(server, options);
  auto scenario = [](ApiClient client) -> asio::awaitable<std::string> {
    ApiEventStream stream = co_await client.get_events("events");
    int events = 0;
    try {
      while (co_await stream.next()) ++events;
    } catch (const core::RuntimeError& error) {
      co_return std::string(error.what()) + (events <= 40 ? "" : " after too many events");
    }
    co_return "the whole stream";
  };
  EXPECT_EQ(run_client(io, server, scenario(client)),
            "response body from " + server.base_url() + "/events exceeds the limit of 4096 bytes");
}

// A parsed value takes several times its text, more the smaller its items:
// max_body_size bounds both the text and the heap its value holds. Every
// answer below is under the limit as text; as a value, the arrays of tiny
// items are over it, the others not.
TEST(ApiClient, JsonAnswersAreHeldToMaxBodySizeOnceParsed) {
  constexpr std::size_t kLimit = 64 << 10;
  struct Case {
    std::string item;
    std::size_t bytes;  // of the array of it
    bool refused;
  };
  // An array of the case's item repeated to fill its bytes.
  auto array_of = [](const Case& shape) {
    std::string text = "[";
    while (text.size() + shape.item.size() + 1 < shape.bytes) text += shape.item + ",";
    text.back() = ']';
    return text;
  };
  const std::string row = R"({"id":"item-0042","name":"Honey bee","tags":["pollinator","social"],)"
                          R"("score":0.875,"seen":true,"note":"Navigates by the sun."})";
  std::string embedding = "[-0.0123456789";
  for (int i = 1; i < 256; ++i) embedding += ",-0.0123456789";
  embedding += "]";
  // SCOPED_TRACE cannot name a case inside one run: each is its own line of
  // the compared lists.
  const std::vector<Case> cases = {
      {R"("")", 50'000, true},
      {"0", 50'000, true},
      {"[]", 50'000, true},
      {"{}", 50'000, true},
      {R"({"":0})", 50'000, true},
      {"null", 50'000, true},
      {R"("a")", 50'000, true},
      {row, 50'000, true},
      {row, 6'000, false},
      {embedding, 40'000, false},
      {'"' + std::string(2000, 'w') + '"', 50'000, false},
  };
  asio::io_context io;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    std::string body = target == "/v1/large" ? std::string(kLimit + 1, ' ') + "0"
                                             : array_of(cases.at(std::stoul(target.substr(4))));
    co_await exchange.respond(200, std::move(body));
  });
  ApiClientOptions options;
  options.max_body_size = kLimit;
  ApiClient client = client_for(server, options);
  auto outcomes = [](ApiClient client,
                     std::size_t count) -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i <= count; ++i) {
      try {
        std::string path = i < count ? std::to_string(i) : "large";
        const Value answer = co_await client.get_json(std::move(path));
        seen.push_back("read " + std::to_string(answer.size()) + " items");
      } catch (const core::RuntimeError& error) {
        seen.push_back(error.what());
      }
    }
    co_return seen;
  };
  const std::string base = server.base_url();
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string text = array_of(cases[i]);
    ASSERT_LT(text.size(), kLimit);
    expected.push_back(cases[i].refused
                           ? "The answer of GET " + base + "/" + std::to_string(i) +
                                 " needs more than 65536 bytes of memory once parsed; "
                                 "max_body_size raises the limit."
                           : "read " + std::to_string(core::parse_json(text, "x", kBudget).size()) +
                                 " items");
  }
  expected.push_back("The answer of GET " + base + "/large exceeds 65536 bytes.");
  EXPECT_EQ(run_client(io, server, outcomes(client, cases.size())), expected);
}

TEST(ApiClient, ErrorsNameTheEndpointAndMaskTheKey) {
  asio::io_context io;
  int calls = 0;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    ++calls;
    if (exchange.request.target == "/v1/limited" && calls == 1) {
      co_await exchange.respond(429, "slow down " + kKey, "Retry-After: 0.01\r\n");
    } else if (exchange.request.target == "/v1/limited") {
      co_await exchange.respond(200, "[1,2]");
    } else if (exchange.request.target == "/v1/html") {
      co_await exchange.respond(401, "<html>\n  bad key " + kKey + "\n</html>\n");
    } else if (exchange.request.target == "/v1/portal") {
      co_await exchange.respond(200, "<html>\n<body>Sign in</body>\n</html>",
                                "Content-Type: text/html; charset=utf-8\r\n");
    } else if (exchange.request.target == "/v1/latin1") {
      co_await exchange.respond(200, "{\"name\":\"caf\xE9\"}");
    } else {
      co_await exchange.respond(200, "not json but " + kKey);
    }
  });
  ApiClientOptions options;
  options.retry_base_delay = 60;  // only the server's delay lets this finish in time
  ApiClient client = client_for(server, options);
  auto scenario = [](ApiClient client) -> asio::awaitable<std::vector<std::string>> {
    std::vector<std::string> seen;
    seen.push_back((co_await client.get_json("limited")).dump());
    for (const char* path : {"html", "text", "latin1"}) {
      try {
        co_await client.get_json(path);
      } catch (const std::exception& error) {
        seen.push_back(error.what());
      }
    }
    try {
      co_await client.get_events("portal");
    } catch (const core::RuntimeError& error) {
      seen.push_back(error.what());
    }
    co_return seen;
  };
  const std::string base = server.base_url();
  EXPECT_EQ(
      run_client(io, server, scenario(client)),
      (std::vector<std::string>{
          "[1,2]", "HTTP 401 from GET " + base + "/html: bad key ***",
          "The answer of GET " + base + "/text is not JSON: 'not json but ***'.",
          "The answer of GET " + base + "/latin1 is not valid UTF-8: '{\"name\":\"caf\\xe9\"}'.",
          "The answer of GET " + base +
              "/portal is not an event stream but 'text/html; charset=utf-8': Sign in."}));
  EXPECT_EQ(calls, 6);  // the 429 was retried once
  EXPECT_EQ(client.mask("a " + kKey + " b"), "a *** b");

  ApiClientOptions bad;
  bad.base_url = "https://user:pw@example.com/v1?key=" + kKey;
  EXPECT_EQ(error_of<core::ValueError>([&] { ApiClient{bad}; }),
            "invalid URL 'https://***@example.com/v1': user information in URLs is not "
            "supported; send credentials in headers");
  bad.base_url = "https://example.com/v1?key=" + kKey;
  EXPECT_EQ(error_of<core::ValueError>([&] { ApiClient{bad}; }),
            "invalid base URL 'https://example.com/v1?***': a base URL takes no query or "
            "fragment");
  bad.base_url = "https://example.com/v1";
  bad.max_concurrency = 0;
  EXPECT_THROW(ApiClient{bad}, core::ValueError);
}

// A server that sends at full speed from a thread of its own and never
// ends, so that the socket never empties: the request's time limit and a
// stream's event limit still end the call, with their own errors, long
// before the body limit would.
TEST_P(ApiClientWire, ABusySocketCannotOutrunTheTimeLimits) {
  struct Case {
    std::string path;
    std::string event;  // what the server repeats
    std::optional<std::chrono::milliseconds> timeout;
    std::optional<std::chrono::milliseconds> event_timeout;
    std::string error;  // after the base URL
  };
  const std::string chat = "data: {\"choices\":[{\"delta\":{\"content\":\"tok\"}}]}\n\n";
  const std::vector<Case> cases = {
      {"chat/completions", chat, 100ms, std::nullopt, "/chat/completions timed out after 100 ms"},
      {"events", ": keep-alive\n\n", std::nullopt, 100ms, "/events within 100 ms."},
  };
  for (const Case& row : cases) {
    std::string batch;
    while (batch.size() < 64 * 1024) batch += row.event;
    asio::io_context server_io;
    LoopbackServer server(
        server_io,
        [&batch](Exchange& exchange) -> asio::awaitable<void> {
          co_await exchange.start_events();
          while (true) co_await exchange.chunk(batch);  // until the client hangs up
        },
        GetParam());
    std::thread serving([&server_io] { server_io.run(); });
    ApiClient client = client_for(server);
    ApiRequest request;
    request.path = row.path;
    request.timeout = row.timeout;
    request.event_timeout = row.event_timeout;
    auto scenario = [](ApiClient client, ApiRequest request) -> asio::awaitable<std::string> {
      try {
        ApiEventStream stream = co_await client.request_events(std::move(request));
        while (co_await stream.next()) {
        }
        co_return "the end of the stream";
      } catch (const core::TimeoutError& error) {
        co_return error.what();
      } catch (const std::exception& error) {
        co_return std::string("another error: ") + error.what();
      }
    };
    asio::io_context io;
    const auto started = std::chrono::steady_clock::now();
    auto seen = asio::co_spawn(io, scenario(client, request), asio::use_future);
    // Far below what reaching the body limit takes, however loaded the
    // machine.
    io.run_for(20s);
    const auto took = std::chrono::steady_clock::now() - started;
    asio::post(server_io, [&server] { server.stop(); });
    serving.join();
    ASSERT_EQ(seen.wait_for(0s), std::future_status::ready) << row.path;
    const std::string error = seen.get();
    EXPECT_TRUE(error.ends_with(server.base_url() + row.error)) << error;
    EXPECT_LT(took, 20s) << row.path;
  }
}

// A kept connection the server closes after reading the next request,
// without an answer: a written POST may have started work, so it is one
// failed attempt and never sent again; a GET is sent again on a new
// connection.
TEST_P(ApiClientWire, AWrittenPostIsNeverSentTwice) {
  struct Case {
    std::string method;
    std::string outcome;
    std::vector<std::string> received;  // method and connection
  };
  const std::vector<Case> cases = {
      {"POST", "ConnectionError", {"GET 1", "POST 1"}},
      {"GET", "{\"again\":true}", {"GET 1", "GET 1", "GET 2"}},
  };
  for (const Case& row : cases) {
    asio::io_context io;
    LoopbackServer server(
        io,
        [](Exchange& exchange) -> asio::awaitable<void> {
          if (exchange.request.target == "/v1/first") {
            co_await exchange.respond(200, "{}");
          } else if (exchange.request.connection == 1) {
            exchange.close();
          } else {
            co_await exchange.respond(200, R"({"again":true})");
          }
        },
        GetParam());
    ApiClient client = client_for(server);
    ApiRequest second;
    second.method = row.method;
    second.path = "second";
    if (row.method == "POST") second.body = Value{{"run", 1}};
    auto scenario = [](ApiClient client, ApiRequest second) -> asio::awaitable<std::string> {
      co_await client.get_json("first");
      try {
        co_return (co_await client.request_json(std::move(second))).dump();
      } catch (const ConnectionError& error) {
        co_return std::string("ConnectionError") +
            (std::string(error.what()).ends_with(" closed before the response was complete")
                 ? ""
                 : error.what());
      }
    };
    EXPECT_EQ(run_client(io, server, scenario(client, second)), row.outcome);
    std::vector<std::string> received;
    for (const auto& request : server.requests) {
      received.push_back(request.method + " " + std::to_string(request.connection));
    }
    EXPECT_EQ(received, row.received) << row.method;
  }
}

}  // namespace
}  // namespace zelq::net
