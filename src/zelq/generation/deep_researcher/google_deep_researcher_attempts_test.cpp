// The research attempts of GoogleDeepResearcher over the HTTP client,
// against a loopback server replaying the interactions API's wire.
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/clean_up.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;
using namespace net::testing;
using namespace providers::google::testing;
using ::testing::ElementsAre;

const std::string kKey = "AIza-wire-key";
// Python's str.strip() gives 'Reading sources.' (asked of python3).
const std::string kThought = " \x1c\u3000\n Reading sources.\u2029\u0085 ";

GoogleDeepResearcherOptions wire_options(const LoopbackServer& server, bool show_progress,
                                         int max_retries = 0) {
  return {
      .api_key = kKey,
      .retry_config = core::RetryConfig{.max_retries = max_retries, .base_delay = 0, .timeout = 20},
      .show_progress = show_progress,
      .client_factory = [url = server.base_url()](const Value& params) {
        auto options = providers::google::HttpInteractionsOptions::from_client_params(params);
        options.base_url = url;
        // A stall shows within a test's time; transport retries wait 1 ms.
        options.idle_timeout = std::chrono::milliseconds(150);
        options.retry_base_delay = 0.001;
        return std::make_shared<providers::google::HttpInteractionsClient>(options);
      }};
}

asio::awaitable<LMOutput> research(const GoogleDeepResearcher& researcher,
                                   std::shared_ptr<core::EventEmitter> emitter) {
  ResearchRequest request{.query = "Why do bees dance?",
                          .hyperparameters = {{"timeout", 5}},
                          .event_emitter = std::move(emitter)};
  co_return co_await researcher.research(std::move(request));
}

TEST(GoogleDeepResearcherWireTest, StreamsThoughtsAndTextFromTodaysWire) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    const Value status = {{"event_type", "interaction.status_update"}, {"status", "in_progress"}};
    const Value start = {{"event_type", "step.start"}, {"index", 0}};
    std::string first = sse_frame(created_event("int-1", "e0"), true) + sse_frame(status) +
                        sse_frame(start) + sse_frame(thought_step_delta(0, kThought, "e1"));
    co_await exchange.start_events();
    co_await exchange.chunk(std::move(first));
    co_await exchange.chunk(sse_frame(text_step_delta(1, " Bees ", "e2")) +
                            sse_frame(text_step_delta(1, "dance ", "e3")) +
                            sse_frame(text_step_delta(1, "to talk.", "e4")) +
                            sse_frame(completed_event("int-1", "e5")));
    co_await exchange.end_events();
  });
  GoogleDeepResearcher researcher(wire_options(server, true));
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  LMOutput output = run_client(io, server, research(researcher, emitter));

  EXPECT_THAT(output.texts(), ElementsAre(" Bees ", "dance ", "to talk."));
  EXPECT_THAT(output.thinkings(), ElementsAre(inference::Thinking{"Reading sources."}));
  const std::vector<core::Event> events = emitter->events();
  ASSERT_EQ(events.size(), 12u);
  EXPECT_EQ(events[1].value, "Reading sources.");
  std::vector<std::string> texts;
  std::vector<std::string> ids;
  for (std::size_t i = 3; i < events.size(); i += 3) {
    EXPECT_EQ(events[i].type, "response_start");
    EXPECT_EQ(events[i + 2].type, "response_end");
    EXPECT_EQ(events[i].id, events[i + 1].id);
    EXPECT_EQ(events[i].id, events[i + 2].id);
    texts.push_back(events[i + 1].value.get<std::string>());
    ids.push_back(events[i].id);
  }
  EXPECT_THAT(texts, ElementsAre(" Bees ", "dance ", "to talk."));
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 3u);

  ASSERT_EQ(server.requests.size(), 1u);
  const auto& request = server.requests[0];
  EXPECT_EQ(request.header("x-goog-api-key"), kKey);
  EXPECT_EQ(request.header("Api-Revision"), "2026-05-20");
  EXPECT_EQ(request.body,
            R"({"input":"Why do bees dance?","agent":"deep-research-preview-04-2026",)"
            R"("background":true,"stream":true,)"
            R"("agent_config":{"type":"deep-research","thinking_summaries":"auto"}})");
}

