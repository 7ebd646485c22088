#include "zelq/providers/parallel/http_task_run_client.hpp"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::providers::parallel {
namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using ::testing::ElementsAre;

const std::string kKey = "par-secret-key-7";

HttpTaskRunClient client_for(const LoopbackServer& server) {
  HttpTaskRunClientOptions options;
  options.base_url = server.origin();
  options.api_key = kKey;
  options.result_retry_interval = 0.01;
  options.max_retries = 0;
  return HttpTaskRunClient(std::move(options));
}

// Errors never show the key.
template <class Error, class F>
std::string error_of(F&& call) {
  return net::testing::error_of<Error>(call, kKey);
}

// "<kind>: <what>" of the failure of `call`, or "ok".
template <class T>
asio::awaitable<std::string> failure_of(asio::awaitable<T> call) {
  std::string failure = "ok";
  try {
    co_await std::move(call);
  } catch (const TaskRunFailedError& error) {
    failure = std::string("TaskRunFailedError: ") + error.what();
  } catch (const core::TimeoutError& error) {
    failure = std::string("TimeoutError: ") + error.what();
  } catch (const core::RuntimeError& error) {
    failure = std::string("RuntimeError: ") + error.what();
  }
  EXPECT_EQ(failure.find(kKey), std::string::npos) << failure;
  co_return failure;
}

asio::awaitable<std::vector<std::string>> read_all(HttpTaskRunClient client, std::string run_id) {
  auto stream = co_await client.events(run_id, 5.0);
  std::vector<std::string> seen;
  while (auto event = co_await stream->next()) {
    std::string line = event->type + "|" + event->message;
    if (event->source_stats) {
      line += "|" + std::to_string(*event->source_stats->num_sources_read) + "|" +
              event->source_stats->sources_read_sample->at(1);
    }
    if (!event->run.is_null()) line += "|" + event->run.at("status").get<std::string>();
    seen.push_back(line);
  }
  co_return seen;
}

asio::awaitable<std::vector<std::string>> events_scenario(HttpTaskRunClient client) {
  std::vector<std::string> out = co_await read_all(client, "r1");
  out.push_back(co_await failure_of(read_all(client, "bad/?x")));
  out.push_back(co_await failure_of(read_all(client, "gone")));
  // A stream that stays silent longer than the read timeout of the request.
  auto silent = co_await client.events("quiet", 0.1);
  out.push_back(co_await failure_of(silent->next()));
  co_return out;
}

asio::awaitable<std::vector<std::string>> result_scenario(HttpTaskRunClient client) {
  const TaskRunResult result = co_await client.result("slow", 3600.0);
  std::vector<std::string> out = {result.output.at("content").get<std::string>(),
                                  result.output.at("beta_fields").dump()};
  out.push_back(co_await failure_of(client.result("never", 0.2)));
  out.push_back(co_await failure_of(client.result("lost", 5.0)));
  co_return out;
}

// Recorded-shape frames of the events endpoint.
std::string frame(const std::string& type, Value data) {
  data["type"] = type;
  return "event: " + type + "\ndata: " + data.dump() + "\n\n";
}

TEST(HttpTaskRunClient, CreateSortsBodyHeadersAndTimeout) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(202, R"({"run_id":"trun_1","interaction_id":"i","status":"queued"})");
  });
  const HttpTaskRunClient client = client_for(server);
  Value params = {{"input", "q"},
                  {"processor", "ultra"},
                  {"mcp_servers", Value::array()},
                  {"timeout", 3600},
                  {"enable_events", true},
                  {"betas", {"events-sse-2025-07-24", "mcp-server-2025-07-17"}}};
  const TaskRun run = run_client(io, server, client.create(params));
  EXPECT_EQ(run.run_id, "trun_1");
  EXPECT_EQ(run.status, "queued");
  const auto& request = server.requests.at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1/tasks/runs");
  EXPECT_EQ(request.header("x-api-key"), kKey);
  EXPECT_EQ(request.header("parallel-beta"), "events-sse-2025-07-24,mcp-server-2025-07-17");
  EXPECT_EQ(request.json().dump(),
            R"({"input":"q","processor":"ultra","mcp_servers":[],"enable_events":true})");

  EXPECT_EQ(error_of<core::ValueError>([&] {
              core::run_sync(client.create({{"betas", "b"}}));
            }),
            "The Parallel request setting 'betas' must be a list of texts, got 'b'.");
  EXPECT_EQ(error_of<core::ValueError>([&] {
              core::run_sync(client.create({{"timeout", "1"}}));
            }),
            "The Parallel request setting 'timeout' must be a number of seconds >= 0 or null, got "
            "'1'.");
  EXPECT_EQ(server.requests.size(), 1u);
}

