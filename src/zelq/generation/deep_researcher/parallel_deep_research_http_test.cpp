// ParallelDeepResearcher over the HTTP client, against a loopback server
// playing the Task API: what reaches the service when attempts break.
#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"

namespace zelq::generation::deep_researcher::parallel_deep_research {
namespace {

namespace asio = boost::asio;
namespace pp = providers::parallel;
using inference::LMOutput;
using inference::testing::RecordingEventEmitter;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using ::testing::ElementsAre;

std::string message_event(const std::string& text) {
  return "event: task_run.progress_msg.search\n"
         R"(data: {"type":"task_run.progress_msg.search","message":")" +
         text + "\"}\n\n";
}

std::string stats_event(const std::string& sample, int count) {
  return "event: task_run.progress_stats\n"
         R"(data: {"type":"task_run.progress_stats","source_stats":{"num_sources_read":)" +
         std::to_string(count) + R"(,"sources_read_sample":)" + sample + "}}\n\n";
}

// The events of the run, which every stream sends from the start: the
// first stream breaks after two of them (unless the mode breaks nothing).
const std::vector<std::string> kRunEvents = {
    message_event("Searching"), stats_event(R"(["https://a"])", 1), message_event("Reading"),
    stats_event(R"(["https://a","https://b"])", 2)};

using testing::Break;

// A Task API whose first event stream stalls or drops, whose runs all
// fail, or whose stream stalls once the caller has cancelled the call.
struct TaskApi : testing::BreakingService {
  using BreakingService::BreakingService;

  int streams = 0;

  asio::awaitable<void> serve(Exchange& exchange) {
    const std::string& target = exchange.request.target;
    if (exchange.request.method == "POST") {
      const std::string id = "trun_" + std::to_string(++created);
      co_await exchange.respond(202, R"({"run_id":")" + id + R"(","status":"queued"})");
    } else if (target.ends_with("/events")) {
      co_await events(exchange);
    } else if (mode == Break::FAIL) {
      co_await exchange.respond(404,
                                R"({"type":"error","error":{"ref_id":"r",)"
                                R"("message":"Run failed or run id not found","detail":null}})");
    } else {
      co_await exchange.respond(200,
                                R"({"run":{"run_id":"trun_1","status":"completed"},)"
                                R"("output":{"type":"text","content":"Found.","basis":null}})");
    }
  }

  asio::awaitable<void> events(Exchange& exchange) {
    const bool first = ++streams == 1;
    const bool breaks =
        (first && (mode == Break::STALL || mode == Break::DROP)) || mode == Break::CANCEL;
    co_await exchange.start_events();
    for (std::size_t i = 0; i < (breaks ? 2 : kRunEvents.size()); ++i) {
      co_await exchange.chunk(kRunEvents[i]);
    }
    if (mode == Break::CANCEL) cancel.emit(asio::cancellation_type::terminal);
    if (breaks && mode == Break::DROP) {
      exchange.close();
    } else if (breaks) {
      co_await exchange.wait_for_close();
    } else {
      co_await exchange.end_events();
    }
  }
};

ParallelDeepResearcher researcher_for(const LoopbackServer& server, int max_retries,
                                      std::string key = "k") {
  pp::HttpTaskRunClientOptions http;
  http.base_url = server.origin();
  http.retry_base_delay = 0.001;
  return ParallelDeepResearcher(
      {.api_key = std::move(key),
       .retry_config = core::RetryConfig{.max_retries = max_retries, .base_delay = 0},
       // Long enough for the loopback events that must arrive in time.
       .event_idle_timeout = 1.0,
       .client_factory = pp::http_task_run_client_factory(http)});
}

asio::awaitable<void> research_into(const ParallelDeepResearcher& researcher,
                                    ResearchRequest request, LMOutput& output) {
  output = co_await researcher.research(std::move(request));
}

// The caller's events as "<type> <value>", the retry activity as "retry".
std::vector<std::string> event_lines(const RecordingEventEmitter& emitter) {
  std::vector<std::string> lines;
  for (const core::Event& event : emitter.events()) {
    if (event.type == "thinking" || event.type == "response") {
      lines.push_back(event.type + " " + event.value.get<std::string>());
    } else if (event.type == "activity") {
      const core::Value& sources = event.value.value("sources", core::Value());
      lines.push_back(sources.is_null() ? event.value.at("type").get<std::string>()
                                        : "sources " + sources.dump());
    }
  }
  return lines;
}

// A stalled or dropped stream is read again from the same run, whose
// events the new connection replays from the start: the caller and the
// output get each event once. A run the service reports failed is followed
// by a new one, with one warning naming the attempt and the service's
// reason; the caller's cancellation closes the stream. (The Task API has no
// call that cancels a run.)
TEST(ParallelDeepResearcherHttpTest, ARunIsContinuedUnlessItFailed) {
  for (Break mode : {Break::STALL, Break::DROP, Break::FAIL, Break::CANCEL}) {
    SCOPED_TRACE(static_cast<int>(mode));
    core::LogCapture log;
    asio::io_context io;
    TaskApi api(mode);
    LoopbackServer server(io, [&api](Exchange& exchange) { return api.serve(exchange); });
    const ParallelDeepResearcher researcher = researcher_for(server, 1);
    auto emitter = std::make_shared<RecordingEventEmitter>();
    ResearchRequest request{.query = "q", .event_emitter = emitter};
    LMOutput output;
    const std::exception_ptr failure = testing::run_cancellable(
        io, server, api.cancel, research_into(researcher, std::move(request), output));
    EXPECT_EQ(testing::count_requests(server, "POST", "/v1/tasks/runs"),
              mode == Break::FAIL ? 2u : 1u);
    if (mode == Break::STALL || mode == Break::DROP) {
      EXPECT_FALSE(failure);
      EXPECT_THAT(testing::request_lines(server),
                  ElementsAre("POST /v1/tasks/runs", "GET /v1beta/tasks/runs/trun_1/events",
                              "GET /v1beta/tasks/runs/trun_1/events",
                              "GET /v1/tasks/runs/trun_1/result?timeout=600"));
      EXPECT_THAT(event_lines(*emitter),
                  ElementsAre("thinking Searching", R"(sources ["https://a"])", "retry",
                              "thinking Reading", R"(sources ["https://b"])", "response Found."));
      EXPECT_THAT(output.thinkings(),
                  ElementsAre(inference::Thinking{"Searching"}, inference::Thinking{"Reading"}));
    } else if (mode == Break::FAIL) {
      EXPECT_EQ(core::describe_exception(failure),
                "Parallel task run 'trun_2' ended with status 'failed': Run failed or run id not "
                "found");
      EXPECT_THAT(log.messages("retry", core::LogLevel::warn),
                  ElementsAre("Attempt 1/2 failed: Parallel task run 'trun_1' ended with status "
                              "'failed': Run failed or run id not found. Retrying in 0 seconds.",
                              "Attempt 2/2 failed. Giving up."));
    } else {
      EXPECT_TRUE(core::is_cancellation(failure));
      EXPECT_EQ(server.requests.size(), 2u);
    }
  }
}

// A create the service accepted but whose answer names no run is never sent
// again: the call ends saying that the run may be going on. One that named
// its run is continued by the next attempt, never created again.
TEST(ParallelDeepResearcherHttpTest, AnAcceptedCreateIsNeverSentTwice) {
  struct Case {
    const char* name;
    std::string answer;
    bool left_going;
  };
  const Case cases[] = {
      {"no run id", R"({"status":"queued"})", true},
      {"not JSON", "<html>queued</html>", true},
      {"a run id", R"({"run_id":"trun_1","status":"queued"})", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.method == "POST") {
        co_await exchange.respond(202, c.answer);
      } else if (exchange.request.target.ends_with("/events")) {
        co_await exchange.respond(503, R"({"error":{"message":"Busy."}})");
      } else {
        co_await exchange.respond(404, R"({"error":{"message":"No."}})");
      }
    });
    const ParallelDeepResearcher researcher = researcher_for(server, 2);
    std::exception_ptr failure;
    try {
      net::testing::run_client(io, server, researcher.research({.query = "q"}));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_EQ(testing::count_requests(server, "POST", "/v1/tasks/runs"), 1u);
    EXPECT_EQ(core::is_run_left_going(failure), c.left_going) << core::describe_exception(failure);
    if (!c.left_going) {
      // Every attempt reads the events of the one run.
      EXPECT_GT(testing::count_requests(server, "GET", "/v1beta/tasks/runs/trun_1/events"), 1u);
    }
  }
}

// A refusal ends the call at once; a 503 is retried by the client alone.
TEST(ParallelDeepResearcherHttpTest, RetriesOnlyWhatARetryCanFix) {
  for (const int status : {401, 503}) {
    asio::io_context io;
    LoopbackServer server(io, [status](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(status, R"({"type":"error","error":{"message":"No."}})",
                                "retry-after-ms: 1\r\n");
    });
    const ParallelDeepResearcher researcher = researcher_for(server, 3);
    try {
      net::testing::run_client(io, server, researcher.research({.query = "q"}));
      ADD_FAILURE() << "no error";
    } catch (const net::HttpError& error) {
      EXPECT_EQ(error.status(), status);
    }
    EXPECT_EQ(server.requests.size(), status == 401 ? 1u : 3u);
  }
}

// A run that a state event reports failed quotes the service's message with
// the key in use masked, whether the key came from the options or from
// PARALLEL_API_KEY, and cut to one line: in the error and in the retry
// warning.
TEST(ParallelDeepResearcherHttpTest, AFailedRunsMessageNeverShowsTheKey) {
  const std::string key = "sk-par-123";
  const std::string state_event =
      "event: task_run.state\n"
      R"(data: {"type":"task_run.state","run":{"run_id":"trun_1","status":"failed",)"
      R"("error":{"message":"key sk-par-123 or sk-\\u0070ar-123 rejected )" +
      std::string(400, 'z') + "\"}}}\n\n";
  for (const bool from_env : {false, true}) {
    SCOPED_TRACE(from_env);
    testing::ScopedEnv env("PARALLEL_API_KEY", from_env ? std::optional(key) : std::nullopt);
    core::LogCapture log;
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.method == "POST") {
        co_await exchange.respond(202, R"({"run_id":"trun_1","status":"queued"})");
        co_return;
      }
      co_await exchange.start_events();
      co_await exchange.chunk(state_event);
      co_await exchange.end_events();
    });
    pp::HttpTaskRunClientOptions http;
    http.base_url = server.origin();
    const ParallelDeepResearcher researcher(
        {.api_key = from_env ? std::optional<std::string>() : std::optional(key),
         .retry_config = core::RetryConfig{.max_retries = 1, .base_delay = 0},
         .client_factory = pp::http_task_run_client_factory(http)});
    asio::cancellation_signal cancel;
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, cancel, researcher.research({.query = "q"}));
    const std::string quoted = "key *** or *** rejected " + std::string(276, 'z') + "...";
    EXPECT_EQ(core::describe_exception(failure),
              "Parallel task run 'trun_1' ended with status 'failed': " + quoted);
    const std::vector<std::string> warnings = log.messages("retry", core::LogLevel::warn);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_THAT(warnings[0], ::testing::StartsWith("Attempt 1/2 failed: Parallel task run "
                                                   "'trun_1' ended with status 'failed': key *** "
                                                   "or *** rejected zzz"));
    EXPECT_EQ(warnings[0].find("ar-123"), std::string::npos);
  }
}