TEST(GoogleDeepResearcherWireTest, PollsAQueuedRunUntilItCompletes) {
  asio::io_context io;
  int polls = 0;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    std::string answer;
    if (exchange.request.method == "POST") {
      answer = interaction_record("int-2", "queued").dump();
    } else if (++polls < 3) {
      answer = interaction_record("int-2", "in_progress").dump();
    } else {
      answer = interaction_record("int-2", "completed", {"Waggle ", "dance."}).dump();
    }
    co_await exchange.respond(200, std::move(answer));
  });
  std::vector<double> waits;
  GoogleDeepResearcherOptions options = wire_options(server, false);
  options.status_check_interval = 7.5;
  options.sleep = [&waits](double seconds) -> asio::awaitable<void> {
    waits.push_back(seconds);
    co_return;
  };
  GoogleDeepResearcher researcher(std::move(options));
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  LMOutput output = run_client(io, server, research(researcher, emitter));
  EXPECT_EQ(output.text(), "Waggle dance.");
  EXPECT_EQ(emitter->events().size(), 6u);
  EXPECT_THAT(waits, ElementsAre(7.5, 7.5));
  ASSERT_EQ(server.requests.size(), 4u);
  EXPECT_EQ(server.requests[0].body,
            R"({"input":"Why do bees dance?","agent":"deep-research-preview-04-2026",)"
            R"("background":true})");
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(server.requests[i].target, "/v1/interactions/int-2");
    EXPECT_EQ(server.requests[i].header("Api-Revision"), "2026-05-20");
  }
}

using testing::Break;

// An interactions API whose streams break as `mode` says. Every attempt
// creates "int-<n>"; cancel requests are answered.
struct InteractionsApi : testing::BreakingService {
  using BreakingService::BreakingService;

  asio::awaitable<void> serve(Exchange& exchange) {
    const auto& request = exchange.request;
    if (request.method == "POST" && request.target == "/v1/interactions") {
      const std::string id = "int-" + std::to_string(++created);
      co_await exchange.start_events();
      co_await exchange.chunk(sse_frame(created_event(id, "e0")) +
                              sse_frame(text_step_delta(1, "Bees ", "e1")));
      co_await hold(exchange);
    } else if (request.method == "POST") {
      co_await exchange.respond(200, interaction_record("int", "cancelled").dump());
    } else if (request.target.find("stream=true") != std::string::npos) {
      co_await exchange.start_events();
      co_await hold(exchange);
    } else {
      const bool failed = mode == Break::FAIL;
      Value record = interaction_record("int", failed ? "failed" : "in_progress");
      if (failed) record["errors"] = {{{"code", "quota"}, {"message", "Quota\n exhausted."}}};
      co_await exchange.respond(200, record.dump());
    }
  }

  // What an open stream does after its events.
  asio::awaitable<void> hold(Exchange& exchange) {
    if (mode == Break::FAIL) co_await exchange.end_events();
    if (mode == Break::DROP) exchange.close();
    if (mode == Break::STALL || mode == Break::CANCEL) co_await exchange.wait_for_close();
  }
};