TEST(HttpTaskRunClient, ReadsNamedEventsAndFailsOnErrorEvents) {
  // Built outside the handler: g++ 12 mishandles braced lists inside co_await.
  const std::string frames =
      frame("task_run.state", {{"run", {{"run_id", "r1"}, {"status", "running"}}}}) +
      frame("task_run.progress_msg.plan", {{"message", "Planning"}, {"timestamp", "t"}}) +
      ": keep-alive\n\n" +
      frame("task_run.progress_stats", {{"progress_meter", 10},
                                        {"source_stats",
                                         {{"num_sources_considered", 9},
                                          {"num_sources_read", 2},
                                          {"sources_read_sample", {"u1", "u2"}}}}});
  const std::string error_frame =
      frame("error", {{"error", {{"ref_id", "x"}, {"message", "boom " + kKey}}}});
  asio::io_context io;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.find("gone") != std::string::npos) {
      co_await exchange.respond(404, R"({"type":"error","error":{"ref_id":"r","message":)"
                                     R"("Run failed or run id not found"}})");
      co_return;
    }
    co_await exchange.start_events();
    if (exchange.request.target.find("quiet") != std::string::npos) {
      co_await exchange.wait_for_close();
      co_return;
    }
    // Split inside an event: the reader joins the pieces.
    co_await exchange.chunk(frames.substr(0, 30));
    co_await exchange.chunk(frames.substr(30));
    if (exchange.request.target.find("bad") != std::string::npos) {
      co_await exchange.chunk(error_frame);
    }
    co_await exchange.end_events();
  });
  const HttpTaskRunClient client = client_for(server);
  EXPECT_THAT(run_client(io, server, events_scenario(client)),
              ElementsAre("task_run.state||running", "task_run.progress_msg.plan|Planning",
                          "task_run.progress_stats||2|u2",
                          "RuntimeError: Parallel sent an error event for run 'bad/?x': boom ***",
                          "TaskRunFailedError: Parallel task run 'gone' ended with status "
                          "'failed': Run failed or run id not found",
                          "TimeoutError: Reading the events of Parallel task run 'quiet' timed "
                          "out: nothing arrived within the 0.1-second read timeout of the events "
                          "request."));
  const auto& request = server.requests.at(0);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/v1beta/tasks/runs/r1/events");
  EXPECT_EQ(request.header("accept"), "text/event-stream");
  EXPECT_EQ(request.header("parallel-beta"), "events-sse-2025-07-24");
  EXPECT_EQ(server.requests.at(1).target, "/v1beta/tasks/runs/bad%2F%3Fx/events");
}

TEST(HttpTaskRunClient, AsksForTheResultAgainAfter408UntilTheDeadline) {
  asio::io_context io;
  int asked = 0;
  LoopbackServer server(io, [&asked](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (target.find("/never/") != std::string::npos ||
        (target.find("/slow/") != std::string::npos && ++asked < 3)) {
      co_await exchange.respond(
          408, R"({"type":"error","error":{"message":"Request timed out; run still active"}})");
    } else if (target.find("/lost/") != std::string::npos) {
      co_await exchange.respond(404, "Run failed or run id not found");
    } else {
      co_await exchange.respond(200, R"({"run":{"run_id":"slow","status":"completed"},"output":)"
                                     R"({"type":"text","content":"answer","basis":[],)"
                                     R"("mcp_tool_calls":[{"tool_call_id":"t","content":"c"}],)"
                                     R"("beta_fields":null}})");
    }
  });
  const HttpTaskRunClient client = client_for(server);
  EXPECT_THAT(
      run_client(io, server, result_scenario(client)),
      ElementsAre("answer", R"({"mcp-server-2025-07-17":[{"tool_call_id":"t","content":"c"}]})",
                  "TimeoutError: Parallel task run 'never' was still active after 0.2 "
                  "seconds.",
                  "TaskRunFailedError: Parallel task run 'lost' ended with status 'failed': "
                  "Run failed or run id not found"));
  EXPECT_EQ(server.requests.at(2).target, "/v1/tasks/runs/slow/result?timeout=600");
  EXPECT_EQ(server.requests.at(0).target, "/v1/tasks/runs/slow/result?timeout=600");
  EXPECT_EQ(server.requests.at(0).header("parallel-beta"), "mcp-server-2025-07-17");

  EXPECT_EQ(server.requests.at(3).target, "/v1/tasks/runs/never/result?timeout=1");
}

