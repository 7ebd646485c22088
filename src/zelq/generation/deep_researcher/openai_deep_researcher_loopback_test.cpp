#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using namespace net::testing;
using core::Value;
using inference::LMOutput;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kKey = "sk-researcher-secret";

// The real OpenAI provider, pointed at the loopback server, while alive;
// a stall shows within a test's time and transport retries wait 1 ms.
testing::OpenAIProviderOverride loopback_openai(std::string base_url) {
  return testing::OpenAIProviderOverride(
      [base_url](const inference::ModelId& id, const Value& credentials, const Value& config) {
        Value local = config;
        local["base_url"] = base_url;
        local["idle_timeout"] = 0.15;
        local["retry_base_delay"] = 0.001;
        return providers::openai::make_openai_lm_invoker(id, credentials, local);
      });
}

asio::awaitable<LMOutput> run(const OpenAIDeepResearcher& researcher, ResearchRequest request) {
  co_return co_await researcher.research(std::move(request));
}

TEST(OpenAIDeepResearcherLoopbackTest, ResearchesThroughTheResponsesApi) {
  core::LogCapture log;
  const OpenAIDeepResearcherOptions options{
      .api_key = kKey, .retry_config = core::RetryConfig{.max_retries = 1, .base_delay = 0}};
  // A refused key fails at once; a persistent 503 costs the API client's
  // own three requests and no new attempt.
  for (const int status : {401, 503}) {
    asio::io_context io;
    LoopbackServer refusing(io, [status](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(status, R"({"error":{"message":"Bad key )" + kKey + R"("}})");
    });
    const auto openai = loopback_openai(refusing.base_url());
    const OpenAIDeepResearcher researcher(options);
    auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
    ResearchRequest refused{.query = "How do bees navigate?", .event_emitter = emitter};
    EXPECT_THROW(run_client(io, refusing, run(researcher, refused)), net::HttpError);
    EXPECT_EQ(refusing.requests.size(), status == 401 ? 1u : 3u);
    EXPECT_TRUE(emitter->events().empty());
  }

  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const std::string& event : providers::openai::testing::research_transcript()) {
      co_await exchange.chunk(event);
    }
    co_await exchange.end_events();
  });
  const auto openai = loopback_openai(server.base_url());
  const OpenAIDeepResearcher researcher(options);
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  ResearchRequest request{.query = "How do bees navigate?",
                          .hyperparameters = {{"max_tool_calls", 20}},
                          .event_emitter = emitter};
  const LMOutput output = run_client(io, server, run(researcher, request));
  EXPECT_EQ(output.text(), "Bees use the sun’s position.");
  ASSERT_EQ(output.citations().size(), 1u);
  EXPECT_EQ(output.citations()[0]->metadata.at("url"), "https://bees.example/sun");
  EXPECT_EQ(output.thinkings().size(), 1u);
  EXPECT_THAT(emitter->types(),
              ElementsAre("thinking_start", "thinking", "thinking", "thinking_end", "activity",
                          "activity", "response_start", "response", "response", "response_end"));
  EXPECT_EQ(server.requests.back().body,
            R"({"model":"o4-mini-deep-research",)"
            R"("input":[{"role":"user","content":"How do bees navigate?"}],)"
            R"("tools":[{"type":"code_interpreter","container":{"type":"auto"}},)"
            R"({"type":"web_search_preview"}],"reasoning":{"summary":"auto"},)"
            R"("max_tool_calls":20,"background":true,"stream":true})");
  for (const auto& line : log.lines()) EXPECT_THAT(line.message, Not(HasSubstr(kKey)));
}

using testing::Break;

// Built outside the coroutine below: GCC 12 cannot compile such
// initialiser lists inside one.
std::string created_event(int created) {
  const Value response = {{"id", "resp_" + std::to_string(created)}, {"status", "queued"}};
  return providers::openai::testing::responses_event("response.created", 0,
                                                     {{"response", response}});
}

std::string failed_event() {
  const Value failed = {{"id", "resp"},
                        {"status", "failed"},
                        {"error", {{"code", "server_error"}, {"message", "Overloaded."}}}};
  return providers::openai::testing::responses_event("response.failed", 1, {{"response", failed}});
}

// A Responses API whose streams break as `mode` says.
struct ResponsesApi : testing::BreakingService {
  using BreakingService::BreakingService;

  asio::awaitable<void> serve(Exchange& exchange) {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp","status":"cancelled"})");
      co_return;
    }
    co_await exchange.start_events();
    if (exchange.request.method == "POST") co_await exchange.chunk(created_event(++created));
    if (mode == Break::FAIL) {
      co_await exchange.chunk(failed_event());
      co_await exchange.end_events();
    } else if (mode == Break::DROP) {
      exchange.close();
    } else {
      if (mode == Break::CANCEL) cancel.emit(asio::cancellation_type::terminal);
      co_await exchange.wait_for_close();
    }
  }
};

// The researcher's invoker cancels the response of an attempt that ends
// without its result before the next attempt creates another, and when the
// caller cancels; a failed response has ended and is retried, announced by
// one retry activity naming the attempt and the service's reason.
TEST(OpenAIDeepResearcherLoopbackTest, NoAttemptLeavesItsResponseRunning) {
  for (Break mode : {Break::STALL, Break::DROP, Break::FAIL, Break::CANCEL}) {
    SCOPED_TRACE(static_cast<int>(mode));
    core::LogCapture log;
    asio::io_context io;
    ResponsesApi api(mode);
    LoopbackServer server(io, [&api](Exchange& exchange) { return api.serve(exchange); });
    const auto openai = loopback_openai(server.base_url());
    const OpenAIDeepResearcher researcher(
        {.api_key = kKey, .retry_config = core::RetryConfig{.max_retries = 1, .base_delay = 0}});
    auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
    ResearchRequest request{.query = "How do bees navigate?", .event_emitter = emitter};
    const std::exception_ptr failure =
        testing::run_cancellable(io, server, api.cancel, run(researcher, request));
    ASSERT_TRUE(failure);
    const std::size_t creates = testing::count_requests(server, "POST", "/v1/responses");
    EXPECT_EQ(creates, mode == Break::CANCEL ? 1u : 2u);
    EXPECT_EQ(testing::count_requests(server, "POST", "/cancel"),
              mode == Break::FAIL ? 0u : creates);
    if (mode == Break::FAIL) {
      ASSERT_EQ(emitter->events().size(), 1u);
      EXPECT_EQ(emitter->events()[0].type, "activity");
      EXPECT_EQ(emitter->events()[0].value.dump(),
                R"({"type":"retry","attempt":2,"max_attempts":2,"reason":"The OpenAI response )"
                R"(resp_1 of POST )" +
                    server.base_url() + R"(/responses failed (server_error): Overloaded."})");
    }
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
