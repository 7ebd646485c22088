#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::deep_researcher {
namespace {

using core::Value;
using inference::LMOutput;
using inference::testing::RecordingEventEmitter;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Serves "openai/..." with scripted invokers while alive, keeping each one
// built; puts the real provider back afterwards.
class FakeOpenAI {
 public:
  ScriptedLMInvoker& last() const { return *built.back(); }

  std::vector<std::shared_ptr<ScriptedLMInvoker>> built;

 private:
  inference::LMInvokerPtr build(const inference::ModelId& id, const Value& credentials,
                                const Value& config) {
    auto lm = std::make_shared<ScriptedLMInvoker>(id.name, credentials, config);
    lm->set_responder([](const ScriptedLMInvoker::Request& request) {
      LMOutput output;
      output.add_text("answer " + std::to_string(request.index));
      return output;
    });
    built.push_back(lm);
    return lm;
  }

  testing::OpenAIProviderOverride serving_{
      [this](const inference::ModelId& id, const Value& credentials, const Value& config) {
        return build(id, credentials, config);
      }};
};

class MyResearcher : public OpenAIDeepResearcher {
 public:
  MyResearcher() : OpenAIDeepResearcher({}, "MyResearcher") {}
};

using testing::argument_error_of;

TEST(OpenAIDeepResearcherTest, BuildsItsInvokerAndProcessorInOrder) {
  FakeOpenAI openai;
  const OpenAIDeepResearcher plain;
  EXPECT_EQ(plain.class_name(), "OpenAIDeepResearcher");
  EXPECT_TRUE(plain.streamable);
  EXPECT_EQ(openai.last().model_name(), "o4-mini-deep-research");
  EXPECT_EQ(openai.last().credentials(), nullptr);
  EXPECT_EQ(openai.last().config().dump(),
            R"({"tools":[{"type":"code_interpreter"},{"type":"web_search"}],"thinking":true,)"
            R"("retry_config":{"max_retries":3,"base_delay":1.0,"max_delay":10.0,)"
            R"("backoff_factor":2.0,"timeout":3600.0}})");
  EXPECT_EQ(plain.lm_request_processor->lm_invoker(), openai.built.back());
  EXPECT_EQ(plain.lm_request_processor->prompt_builder().user_template(), "{query}");

  // The caller's web-search tool stays as it is; only code interpreter joins.
  const inference::NativeTool search{.type = inference::NativeToolType::WEB_SEARCH,
                                     .kwargs = {{"search_context_size", "high"}}};
  const inference::NativeTool mcp{.type = inference::NativeToolType::MCP_SERVER,
                                  .kwargs = {{"name", "files"}}};
  const OpenAIDeepResearcher custom({.model_name = "o3-deep-research",
                                     .api_key = "sk-test",
                                     .retry_config = core::RetryConfig{.max_retries = 0},
                                     .tools = std::vector<inference::NativeTool>{mcp, search},
                                     .streamable = false});
  EXPECT_FALSE(custom.streamable);
  EXPECT_EQ(openai.last().model_name(), "o3-deep-research");
  EXPECT_EQ(openai.last().credentials(), "sk-test");
  EXPECT_EQ(openai.last().config().at("tools").dump(),
            R"([{"type":"mcp_server","name":"files"},)"
            R"({"type":"web_search","search_context_size":"high"},{"type":"code_interpreter"}])");
  EXPECT_EQ(openai.last().config().at("retry_config").dump(),
            R"({"max_retries":0,"base_delay":1.0,"max_delay":10.0,"backoff_factor":2.0,)"
            R"("timeout":null})");

  using openai_deep_researcher::complete_tools;
  const inference::NativeTool code =
      inference::NativeTool::from_str_or_dict(inference::NativeToolType::CODE_INTERPRETER);
  EXPECT_EQ(complete_tools(std::vector<inference::NativeTool>{search, code}),
            (std::vector<inference::NativeTool>{search, code}));
  EXPECT_EQ(complete_tools(std::vector<inference::NativeTool>{}), complete_tools(std::nullopt));
  EXPECT_EQ(MyResearcher().class_name(), "MyResearcher");
}

TEST(OpenAIDeepResearcherTest, HandsTheWholeCallToTheProcessor) {
  FakeOpenAI openai;
  core::LogCapture log;
  const OpenAIDeepResearcher researcher(
      {.prompt_builder = inference::PromptBuilder("Be {tone}.", "{query}"), .streamable = false});
  ScriptedLMInvoker& lm = openai.last();
  auto emitter = std::make_shared<RecordingEventEmitter>();
  const inference::Attachment pdf =
      inference::Attachment::from_url("https://x/a.pdf", "application/pdf");
  ResearchRequest request{
      .query = "bees",
      .history = std::vector<inference::Message>{inference::Message::assistant("hi")},
      .extra_contents = std::vector<inference::MessageContent>{pdf, "note"},
      .hyperparameters = {{"reasoning", {{"effort", "high"}}}},
      .event_emitter = emitter,
      .kwargs = {{"tone", "brief"}}};
  EXPECT_EQ(core::run_sync(researcher.research(std::move(request))).text(), "answer 0");
  EXPECT_THAT(emitter->types(),
              ElementsAre("response_start", "response", "response", "response_end"));
  ResearchRequest next{.query = "wasps", .kwargs = {{"tone", "dry"}}};
  EXPECT_EQ(core::run_sync(researcher.research(std::move(next))).text(), "answer 1");

  const std::vector<ScriptedLMInvoker::Request> requests = lm.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].prompt_variables.dump(), R"({"query":"bees","tone":"brief"})");
  EXPECT_THAT(
      requests[0].messages,
      ElementsAre(
          inference::Message::system("Be brief."), inference::Message::assistant("hi"),
          inference::Message::user(std::vector<inference::MessageContent>{"bees", pdf, "note"})));
  EXPECT_EQ(requests[0].hyperparameters.dump(), R"({"reasoning":{"effort":"high"}})");
  EXPECT_TRUE(requests[0].streamed);  // streamable false does not hold the emitter back
  EXPECT_EQ(requests[1].hyperparameters, Value::object());  // that call only
  EXPECT_THAT(log.messages("OpenAIDeepResearcher", zelq::core::LogLevel::warn), IsEmpty());

  // A blank query goes through; the prompt takes its request from "topic".
  const OpenAIDeepResearcher topical(
      {.prompt_builder = inference::PromptBuilder("", "Research {topic}")});
  ResearchRequest blank{.query = "", .kwargs = {{"topic", "bees"}}};
  EXPECT_EQ(core::run_sync(topical.research(std::move(blank))).text(), "answer 0");
  EXPECT_EQ(openai.last().requests().at(0).prompt_variables.dump(),
            R"({"query":"","topic":"bees"})");
  EXPECT_THAT(openai.last().requests().at(0).messages,
              ElementsAre(inference::Message::user("Research bees")));
}