// How a result call with a deadline ended, and after how many seconds.
struct Ended {
  std::string failure = "ok";
  std::string cause;
  double seconds = 0;
};

asio::awaitable<std::vector<Ended>> results_within(HttpTaskRunClient client,
                                                   std::vector<std::string> run_ids, double limit) {
  std::vector<Ended> all;
  for (const std::string& run_id : run_ids) {
    const auto start = std::chrono::steady_clock::now();
    Ended ended;
    try {
      co_await client.result(run_id, limit);
    } catch (const core::TimeoutError& error) {
      ended.failure = error.what();
      try {
        std::rethrow_if_nested(error);
      } catch (const core::TimeoutError& cause) {
        ended.cause = cause.what();
      }
    }
    ended.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    all.push_back(std::move(ended));
  }
  co_return all;
}

// The service holds a result request without a word: the call ends at the
// caller's deadline with its own time-out, not when the service's wait and
// the margin for a late answer have passed (a minute later).
TEST(HttpTaskRunClient, AnUnansweredResultRequestEndsAtTheCallersDeadline) {
  asio::io_context io;
  int late_asked = 0;
  LoopbackServer server(io, [&late_asked](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.find("/late/") != std::string::npos && late_asked++ == 0) {
      co_await exchange.respond(408, R"({"type":"error","error":{"message":"still active"}})");
    } else {
      co_await exchange.wait_for_close();
    }
  });
  // "held": the first request is left unanswered; "late": a 408 at once,
  // then the next request is.
  const std::vector<std::string> runs = {"held", "late"};
  const std::vector<Ended> ended =
      run_client(io, server, results_within(client_for(server), runs, 0.3));
  ASSERT_EQ(ended.size(), runs.size());
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(ended[i].failure,
              "Parallel task run '" + runs[i] + "' was still active after 0.3 seconds.");
    EXPECT_THAT(ended[i].cause, ::testing::HasSubstr("timed out after"));
    EXPECT_GE(ended[i].seconds, 0.3) << runs[i];
    EXPECT_LT(ended[i].seconds, 20.0) << runs[i];
  }
  ASSERT_EQ(server.requests.size(), 3u);
  EXPECT_EQ(server.requests[0].target, "/v1/tasks/runs/held/result?timeout=1");
  EXPECT_EQ(server.requests[1].target, "/v1/tasks/runs/late/result?timeout=1");
  EXPECT_EQ(server.requests[2].target, "/v1/tasks/runs/late/result?timeout=1");
}

// A gateway in front of the service gives up on a held result request with
// a 503 after a while, again and again: the transport's retries of the 503
// keep to the caller's deadline too, also one further off than an
// attempt's own limit (the service's wait, in whole seconds, and
// result_margin).
TEST(HttpTaskRunClient, RetriesOfAResultRequestKeepToTheCallersDeadline) {
  struct Row {
    std::string name;
    double deadline;
    int pace_ms;  // the gateway's
    double max_result_wait;
    double result_margin;
    int max_retries;
    std::size_t most_requests;
  };
  const std::vector<Row> rows = {
      // Twenty attempts of a quarter second each would take five.
      {"a deadline within an attempt's limit", 0.3, 250, 600, 60, 20, 4},
      // Each attempt may take a second; the second 503 would come after
      // 1.6 seconds.
      {"a deadline beyond an attempt's limit", 1.3, 800, 0.5, 0, 1, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    asio::io_context io;
    const auto pace = std::chrono::milliseconds(row.pace_ms);
    LoopbackServer server(io, [pace](Exchange& exchange) -> asio::awaitable<void> {
      // The gateway's pace, not an order of events: each attempt takes most
      // of the caller's time.
      asio::steady_timer timer(co_await asio::this_coro::executor, pace);
      co_await timer.async_wait(asio::use_awaitable);
      co_await exchange.respond(503, R"({"error":{"message":"upstream timed out"}})");
    });
    HttpTaskRunClientOptions options;
    options.base_url = server.origin();
    options.api_key = kKey;
    options.max_retries = row.max_retries;
    options.retry_base_delay = 0;
    options.max_result_wait = row.max_result_wait;
    options.result_margin = row.result_margin;
    const std::vector<Ended> ended =
        run_client(io, server, results_within(HttpTaskRunClient(options), {"busy"}, row.deadline));
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].failure, "Parallel task run 'busy' was still active after " +
                                    seconds_text(row.deadline) + " seconds.");
    EXPECT_GE(ended[0].seconds, row.deadline);
    EXPECT_LT(ended[0].seconds, row.deadline + 2.2);
    EXPECT_LE(server.requests.size(), row.most_requests);
  }
}

