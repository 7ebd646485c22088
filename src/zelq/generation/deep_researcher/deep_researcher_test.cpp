#include "zelq/generation/deep_researcher/deep_researcher.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::generation::deep_researcher {
namespace {

using core::Value;
using inference::Attachment;
using inference::LMOutput;
using inference::Message;
using inference::MessageContent;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A researcher on the shared front whose attempts answer with the request
// text, after failing `failures` times.
class EchoResearcher : public BaseDeepResearcher {
 public:
  explicit EchoResearcher(std::string name = "EchoResearcher", bool streamable = true)
      : BaseDeepResearcher(std::move(name), streamable) {}

  boost::asio::awaitable<LMOutput> research(ResearchRequest request) const override {
    ResearchFrontOptions front{.reserved_keywords = {"input", "agent"}, .base_config = base_config};
    auto attempt = [this](ResearchCallPtr call) { return _attempt(std::move(call)); };
    co_return co_await _research_front(std::move(request), prompt_builder, retry_config,
                                       std::move(front), attempt);
  }

  boost::asio::awaitable<LMOutput> _attempt(ResearchCallPtr call) const {
    calls.push_back(call);
    if (failures > 0) {
      --failures;
      throw core::RuntimeError("service down");
    }
    LMOutput output;
    output.add_text(call->inputs);
    co_return output;
  }

  using BaseDeepResearcher::_filter_text_extra_contents;