// Each attempt that ends without its result cancels its interaction before
// the next one is created, unless the service reported it ended; the
// caller's cancellation cancels it too. A run that failed is retried, with
// one warning naming the attempt and the service's reason.
TEST(GoogleDeepResearcherWireTest, NoAttemptLeavesItsInteractionRunning) {
  for (Break mode : {Break::STALL, Break::DROP, Break::FAIL, Break::CANCEL}) {
    SCOPED_TRACE(static_cast<int>(mode));
    core::LogCapture log;
    asio::io_context io;
    InteractionsApi service(mode);
    LoopbackServer server(io, [&service](Exchange& exchange) { return service.serve(exchange); });
    GoogleDeepResearcher researcher(wire_options(server, true, 1));
    // The caller cancels once the answer has begun: the interaction is named.
    auto emitter = std::make_shared<core::EventEmitter>();
    emitter->add_handler([&service](const core::Event& event) -> asio::awaitable<void> {
      if (service.mode == Break::CANCEL && event.type == "response") {
        service.cancel.emit(asio::cancellation_type::terminal);
      }
      co_return;
    });
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, service.cancel, research(researcher, emitter));
    ASSERT_TRUE(failure);
    const std::size_t creates = testing::count_requests(server, "POST", "/v1/interactions");
    const std::size_t cancels = testing::count_requests(server, "POST", "/cancel");
    EXPECT_EQ(creates, mode == Break::CANCEL ? 1u : 2u);
    EXPECT_EQ(cancels, mode == Break::FAIL ? 0u : creates);
    // Never two at once: the next create comes after the cancel (a failed
    // interaction has ended at the service).
    bool running = false;
    for (const std::string& line : testing::request_lines(server)) {
      if (line == "POST /v1/interactions") {
        EXPECT_FALSE(running && mode != Break::FAIL);
        running = true;
      }
      if (line.ends_with("/cancel")) running = false;
    }
    if (mode == Break::CANCEL) {
      EXPECT_TRUE(core::is_cancellation(failure));
    }
    if (mode == Break::FAIL) {
      EXPECT_EQ(core::describe_exception(failure),
                "Research failed with status: 'failed': Quota exhausted.");
      EXPECT_THAT(log.messages("retry", core::LogLevel::warn),
                  ElementsAre("Attempt 1/2 failed: Research failed with status: 'failed': Quota "
                              "exhausted. Retrying in 0 seconds.",
                              "Attempt 2/2 failed. Giving up."));
    }
  }
}

// A run the service ends itself is never asked to stop: one completed
// without answer text (the stream and the record hold none) is the call's
// one run, returned without text; one reported failed in its stream before
// the stream's error is run again, under the policy, without a cancel.
TEST(GoogleDeepResearcherWireTest, ARunTheServiceEndedIsNotCancelled) {
  for (const bool failed : {false, true}) {
    SCOPED_TRACE(failed ? "failed" : "empty");
    core::LogCapture log;
    asio::io_context io;
    int created = 0;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      const auto& request = exchange.request;
      if (request.method == "GET") {
        co_await exchange.respond(200, interaction_record("int", "completed").dump());
        co_return;
      }
      if (request.target.ends_with("/cancel")) {
        co_await exchange.respond(200, interaction_record("int", "cancelled").dump());
        co_return;
      }
      const std::string id = "int-" + std::to_string(++created);
      std::string body =
          sse_frame(created_event(id, "e0")) + sse_frame(thought_step_delta(0, "Planning.", "e1"));
      if (failed) {
        const Value update = {{"event_type", "interaction.status_update"},
                              {"interaction", {{"id", id}, {"status", "failed"}}},
                              {"event_id", "e2"}};
        body += sse_frame(update) + sse_frame(error_event("INTERNAL", "The run failed."));
      } else {
        body += sse_frame(completed_event(id, "e2"));
      }
      co_await exchange.start_events();
      co_await exchange.chunk(std::move(body));
      co_await exchange.end_events();
    });
    GoogleDeepResearcher researcher(wire_options(server, true, 1));
    asio::cancellation_signal cancel;
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, cancel, research(researcher, nullptr));
    EXPECT_EQ(testing::count_requests(server, "POST", "/v1/interactions"), failed ? 2u : 1u);
    EXPECT_EQ(testing::count_requests(server, "POST", "/cancel"), 0u);
    if (failed) {
      ASSERT_TRUE(failure);
      EXPECT_THAT(core::describe_exception(failure), ::testing::HasSubstr("The run failed."));
    } else {
      EXPECT_FALSE(failure);
      EXPECT_EQ(testing::count_requests(server, "GET", "/v1/interactions/int-1"), 1u);
      EXPECT_TRUE(log.messages("retry", core::LogLevel::warn).empty());
    }
  }
}