// What the service chose and the call quotes (a wrong-shaped basis, the run
// id of a run that failed, reported an error or is no longer known) never
// shows the key, and reads as one line of bounded length: in the error and
// in every log line.
TEST(ParallelDeepResearcherHttpTest, ServiceValuesInErrorsNeverShowTheKey) {
  enum class Case { BASIS, STATE, ERROR_EVENT, NOT_FOUND };
  const std::string key = "sk-par-123";
  const std::string long_id = "trun_" + key + "\n" + std::string(1000, 'x');
  for (const Case c : {Case::BASIS, Case::STATE, Case::ERROR_EVENT, Case::NOT_FOUND}) {
    SCOPED_TRACE(static_cast<int>(c));
    const std::string id = c == Case::BASIS ? "trun_1" : long_id;
    core::LogCapture log;
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.method == "POST") {
        const core::Value run = {{"run_id", id}, {"status", "queued"}};
        co_await exchange.respond(202, run.dump());
      } else if (exchange.request.target.ends_with("/events")) {
        co_await exchange.start_events();
        if (c == Case::STATE) {
          co_await exchange.chunk(
              R"(data: {"type":"task_run.state","run":{"status":"failed",)"
              R"("error":{"message":"No."}}})"
              "\n\n");
        } else if (c == Case::ERROR_EVENT) {
          co_await exchange.chunk("data: {\"type\":\"error\",\"error\":{\"message\":\"No.\"}}\n\n");
        }
        co_await exchange.end_events();
      } else if (c == Case::NOT_FOUND) {
        co_await exchange.respond(404, R"({"error":{"message":"No."}})");
      } else {
        co_await exchange.respond(200, R"({"run":{"status":"completed"},"output":{"content":"A.",)"
                                       R"("basis":{"echo":"your key )" +
                                           key + R"(","pad":")" + std::string(200'000, 'x') +
                                           R"("}}})");
      }
    });
    const ParallelDeepResearcher researcher = researcher_for(server, 1, key);
    asio::cancellation_signal cancel;
    const std::string what = core::describe_exception(
        testing::run_cancellable(io, server, cancel, researcher.research({.query = "q"})));
    EXPECT_EQ(what.find(key), std::string::npos) << what;
    EXPECT_LT(what.size(), 500u) << what;
    for (const auto& line : log.lines()) {
      EXPECT_EQ(line.message.find(key), std::string::npos) << line.message;
      EXPECT_LT(line.message.size(), 1000u);
    }
    const std::string shown_id = "'trun_*** " + std::string(300 - 9, 'x');
    if (c == Case::BASIS) {
      const std::string basis = "{'echo': 'your key ***', 'pad': '";
      EXPECT_EQ(what, "The basis of a Parallel task run result is not a list: " + basis +
                          std::string(300 - basis.size(), 'x') + "...");
    } else if (c == Case::STATE) {
      EXPECT_EQ(what, "Parallel task run " + shown_id + "...' ended with status 'failed': No.");
    } else if (c == Case::ERROR_EVENT) {
      EXPECT_EQ(what, "Parallel sent an error event for run " + shown_id + "...': No.");
    }
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher::parallel_deep_research