  inference::PromptBuilder prompt_builder{"", "{query}"};
  core::RetryConfig retry_config{.max_retries = 2, .base_delay = 0};
  Value base_config = Value::object();
  mutable int failures = 0;
  mutable std::vector<ResearchCallPtr> calls;
};

// Calls the base form of research.
class AbstractResearcher : public BaseDeepResearcher {
 public:
  AbstractResearcher() : BaseDeepResearcher("AbstractResearcher") {}
  boost::asio::awaitable<LMOutput> research(ResearchRequest request) const override {
    return BaseDeepResearcher::research(std::move(request));
  }
};

std::vector<std::string> warnings(const core::LogCapture& log, const char* logger) {
  return log.messages(logger, zelq::core::LogLevel::warn);
}

std::string error_of(const EchoResearcher& researcher, ResearchRequest request) {
  return testing::argument_error_of(
      [&] { core::run_sync(researcher.research(std::move(request))); });
}

TEST(BaseDeepResearcherTest, NamesItsLoggerAfterTheMostDerivedClass) {
  core::LogCapture log;
  EchoResearcher researcher("SubclassOfEcho", false);
  EXPECT_EQ(researcher.class_name(), "SubclassOfEcho");
  EXPECT_FALSE(researcher.streamable);
  EXPECT_TRUE(EchoResearcher().streamable);
  using List = std::vector<MessageContent>;
  EXPECT_EQ(researcher._filter_text_extra_contents(std::nullopt), std::nullopt);
  EXPECT_EQ(researcher._filter_text_extra_contents(List{}), List{});
  EXPECT_EQ(researcher._filter_text_extra_contents(List{"a", "b"}), (List{"a", "b"}));
  EXPECT_THAT(log.lines(), IsEmpty());
  EXPECT_EQ(researcher._filter_text_extra_contents(List{Attachment::from_url("u")}), List{});
  EXPECT_EQ(log.lines().at(0).logger, "SubclassOfEcho");
  EXPECT_THROW(core::run_sync(AbstractResearcher().research({.query = "q"})),
               core::NotImplementedError);
}

TEST(BaseDeepResearcherTest, PreparesTheCallOnceAndRetriesWithTheSameOne) {
  core::LogCapture log;
  EchoResearcher researcher;
  researcher.prompt_builder = inference::PromptBuilder("Be {tone}.", "{query}");
  researcher.base_config = {{"timeout", 3600}, {"background", true}, {"stream", true}};
  researcher.failures = 2;
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  const Attachment png = Attachment::from_bytes({1, 2, 3}, "image/png", "it's.png");
  const Attachment pdf = Attachment::from_url("https://x/y.pdf", "application/pdf");
  ResearchRequest request{.query = "bees",
                          .history = std::vector<Message>{Message::user("hi")},
                          .extra_contents = std::vector<MessageContent>{png, "a", pdf, png, "b"},
                          .hyperparameters = {{"extra", 1}, {"timeout", 600}},
                          .event_emitter = emitter,
                          .kwargs = {{"tone", "brief"}}};
  const LMOutput output = core::run_sync(researcher.research(std::move(request)));
  EXPECT_EQ(output.text(), "System:\nBe brief.\n\nUser:\nhi\n\nUser:\nbees\na\nb");
  // One warning per call, not per attempt.
  EXPECT_THAT(warnings(log, "EchoResearcher"),
              ElementsAre("The `EchoResearcher` currently only supports text extra contents. "
                          "Ignoring unsupported extra contents: [Attachment(filename=\"it's.png\", "
                          "mime_type='image/png', size=3), Attachment(url='https://x/y.pdf', "
                          "mime_type='application/pdf'), Attachment(filename=\"it's.png\", "
                          "mime_type='image/png', size=3)]."));
  EXPECT_EQ(warnings(log, "retry").size(), 2u);
  ASSERT_EQ(researcher.calls.size(), 3u);
  EXPECT_EQ(researcher.calls[0], researcher.calls[1]);
  EXPECT_EQ(researcher.calls[0], researcher.calls[2]);
  EXPECT_EQ(researcher.calls[0]->event_emitter, emitter);
  EXPECT_EQ(researcher.calls[0]->config.dump(),
            R"({"timeout":600,"background":true,"stream":true,"extra":1})");
  EXPECT_EQ(researcher.base_config.dump(), R"({"timeout":3600,"background":true,"stream":true})");

  researcher.failures = 5;
  EXPECT_THROW(core::run_sync(researcher.research({.query = "q", .kwargs = {{"tone", "x"}}})),
               core::RuntimeError);
  EXPECT_EQ(researcher.calls.size(), 6u);
}

TEST(BaseDeepResearcherTest, RejectsBadRequestsBeforeTheFirstAttempt) {
  core::LogCapture log;
  EchoResearcher researcher;
  EXPECT_EQ(error_of(researcher, {.query = "q", .kwargs = {{"tone", 1}, {"query", "x"}}}),
            "TypeError: `EchoResearcher.research` got multiple values for 'query': the prompt "
            "variable 'query' clashes with the argument of the same name.");
  for (const char* name : {"history", "extra_contents", "hyperparameters", "event_emitter"}) {
    EXPECT_THAT(error_of(researcher, {.query = "q", .kwargs = {{name, 1}}}),
                ::testing::StartsWith("TypeError: `EchoResearcher.research` got multiple values"));
  }
  EXPECT_EQ(error_of(researcher, {.query = "q", .hyperparameters = {{"agent", "x"}}}),
            "TypeError: `EchoResearcher.research` got multiple values for 'agent': the "
            "hyperparameter 'agent' clashes with the request argument that the researcher sets "
            "itself.");
  EXPECT_EQ(error_of(researcher, {.query = "q", .hyperparameters = {1, 2}}),
            "TypeError: The hyperparameters of `EchoResearcher.research` must be an object, got "
            "[1, 2].");
  EXPECT_EQ(error_of(researcher, {.query = "q", .kwargs = "tone"}),
            "TypeError: The prompt variables of `EchoResearcher.research` must be an object, got "
            "'tone'.");
  EXPECT_THAT(researcher.calls, IsEmpty());

  // Another researcher's reserved words are ordinary names here.
  researcher.prompt_builder = inference::PromptBuilder("", "{query} {input}");
  ResearchRequest fine{.query = "q", .hyperparameters = {{"query", 1}}, .kwargs = {{"input", "i"}}};
  EXPECT_EQ(core::run_sync(researcher.research(std::move(fine))).text(), "q i");

  // A blank query is no error: the prompt may take its request elsewhere.
  researcher.prompt_builder = inference::PromptBuilder("", "Research {topic}");
  for (const char* query : {"", " \n\u3000"}) {
    ResearchRequest blank{.query = query, .kwargs = {{"topic", "bees"}}};
    EXPECT_EQ(core::run_sync(researcher.research(std::move(blank))).text(), "Research bees");
  }
}

TEST(BaseDeepResearcherTest, OverlaysHyperparametersAndEmitsBlocks) {
  const Value base = {{"a", 1}, {"b", {{"nested", true}}}};
  EXPECT_EQ(overlay_hyperparameters(base, nullptr), base);
  EXPECT_EQ(overlay_hyperparameters(base, {{"c", 3}, {"a", nullptr}}).dump(),
            R"({"a":null,"b":{"nested":true},"c":3})");
  EXPECT_THROW(overlay_hyperparameters(base, "x"), core::TypeError);

  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  core::run_sync(emit_block(emitter, BlockKind::THINKING, "hm"));
  core::run_sync(emit_block(emitter, BlockKind::RESPONSE, ""));
  core::run_sync(emit_block(nullptr, BlockKind::RESPONSE, "lost"));
  const std::vector<core::Event> events = emitter->events();
  EXPECT_THAT(emitter->types(), ElementsAre("thinking_start", "thinking", "thinking_end",
                                            "response_start", "response", "response_end"));
  EXPECT_EQ(events.at(1).value, "hm");
  EXPECT_EQ(events.at(0).id, events.at(2).id);
  EXPECT_EQ(events.at(3).id, events.at(5).id);
  EXPECT_NE(events.at(0).id, events.at(3).id);
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
