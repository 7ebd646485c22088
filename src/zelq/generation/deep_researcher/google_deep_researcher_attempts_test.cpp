// The research attempts of GoogleDeepResearcher over the HTTP client,
// against a loopback server replaying the interactions API's wire.
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using namespace providers::google::testing;
using ::testing::ElementsAre;

const std::string kKey = "AIza-wire-key";
// Python's str.strip() gives 'Reading sources.' (asked of python3).
const std::string kThought = " \x1c\u3000\n Reading sources.\u2029\u0085 ";

GoogleDeepResearcherOptions wire_options(const LoopbackServer& server, bool show_progress) {
  return {.api_key = kKey,
          .retry_config = core::RetryConfig{.max_retries = 0, .timeout = 20},
          .show_progress = show_progress,
          .client_factory = [url = server.base_url()](const Value& params) {
            auto options = providers::google::HttpInteractionsOptions::from_client_params(params);
            options.base_url = url;
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
                        sse_frame(start) +
                        sse_frame(thought_step_delta(0, kThought, "e1"));
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

TEST(GoogleDeepResearcherWireTest, ATimedOutAttemptCancelsItsInteraction) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.method == "POST" && exchange.request.target == "/v1/interactions") {
      co_await exchange.start_events();
      co_await exchange.chunk(sse_frame(created_event("int-3", "e0")));
      co_await exchange.wait_for_close();
    } else {
      co_await exchange.respond(200, interaction_record("int-3", "cancelled").dump());
    }
  });
  GoogleDeepResearcherOptions options = wire_options(server, true);
  options.retry_config = core::RetryConfig{.max_retries = 0, .timeout = 1.0};
  GoogleDeepResearcher researcher(std::move(options));
  EXPECT_THROW(run_client(io, server, research(researcher, nullptr)), core::TimeoutError);
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(server.requests[1].method, "POST");
  EXPECT_EQ(server.requests[1].target, "/v1/interactions/int-3/cancel");
  EXPECT_EQ(server.requests[1].header("x-goog-api-key"), kKey);
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
