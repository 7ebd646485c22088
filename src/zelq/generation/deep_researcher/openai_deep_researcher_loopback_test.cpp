#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kKey = "sk-researcher-secret";

// The real OpenAI provider, pointed at the loopback server, while alive.
class LoopbackOpenAI {
 public:
  explicit LoopbackOpenAI(std::string base_url) {
    providers::register_lm_provider(
        "openai", [base_url](const inference::ModelId& id, const Value& credentials,
                             const Value& config) {
          Value with_base = config;
          with_base["base_url"] = base_url;
          return providers::openai::make_openai_lm_invoker(id, credentials, with_base);
        });
  }
  ~LoopbackOpenAI() {
    providers::register_lm_provider("openai", &providers::openai::make_openai_lm_invoker);
  }
};

asio::awaitable<LMOutput> run(const OpenAIDeepResearcher& researcher, ResearchRequest request) {
  co_return co_await researcher.research(std::move(request));
}

TEST(OpenAIDeepResearcherLoopbackTest, ResearchesThroughTheResponsesApi) {
  core::LogCapture log;
  const OpenAIDeepResearcherOptions options{
      .api_key = kKey, .retry_config = core::RetryConfig{.max_retries = 1, .base_delay = 0}};
  {
    asio::io_context io;
    LoopbackServer refusing(io, [](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(401, R"({"error":{"message":"Bad key )" + kKey + R"("}})");
    });
    LoopbackOpenAI openai(refusing.base_url());
    const OpenAIDeepResearcher researcher(options);
    ResearchRequest refused{.query = "How do bees navigate?"};
    EXPECT_THROW(net::testing::run_client(io, refusing, run(researcher, refused)),
                 net::HttpError);
    EXPECT_EQ(refusing.requests.size(), 1u);  // a refused key fails at once
  }

  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const std::string& event : providers::openai::testing::research_transcript()) {
      co_await exchange.chunk(event);
    }
    co_await exchange.end_events();
  });
  LoopbackOpenAI openai(server.base_url());
  const OpenAIDeepResearcher researcher(options);
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  ResearchRequest request{.query = "How do bees navigate?",
                          .hyperparameters = {{"max_tool_calls", 20}},
                          .event_emitter = emitter};
  const LMOutput output = net::testing::run_client(io, server, run(researcher, request));
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

}  // namespace
}  // namespace zelq::generation::deep_researcher