// A stream whose body ends cleanly before it names its interaction (empty,
// or [DONE] alone) is the call's one interaction: an empty output, no event,
// one warning and no further request. One that breaks before that ends the
// call: the service accepted the create, so its interaction may be going on
// and no second one is created.
TEST(GoogleDeepResearcherWireTest, AStreamThatEndsBeforeNamingItsInteractionIsNoFailure) {
  enum class Body { EMPTY, EMPTY_CHUNKED, DONE_ONLY, BROKEN };
  for (const Body body : {Body::EMPTY, Body::EMPTY_CHUNKED, Body::DONE_ONLY, Body::BROKEN}) {
    SCOPED_TRACE(static_cast<int>(body));
    core::LogCapture log;
    asio::io_context io;
    LoopbackServer server(io, [body](Exchange& exchange) -> asio::awaitable<void> {
      if (body == Body::EMPTY) {
        co_await exchange.respond(200, "", "Content-Type: text/event-stream\r\n");
        co_return;
      }
      co_await exchange.start_events();
      if (body == Body::DONE_ONLY) co_await exchange.chunk("data: [DONE]\n\n");
      if (body == Body::BROKEN) {
        co_await exchange.chunk("data: {\"event_type\": \"interaction.cre");
        exchange.close();
        co_return;
      }
      co_await exchange.end_events();
    });
    GoogleDeepResearcher researcher(wire_options(server, true, 1));
    auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
    if (body == Body::BROKEN) {
      EXPECT_THROW(run_client(io, server, research(researcher, emitter)), core::RunMayGoOnError);
      EXPECT_EQ(testing::count_requests(server, "POST", "/v1/interactions"), 1u);
      continue;
    }
    const LMOutput output = run_client(io, server, research(researcher, emitter));
    EXPECT_TRUE(output.texts().empty());
    EXPECT_TRUE(output.thinkings().empty());
    EXPECT_TRUE(emitter->events().empty());
    EXPECT_THAT(testing::request_lines(server), ElementsAre("POST /v1/interactions"));
    EXPECT_THAT(log.messages("GoogleDeepResearcher", core::LogLevel::warn),
                ElementsAre("The interactions stream ended without answer text and without "
                            "naming its interaction; the research returns no answer."));
    EXPECT_TRUE(log.messages("retry", core::LogLevel::warn).empty());
  }
}

// A refusal ends the call at once; a 503 is retried by the client alone.
TEST(GoogleDeepResearcherWireTest, RetriesOnlyWhatARetryCanFix) {
  for (const int status : {401, 503}) {
    asio::io_context io;
    LoopbackServer server(io, [status](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(status, "<html>\n<body>\n  Go away\n</body>\n</html>\n",
                                "retry-after-ms: 1\r\n");
    });
    GoogleDeepResearcher researcher(wire_options(server, true, 3));
    try {
      run_client(io, server, research(researcher, nullptr));
      ADD_FAILURE() << "no error";
    } catch (const net::HttpError& error) {
      EXPECT_EQ(error.status(), status);
    }
    // The client's own two retries of the 503, no second attempt on top.
    EXPECT_EQ(server.requests.size(), status == 401 ? 1u : 3u);
  }
}

