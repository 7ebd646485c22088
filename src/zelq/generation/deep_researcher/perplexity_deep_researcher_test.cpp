#include "zelq/generation/deep_researcher/perplexity_deep_researcher.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/providers/perplexity/testing/scripted_perplexity.hpp"

namespace zelq::generation::deep_researcher {
namespace {

using core::Value;
using inference::LMOutput;
using providers::perplexity::testing::ScriptedPerplexity;
using providers::perplexity::testing::search_result;
using providers::perplexity::testing::search_result_without_snippet;
using providers::perplexity::testing::text_chunk;
using Recorder = inference::testing::RecordingEventEmitter;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kWarning =
    "The `PerplexityDeepResearcher` currently only supports text extra contents. Ignoring "
    "unsupported extra contents: ";
constexpr const char* kHistoryWarning =
    "The `PerplexityDeepResearcher` currently only supports text history contents. Ignoring "
    "unsupported history contents: ";

struct Fixture {
  std::shared_ptr<ScriptedPerplexity> service = ScriptedPerplexity::create();
  std::shared_ptr<Recorder> emitter = std::make_shared<Recorder>();

  PerplexityDeepResearcher researcher(int max_retries = 0) {
    return PerplexityDeepResearcher(
        {.api_key = "pplx-key",
         .retry_config = core::RetryConfig{.max_retries = max_retries, .base_delay = 0},
         .client_factory = service->factory()});
  }
  LMOutput research(const PerplexityDeepResearcher& r, ResearchRequest request) {
    return core::run_sync(r.research(std::move(request)));
  }
};

std::string value_error(PerplexityDeepResearcherOptions options) {
  try {
    PerplexityDeepResearcher researcher(std::move(options));
  } catch (const core::ValueError& e) {
    return e.what();
  }
  return "no error";
}

TEST(PerplexityDeepResearcherTest, ConstructionChecksTheModelNameAndKeepsItsSettings) {
  EXPECT_EQ(value_error({.model_name = "sonar-deep-research-pro"}),
            "The model name must be a deep research model. Invalid model name: "
            "'sonar-deep-research-pro'.");
  EXPECT_EQ(value_error({.model_name = "sonar-Deep-Research"}),
            "The model name must be a deep research model. Invalid model name: "
            "'sonar-Deep-Research'.");
  auto service = ScriptedPerplexity::create();
  PerplexityDeepResearcher plain({.client_factory = service->factory()});
  EXPECT_EQ(plain.model_name, "sonar-deep-research");
  EXPECT_EQ(plain.client_params, Value::object());
  EXPECT_EQ(plain.retry_config.timeout, 3600.0);
  EXPECT_EQ(plain.prompt_builder.system_template(), "");
  EXPECT_EQ(plain.prompt_builder.user_template(), "{query}");
  EXPECT_EQ(plain.class_name(), "PerplexityDeepResearcher");
  EXPECT_EQ(PerplexityDeepResearcher({.api_key = ""}).client_params, Value::object());
  EXPECT_EQ(PerplexityDeepResearcher({.api_key = "k"}).client_params, (Value{{"api_key", "k"}}));
}

TEST(PerplexityDeepResearcherTest, MessagesKeepTextPartsAndDropOtherItemsWithOneWarning) {
  core::LogCapture log;
  Fixture f;
  f.service->push_chunks({}).push_chunks({});
  const auto r = f.researcher();
  const inference::Attachment png = inference::Attachment::from_bytes({1, 2, 3}, "image/png");
  const inference::Attachment pdf =
      inference::Attachment::from_url("https://x/y.pdf", "application/pdf");
  ResearchRequest request{
      .query = "bees",
      .history =
          std::vector<inference::Message>{
              inference::Message::user({"look", png}), inference::Message::assistant("ok"),
              inference::Message::user(std::vector<inference::MessageContent>{})},
      .extra_contents = std::vector<inference::MessageContent>{"a", pdf, "b"},
      .hyperparameters = {{"reasoning_effort", "low"}}};
  f.research(r, std::move(request));
  const auto& sent = f.service->clients().at(0)->requests.at(0);
  auto part = [](const char* text) { return Value{{"type", "text"}, {"text", text}}; };
  EXPECT_EQ(sent.model, "sonar-deep-research");
  EXPECT_EQ(sent.messages,
            (Value{{{"role", "user"}, {"content", {part("look")}}},
                   {{"role", "assistant"}, {"content", {part("ok")}}},
                   {{"role", "user"}, {"content", Value::array()}},
                   {{"role", "user"}, {"content", {part("bees"), part("a"), part("b")}}}}));
  EXPECT_EQ(sent.options, (Value{{"reasoning_effort", "low"}}));
  EXPECT_EQ(f.service->clients().at(0)->client_params, (Value{{"api_key", "pplx-key"}}));
  EXPECT_THAT(
      log.messages("PerplexityDeepResearcher", zelq::core::LogLevel::warn),
      ElementsAre(std::string(kWarning) +
                      "[Attachment(url='https://x/y.pdf', mime_type='application/pdf')].",
                  std::string(kHistoryWarning) + "[Attachment(mime_type='image/png', size=3)]."));
  log.clear();
  ResearchRequest texts{.query = "q", .extra_contents = std::vector<inference::MessageContent>{}};
  f.research(r, std::move(texts));
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(PerplexityDeepResearcherTest, ChunkByChunkEventsAndCitationsOfTheFirstChunkWithResults) {
  Fixture f;
  Value null_snippet = search_result(2);
  null_snippet["snippet"] = nullptr;
  Value empty_snippet = search_result(3);
  empty_snippet["snippet"] = "";
  const Value two = {search_result(1), search_result_without_snippet(4)};
  f.service->push_chunks({text_chunk("Bees "), text_chunk("dance.", two),
                          text_chunk("", {null_snippet, empty_snippet}), text_chunk(" End")});
  const LMOutput output = f.research(f.researcher(), {.query = "q", .event_emitter = f.emitter});

  const auto events = f.emitter->events();
  EXPECT_THAT(f.emitter->types(), ElementsAre("activity", "response_start", "response", "activity",
                                              "response", "response", "response_end"));
  EXPECT_EQ(events[0].value, (Value{{"type", "web_search"}, {"sources", Value::array()}}));
  EXPECT_EQ(events[3].value, (Value{{"type", "web_search"}, {"sources", two}}));
  EXPECT_NE(events[0].id, events[3].id);
  for (std::size_t i : {2u, 4u, 5u, 6u}) EXPECT_EQ(events[i].id, events[1].id);
  EXPECT_EQ(events[1].id.size(), 36u);
  EXPECT_EQ(events[2].value, "Bees ");
  EXPECT_EQ(events[5].value, " End");

  EXPECT_THAT(output.texts(), ElementsAre("Bees dance. End"));
  ASSERT_EQ(output.citations().size(), 2u);
  EXPECT_EQ(output.citations()[0]->text(), "Snippet 1.");
  EXPECT_EQ(output.citations()[0]->metadata, search_result_without_snippet(1));
  EXPECT_EQ(output.citations()[1]->text(), "-");
  EXPECT_EQ(output.citations()[1]->metadata, search_result_without_snippet(4));

  // The same stream without an emitter: no events, the same output.
  Fixture quiet;
  quiet.service->push_chunks({text_chunk("a"), text_chunk("b", {null_snippet, empty_snippet})});
  const LMOutput plain = quiet.research(quiet.researcher(), {.query = "q"});
  EXPECT_THAT(plain.texts(), ElementsAre("ab"));
  EXPECT_EQ(plain.citations().at(1)->text(), "-");
}

TEST(PerplexityDeepResearcherTest, EmptyStreamsAndChunksWithoutText) {
  Fixture f;
  Value odd = {
      {"choices", {{{"delta", nullptr}}, {{"delta", {{"content", nullptr}}}}, Value::object()}}};
  f.service->push_chunks({}).push_chunks({odd, text_chunk("")});
  const auto r = f.researcher();
  const LMOutput none = f.research(r, {.query = "q", .event_emitter = f.emitter});
  EXPECT_THAT(f.emitter->events(), IsEmpty());
  EXPECT_THAT(none.texts(), ElementsAre(""));
  EXPECT_THAT(none.citations(), IsEmpty());
  const LMOutput blank = f.research(r, {.query = "q", .event_emitter = f.emitter});
  EXPECT_THAT(f.emitter->types(),
              ElementsAre("activity", "response_start", "activity", "response_end"));
  EXPECT_THAT(blank.texts(), ElementsAre(""));
  EXPECT_TRUE(f.service->clients().at(1)->closed);
}

TEST(PerplexityDeepResearcherTest, AThinkSectionSplitAtEveryByteBecomesThinking) {
  const std::string answer = "<think>Plan the search.</think>Bees dance.";
  for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
    Fixture f;
    f.service->push_chunks({text_chunk(answer.substr(0, cut)), text_chunk(answer.substr(cut))});
    const LMOutput output = f.research(f.researcher(), {.query = "q", .event_emitter = f.emitter});
    std::string thinking;
    std::string response;
    for (const auto& event : f.emitter->events()) {
      if (event.type == "thinking") thinking += event.value.get<std::string>();
      if (event.type == "response") response += event.value.get<std::string>();
    }
    EXPECT_EQ(thinking, "Plan the search.") << "cut at " << cut;
    EXPECT_EQ(response, "Bees dance.") << "cut at " << cut;
    EXPECT_THAT(output.texts(), ElementsAre("Bees dance.")) << "cut at " << cut;
    ASSERT_EQ(output.thinkings().size(), 1u);
    EXPECT_EQ(output.thinkings()[0].thinking, "Plan the search.");
  }
}

// A stream that breaks mid-way is tested over HTTP, in the _http_test.
TEST(PerplexityDeepResearcherTest, EveryWayOutOfAnAttemptClosesItsClient) {
  Fixture f;
  f.service->push_chunks({text_chunk("x")}).push_chunks({text_chunk("y")});
  f.emitter->fail_at(1);
  EXPECT_THROW(f.research(f.researcher(), {.query = "q", .event_emitter = f.emitter}),
               core::RuntimeError);
  EXPECT_TRUE(f.service->clients().at(0)->closed);
  // A client that cannot be built fails the attempt: a missing key ends the
  // call at once, a failure that may pass is retried.
  f.service->fail_next_client(std::make_exception_ptr(core::ValueError("no key")));
  EXPECT_THROW(f.research(f.researcher(3), {.query = "q"}), core::ValueError);
  f.service->fail_next_client(std::make_exception_ptr(core::RuntimeError("busy")));
  EXPECT_THAT(f.research(f.researcher(1), {.query = "q"}).texts(), ElementsAre("y"));
  EXPECT_TRUE(f.service->clients().at(1)->closed);

  // The policy's time-out cancels an attempt waiting on the emitter.
  f.service->push_chunks({text_chunk("slow")});
  auto stalled = std::make_shared<core::EventEmitter>();
  stalled->add_handler([](const core::Event&) -> boost::asio::awaitable<void> {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor,
                                    std::chrono::hours(1));
    co_await timer.async_wait(boost::asio::use_awaitable);
  });
  const PerplexityDeepResearcher timed(
      {.retry_config = core::RetryConfig{.max_retries = 0, .timeout = 0.02},
       .client_factory = f.service->factory()});
  EXPECT_THROW(f.research(timed, {.query = "q", .event_emitter = stalled}), core::TimeoutError);
  ASSERT_EQ(f.service->clients().size(), 3u);
  EXPECT_TRUE(f.service->clients()[2]->closed);
}

TEST(PerplexityDeepResearcherTest, RequestKeywordsAreRefusedBeforeAnyAttempt) {
  for (const char* key : {"model", "messages", "stream"}) {
    Fixture f;
    try {
      f.research(f.researcher(3), {.query = "q", .hyperparameters = {{key, true}}});
      ADD_FAILURE() << key;
    } catch (const core::TypeError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("'" + std::string(key) + "'"));
    }
    EXPECT_THAT(f.service->clients(), IsEmpty());
  }
}

TEST(PerplexityDeepResearcherTest, ConcurrentCallsUseTheirOwnClients) {
  Fixture f;
  f.service->push_chunks({text_chunk("a1"), text_chunk("a2"), text_chunk("a3")})
      .push_chunks({text_chunk("b1"), text_chunk("b2"), text_chunk("b3")});
  const auto r = f.researcher();
  std::vector<boost::asio::awaitable<LMOutput>> calls;
  calls.push_back(r.research({.query = "first"}));
  calls.push_back(r.research({.query = "second"}));
  const auto outputs = core::run_sync(core::parallel_gather(std::move(calls)));
  EXPECT_THAT(outputs[0].texts(), ElementsAre("a1a2a3"));
  EXPECT_THAT(outputs[1].texts(), ElementsAre("b1b2b3"));
  EXPECT_EQ(f.service->clients().size(), 2u);
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