// A service that answers 408 at once is asked again at most once per
// floor pause, whatever result_retry_interval says: within 0.3 seconds, at
// once and after each of at most three pauses.
TEST(HttpTaskRunClient, AskingAgainAfterA408KeepsTheFloorPause) {
  for (const double interval : {0.0, 0.001, 0.05}) {
    SCOPED_TRACE(interval);
    asio::io_context io;
    LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(408, R"({"type":"error","error":{"message":"still active"}})");
    });
    HttpTaskRunClientOptions options;
    options.base_url = server.origin();
    options.api_key = kKey;
    options.max_retries = 0;
    options.result_retry_interval = interval;
    const std::vector<Ended> ended =
        run_client(io, server, results_within(HttpTaskRunClient(options), {"busy"}, 0.3));
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].failure, "Parallel task run 'busy' was still active after 0.3 seconds.");
    EXPECT_GE(server.requests.size(), 1u);
    EXPECT_LE(server.requests.size(), 4u);
  }
}

// A run id goes into a path as one segment, and never as "." or "..":
// every call that names a run refuses those before any request.
TEST(HttpTaskRunClient, RunIdsNeverBecomeDotSegments) {
  HttpTaskRunClientOptions options;
  options.base_url = "http://127.0.0.1:9";
  options.api_key = kKey;
  const HttpTaskRunClient client(options);
  const std::vector<std::function<void(const std::string&)>> calls = {
      [&](const std::string& id) { core::run_sync(client.result(id, 5.0)); },
      [&](const std::string& id) { core::run_sync(client.result(id, std::nullopt)); },
      [&](const std::string& id) { core::run_sync(client.events(id, 5.0)); }};
  for (const std::string id : {".", ".."}) {
    for (const auto& call : calls) {
      EXPECT_EQ(error_of<core::ValueError>([&] { call(id); }),
                "The id '" + id + "' cannot be a segment of a URL path.");
    }
  }
}

TEST(HttpTaskRunClient, KeyFromParametersOrEnvironmentNeverShown) {
  ::unsetenv("PARALLEL_API_KEY");
  EXPECT_EQ(error_of<core::ValueError>([] {
              resolve_api_key(Value{{"api_key", ""}});
            }),
            "No Parallel API key: pass api_key or set PARALLEL_API_KEY.");
  EXPECT_EQ(error_of<core::ValueError>([] { HttpTaskRunClient(HttpTaskRunClientOptions{}); }),
            "No Parallel API key: pass api_key or set PARALLEL_API_KEY.");
  EXPECT_EQ(error_of<core::ValueError>([] {
              resolve_api_key(Value{{"api_key", kKey + "\n"}});
            }),
            "The Parallel API key holds white space or control characters.");
  ::setenv("PARALLEL_API_KEY", "from-env", 1);
  EXPECT_EQ(resolve_api_key(Value::object()), "from-env");
  EXPECT_EQ(resolve_api_key(Value{{"api_key", "given"}}), "given");
  TaskRunClientPtr built = http_task_run_client_factory()(Value{{"idle_timeout", 900}});
  EXPECT_EQ(dynamic_cast<const HttpTaskRunClient&>(*built).options().api_key, "from-env");
  EXPECT_EQ(dynamic_cast<const HttpTaskRunClient&>(*built).options().idle_timeout,
            std::chrono::seconds(900));
  EXPECT_EQ(error_of<core::ValueError>([] {
              http_task_run_client_factory()(Value{{"proxy", 1}});
            }),
            "Unknown Parallel client parameter 'proxy'; known parameters: 'api_key', 'base_url', "
            "'max_concurrency', 'max_retries', 'retry_base_delay', 'retry_max_delay', "
            "'max_retry_after', 'connect_timeout', 'idle_timeout', 'timeout'.");
  ::unsetenv("PARALLEL_API_KEY");
  EXPECT_EQ(seconds_text(300), "300");
  EXPECT_EQ(seconds_text(0.25), "0.25");

  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(401, "<html>\n  <p>bad key " + kKey + "</p>\n</html>\n");
  });
  EXPECT_EQ(error_of<net::HttpError>(
                [&] { run_client(io, server, client_for(server).create(Value::object())); }),
            "HTTP 401 from POST " + server.origin() + "/v1/tasks/runs: bad key ***");
}

}  // namespace
}  // namespace zelq::providers::parallel