// A failed interaction's reasons (and a status that is no status) are
// quoted with the key in use masked, whether it came from the options,
// GEMINI_API_KEY or GOOGLE_API_KEY, also where the reason holds it escaped.
TEST(GoogleDeepResearcherWireTest, AFailedInteractionNeverShowsTheKey) {
  const std::string key = "AIza-env-key";
  for (const std::string from : {"options", "GEMINI_API_KEY", "GOOGLE_API_KEY"}) {
    SCOPED_TRACE(from);
    testing::ScopedEnv gemini("GEMINI_API_KEY",
                              from == "GEMINI_API_KEY" ? std::optional(key) : std::nullopt);
    testing::ScopedEnv google("GOOGLE_API_KEY",
                              from == "GOOGLE_API_KEY" ? std::optional(key) : std::nullopt);
    const bool odd_status = from == "GOOGLE_API_KEY";
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.method == "POST") {
        co_await exchange.respond(200, interaction_record("int-1", "in_progress").dump());
        co_return;
      }
      Value record = interaction_record("int-1", odd_status ? "failed for " + key : "failed");
      record["errors"] = {{{"code", "auth"}, {"message", "key " + key + " rejected"}},
                          {{"code", "auth"}, {"message", "also AIza-\\u0065nv-key"}}};
      co_await exchange.respond(200, record.dump());
    });
    GoogleDeepResearcherOptions options = wire_options(server, false);
    options.api_key = from == "options" ? std::optional(key) : std::nullopt;
    GoogleDeepResearcher researcher(std::move(options));
    asio::cancellation_signal cancel;
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, cancel, research(researcher, nullptr));
    EXPECT_EQ(core::describe_exception(failure),
              std::string("Research failed with status: ") +
                  (odd_status ? "'failed for ***'" : "'failed'") + ": key *** rejected; also ***.");
  }
}

// The interaction id and event ids are the service's: where they name the
// interaction or an event in an error or a log line (also inside a URL),
// the key is masked and an overlong id cut. The stream ends without text,
// keeps ending without a new event, or sends a delta without its text; the
// cancel that follows the last two fails, so the call ends saying that the
// interaction may be going on. An interaction that completed without text
// is no failure: its id is shown in the warnings only.
TEST(GoogleDeepResearcherWireTest, ServiceIdsNeverShowTheKey) {
  enum class Case { NO_TEXT, BREAKS, BAD_DELTA };
  const std::string pad = " " + std::string(2000, 'x');
  const std::string id = "int-" + kKey + pad;
  const std::string cut = "*** " + std::string(300 - 8, 'x');
  for (const Case c : {Case::NO_TEXT, Case::BREAKS, Case::BAD_DELTA}) {
    SCOPED_TRACE(static_cast<int>(c));
    core::LogCapture log;
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      const std::string& target = exchange.request.target;
      if (target.ends_with("/cancel")) {
        co_await exchange.respond(500, R"({"error":{"message":"No."}})");
        co_return;
      }
      if (exchange.request.method == "GET" && target.find("stream=true") == std::string::npos) {
        const std::string status = c == Case::NO_TEXT ? "completed" : "in_progress";
        co_await exchange.respond(200, interaction_record(id, status).dump());
        co_return;
      }
      co_await exchange.start_events();
      if (exchange.request.method == "POST") {
        std::string body = sse_frame(created_event(id, "e0"));
        if (c == Case::BAD_DELTA) {
          Value delta = text_step_delta(1, "", "evt-" + kKey + pad);
          delta["delta"].erase("text");
          body += sse_frame(delta);
        }
        co_await exchange.chunk(body);
      }
      co_await exchange.end_events();
    });
    GoogleDeepResearcher researcher(wire_options(server, true));
    asio::cancellation_signal cancel;
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, cancel, research(researcher, nullptr));
    const std::string what = failure ? core::describe_exception(failure) : "no failure";
    EXPECT_EQ(what.find(kKey), std::string::npos) << what;
    EXPECT_LT(what.size(), 1000u) << what;
    if (c == Case::NO_TEXT) {
      EXPECT_EQ(what, "no failure");
      EXPECT_THAT(log.messages("GoogleDeepResearcher", core::LogLevel::warn),
                  ::testing::Contains("The interaction 'int-" + cut +
                                      "...' completed without answer text; the research returns "
                                      "no answer."));
    } else if (c == Case::BREAKS) {
      EXPECT_THAT(what, ::testing::StartsWith("The run 'int-" + cut +
                                              "...' of POST http://127.0.0.1:"));
      EXPECT_THAT(what, ::testing::HasSubstr("could not be cancelled and may be going on at the "
                                             "service; no new run was started. The attempt "
                                             "failed: The event stream of the interaction "
                                             "'int-*** xxx"));
    } else {
      EXPECT_THAT(what, ::testing::HasSubstr(". The attempt failed: The interactions stream sent a "
                                             "content delta without text (event 'evt-*** xxx"));
    }
    EXPECT_FALSE(log.lines().empty());
    for (const auto& line : log.lines()) {
      EXPECT_EQ(line.message.find(kKey), std::string::npos) << line.message;
      EXPECT_LT(line.message.size(), 1000u) << line.message;
    }
  }
}