TEST(OpenAIDeepResearcherTest, RejectsBadInputBeforeAnyRequest) {
  FakeOpenAI openai;
  EXPECT_EQ(argument_error_of([] { OpenAIDeepResearcher({.model_name = "o4-mini"}); }),
            "ValueError: The model name must be a deep research model. Invalid model name: "
            "'o4-mini'.");
  for (const char* name : {"o4-mini-Deep-Research", "o4-mini-deep-research-2", ""}) {
    EXPECT_THAT(argument_error_of([&] { OpenAIDeepResearcher({.model_name = name}); }),
                ::testing::EndsWith(core::py_repr(name) + "."));
  }
  const std::vector<inference::NativeTool> bad_kwargs{
      inference::NativeTool{},
      inference::NativeTool{.type = inference::NativeToolType::MCP_SERVER, .kwargs = "files"}};
  EXPECT_EQ(argument_error_of([&] { OpenAIDeepResearcher({.tools = bad_kwargs}); }),
            "TypeError: The tools of `OpenAIDeepResearcher` must be native tools; item 1 is not: "
            "its kwargs must be an object, got 'files'.");
  const std::vector<inference::NativeTool> bad_type{
      inference::NativeTool{.type = static_cast<inference::NativeToolType>(9)}};
  EXPECT_THAT(argument_error_of([&] { OpenAIDeepResearcher({.tools = bad_type}); }),
              ::testing::EndsWith("item 0 is not: its type 9 is not a NativeToolType."));
  const std::vector<inference::NativeTool> typed{inference::NativeTool{.kwargs = {{"type", "x"}}}};
  EXPECT_THAT(argument_error_of([&] { OpenAIDeepResearcher({.tools = typed}); }),
              ::testing::EndsWith("item 0 is not: its kwargs must not hold 'type'."));
  EXPECT_THAT(openai.built, IsEmpty());

  const OpenAIDeepResearcher researcher;
  auto research = [&](ResearchRequest request) {
    return [&researcher, request] { core::run_sync(researcher.research(request)); };
  };
  EXPECT_THAT(argument_error_of(research({.query = "q", .kwargs = {{"event_emitter", 1}}})),
              ::testing::StartsWith("TypeError: `OpenAIDeepResearcher.research` got multiple "
                                    "values for 'event_emitter': the prompt variable"));
  for (const char* name : {"model", "input", "stream", "background"}) {
    EXPECT_THAT(argument_error_of(research({.query = "q", .hyperparameters = {{name, true}}})),
                ::testing::HasSubstr(std::string("'") + name + "': the hyperparameter"));
  }
  EXPECT_THAT(argument_error_of(research({.query = "q", .hyperparameters = "fast"})),
              ::testing::StartsWith("TypeError: The hyperparameters of"));
  EXPECT_EQ(openai.last().call_count(), 0u);
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
