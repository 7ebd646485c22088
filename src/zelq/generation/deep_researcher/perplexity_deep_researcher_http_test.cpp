#include "zelq/generation/deep_researcher/perplexity_deep_researcher.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"
#include "zelq/providers/perplexity/testing/transcript.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
namespace transcript = providers::perplexity::testing;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using ::testing::ElementsAre;

PerplexityDeepResearcher researcher_for(const LoopbackServer& server, int max_retries,
                                        int client_retries = 0) {
  return PerplexityDeepResearcher(
      {.api_key = "pplx-e2e",
       .retry_config = core::RetryConfig{.max_retries = max_retries, .base_delay = 0},
       .client_factory =
           providers::perplexity::http_client_factory(Value{{"base_url", server.origin()},
                                                            {"max_retries", client_retries},
                                                            // A stall shows within a test's time.
                                                            {"idle_timeout", 0.15}})});
}

using testing::Break;

// A service whose first stream breaks after its first chunk, as `mode`
// says (for CANCEL: it stalls once the caller has cancelled the call);
// every later stream gives the whole answer of `events`.
struct FirstStreamBreaks : testing::BreakingService {
  FirstStreamBreaks(Break mode, std::vector<std::string> events)
      : BreakingService(mode), events(std::move(events)) {}

  std::vector<std::string> events;
  bool first_closed = false;
  bool closed_before_retry = false;

  asio::awaitable<void> serve(Exchange& exchange) {
    co_await exchange.start_events();
    if (exchange.request.connection == 1) {
      co_await exchange.chunk(events[0] + (mode == Break::ERROR_EVENT ? kErrorEvent : ""));
      if (mode == Break::DROP) {
        exchange.close();
      } else {
        if (mode == Break::CANCEL) cancel.emit(asio::cancellation_type::terminal);
        co_await exchange.wait_for_close();
      }
      first_closed = true;
      co_return;
    }
    closed_before_retry = first_closed;
    for (const auto& event : events) co_await exchange.chunk(event);
    co_await exchange.chunk(transcript::DONE_EVENT);
    co_await exchange.end_events();
  }

  static constexpr const char* kErrorEvent =
      "event: error\ndata: {\"error\":{\"message\":\"overloaded\"}}\n\n";
};

// The first attempt's stream breaks after one chunk with an error event; the
// second streams the whole recorded answer.
TEST(PerplexityDeepResearcherHttpTest, AFailedStreamIsClosedAndTheNextAttemptStartsAnew) {
  const Value results = {{{"title", "Bees"}, {"url", "https://b.org"}, {"snippet", "Waggle."}}};
  FirstStreamBreaks service(
      Break::ERROR_EVENT,
      transcript::answer_events({"<think>Search", " bees.</thi", "nk>Bees", " dance."}, results));
  asio::io_context io;
  LoopbackServer server(io, [&service](Exchange& exchange) { return service.serve(exchange); });
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  const auto researcher = researcher_for(server, 1);
  ResearchRequest request{.query = "bees", .event_emitter = emitter};
  const auto output = run_client(io, server, researcher.research(std::move(request)));

  EXPECT_TRUE(service.closed_before_retry);
  EXPECT_EQ(server.connections, 2u);
  EXPECT_THAT(output.texts(), ElementsAre("Bees dance."));
  ASSERT_EQ(output.thinkings().size(), 1u);
  EXPECT_EQ(output.thinkings()[0].thinking, "Search bees.");
  ASSERT_EQ(output.citations().size(), 1u);
  EXPECT_EQ(output.citations()[0]->text(), "Waggle.");
  EXPECT_EQ(output.citations()[0]->metadata, (Value{{"title", "Bees"}, {"url", "https://b.org"}}));
  // The second attempt's events follow the notice of the retry.
  EXPECT_THAT(emitter->types(),
              ElementsAre("activity", "response_start", "thinking_start", "thinking", "activity",
                          "activity", "response_start", "thinking_start", "thinking", "thinking",
                          "thinking_end", "response", "response", "response_end"));
  const auto sent = emitter->events();
  EXPECT_EQ(sent[4].value.dump(),
            R"({"type":"retry","attempt":2,"max_attempts":2,"reason":"A streamed chunk of POST )" +
                server.origin() + R"(/chat/completions reports an error: overloaded"})");
  EXPECT_NE(sent[1].id, sent[6].id);
  EXPECT_EQ(sent[13].id, sent[6].id);
  EXPECT_EQ(server.requests[0].body, server.requests[1].body);
  EXPECT_EQ(server.requests[1].header("Authorization"), "Bearer pplx-e2e");
}

TEST(PerplexityDeepResearcherHttpTest, ARefusedRequestOptionNamesTheServiceMessage) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(
        400, R"({"error":{"message":"reasoning_effort must be one of low, medium, high",)"
             R"("type":"invalid_parameter","code":400}})");
  });
  const auto researcher = researcher_for(server, 1);
  ResearchRequest request{.query = "bees", .hyperparameters = {{"reasoning_effort", "max"}}};
  try {
    run_client(io, server, researcher.research(std::move(request)));
    FAIL() << "no error";
  } catch (const net::HttpError& error) {
    EXPECT_EQ(error.status(), 400);
    EXPECT_EQ(error.message(), "reasoning_effort must be one of low, medium, high");
  }
  // A refusal ends the call at once: no second request.
  ASSERT_EQ(server.requests.size(), 1u);
  EXPECT_EQ(server.requests[0].json().at("reasoning_effort"), "max");
}

// A completion has no run at the service: closing its connection is what
// stops it. An attempt that stalls or drops, or a call the caller cancels,
// closes its connection before anything else reaches the service.
TEST(PerplexityDeepResearcherHttpTest, EveryBrokenAttemptClosesItsConnectionFirst) {
  for (Break mode : {Break::STALL, Break::DROP, Break::CANCEL}) {
    SCOPED_TRACE(static_cast<int>(mode));
    asio::io_context io;
    FirstStreamBreaks service(mode, transcript::answer_events({"Bees", " dance."}, nullptr));
    LoopbackServer server(io, [&service](Exchange& exchange) { return service.serve(exchange); });
    const auto researcher = researcher_for(server, 1);
    const std::exception_ptr failure = testing::run_cancellable(
        io, server, service.cancel, researcher.research({.query = "bees"}));
    if (mode == Break::CANCEL) {
      EXPECT_TRUE(core::is_cancellation(failure));
      EXPECT_EQ(server.requests.size(), 1u);
    } else {
      EXPECT_FALSE(failure);
      EXPECT_TRUE(service.closed_before_retry);
      EXPECT_EQ(server.requests.size(), 2u);
    }
  }
}

// A refusal ends the call at once; a 503 is retried by the client alone.
TEST(PerplexityDeepResearcherHttpTest, RetriesOnlyWhatARetryCanFix) {
  for (const int status : {401, 503}) {
    asio::io_context io;
    LoopbackServer server(io, [status](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(status, "<html><body>Authorization Required</body></html>",
                                "retry-after-ms: 1\r\n");
    });
    const auto researcher = researcher_for(server, 3, 2);
    EXPECT_THROW(run_client(io, server, researcher.research({.query = "bees"})), net::HttpError);
    EXPECT_EQ(server.requests.size(), status == 401 ? 1u : 3u);
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