// An attempt that fails on a malformed delta cancels its interaction. The
// caller's first cancellation or deadline, landing while the server holds
// that cancel request, does not stop it: the service gets the cancel and
// answers it, and the caller gets its cancellation or time-out, which is not
// retried. After a second cancellation the call ends at once and leaves the
// cancel request to go on alone (here the server stops with the call).
TEST(GoogleDeepResearcherWireTest, TheCancelOfAFailedAttemptOutlastsTheCallersFirstCancellation) {
  using Stop = CallerStop;
  constexpr auto kLimit = std::chrono::seconds(1);
  for (const Stop stop : {Stop::DEADLINE, Stop::CANCEL, Stop::CANCEL_TWICE}) {
    SCOPED_TRACE(static_cast<int>(stop));
    core::LogCapture log;
    asio::io_context io;
    asio::cancellation_signal signal;
    std::chrono::steady_clock::time_point created;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (!exchange.request.target.ends_with("/cancel")) {
        created = std::chrono::steady_clock::now();
        Value delta = text_step_delta(1, "", "e1");
        delta["delta"].erase("text");
        co_await exchange.start_events();
        co_await exchange.chunk(sse_frame(created_event("int-1", "e0")) + sse_frame(delta));
        co_await exchange.wait_for_close();
        co_return;
      }
      // Under a deadline (set before the create came) the cancel is held until it passed.
      const auto deadline = created + kLimit + std::chrono::milliseconds(1);
      if (!co_await hold_cancel_request(exchange, stop, deadline, signal)) co_return;
      co_await exchange.respond(200, interaction_record("int-1", "cancelled").dump());
    });
    GoogleDeepResearcherOptions options = wire_options(server, true, 3);
    // The cancel request is held for up to a second: no idle limit cuts it.
    options.client_factory = [url = server.base_url()](const Value& params) {
      auto client_options = providers::google::HttpInteractionsOptions::from_client_params(params);
      client_options.base_url = url;
      return std::make_shared<providers::google::HttpInteractionsClient>(client_options);
    };
    GoogleDeepResearcher researcher(std::move(options));
    asio::awaitable<LMOutput> call = research(researcher, nullptr);
    if (stop == Stop::DEADLINE) call = core::with_timeout(std::move(call), kLimit);
    const auto started = std::chrono::steady_clock::now();
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, signal, std::move(call));
    ASSERT_TRUE(failure);
    if (stop == Stop::DEADLINE) {
      EXPECT_EQ(core::describe_exception(failure), "Operation timed out after 1 seconds");
    } else {
      EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
    }
    EXPECT_THAT(testing::request_lines(server),
                ElementsAre("POST /v1/interactions", "POST /v1/interactions/int-1/cancel"));
    const auto warnings = log.messages("GoogleDeepResearcher", core::LogLevel::warn);
    if (stop == Stop::CANCEL_TWICE) {
      EXPECT_THAT(warnings, ElementsAre(::testing::StartsWith(
                                "Could not cancel the interaction 'int-1': connection to")));
      // Ended by the cancellation, long before the clean-up's own limit.
      EXPECT_LT(std::chrono::steady_clock::now() - started, core::CLEAN_UP_TIME_LIMIT / 2);
    } else {
      EXPECT_THAT(warnings, ::testing::IsEmpty());
      EXPECT_THAT(log.messages("GoogleDeepResearcher", core::LogLevel::info),
                  ::testing::Contains("Cancelled the interaction 'int-1'."));
    }
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
