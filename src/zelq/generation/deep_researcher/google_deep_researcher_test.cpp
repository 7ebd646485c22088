#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/providers/google/testing/scripted_interactions_client.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using core::Value;
using namespace inference;
using inference::testing::RecordingEventEmitter;
using providers::google::InteractionOutput;
using namespace providers::google::testing;
using ::testing::ElementsAre;

constexpr const char* kBeta =
    "The 'GoogleDeepResearcher' class utilizes Google's interactions API. This API is currently in "
    "beta and may be subject to changes in the future. Please take this into consideration when "
    "using this class.";

std::string value_error_of(const std::function<void()>& action) {
  return net::testing::error_of<core::ValueError>(action);
}

struct Fixture {
  std::shared_ptr<ScriptedInteractionsClient> client =
      std::make_shared<ScriptedInteractionsClient>();
  std::shared_ptr<RecordingEventEmitter> emitter = std::make_shared<RecordingEventEmitter>();
  std::vector<double> slept;

  GoogleDeepResearcherOptions options(bool show_progress = true) {
    return {.retry_config = core::RetryConfig{.max_retries = 1, .base_delay = 0, .timeout = 60},
            .show_progress = show_progress,
            .status_check_interval = 0.25,
            .client_factory = client->factory(),
            .sleep = [this](double seconds) -> asio::awaitable<void> {
              slept.push_back(seconds);
              co_return;
            }};
  }

  inference::LMOutput research(const GoogleDeepResearcher& researcher,
                               Value hyperparameters = nullptr) {
    ResearchRequest request{
        .query = "bees", .hyperparameters = std::move(hyperparameters), .event_emitter = emitter};
    return core::run_sync(researcher.research(std::move(request)));
  }
};

TEST(GoogleDeepResearcherTest, ConstructsInOrderWithItsConfiguration) {
  core::LogCapture log;
  EXPECT_EQ(value_error_of([] { GoogleDeepResearcher({.agent_name = "Deep-Research-x"}); }),
            "The agent name must be a deep research agent. Invalid agent name: "
            "'Deep-Research-x'.");
  EXPECT_NE(value_error_of([] { GoogleDeepResearcher({.agent_name = "x-deep-research-y"}); }),
            "no error of the expected kind");
  EXPECT_TRUE(log.lines().empty());

  const GoogleDeepResearcher defaults;
  EXPECT_EQ(defaults.agent_name, "deep-research-preview-04-2026");
  EXPECT_EQ(defaults.client_params.dump(), R"({"http_options":{"timeout":3600000}})");
  EXPECT_EQ(defaults._config().dump(),
            R"({"timeout":3600,"background":true,"stream":true,)"
            R"("agent_config":{"type":"deep-research","thinking_summaries":"auto"}})");
  EXPECT_THAT(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::info), ElementsAre(kBeta));

  const GoogleDeepResearcher polled({.api_key = "k-1",
                                     .retry_config = core::RetryConfig{.timeout = 2.5},
                                     .show_progress = false});
  EXPECT_EQ(polled.client_params.dump(), R"({"api_key":"k-1","http_options":{"timeout":2500}})");
  EXPECT_EQ(polled._config().dump(), R"({"timeout":2.5,"background":true})");
  const GoogleDeepResearcher untimed({.api_key = "", .retry_config = core::RetryConfig{}});
  EXPECT_EQ(untimed.client_params.dump(), R"({"http_options":{"timeout":null}})");
  EXPECT_EQ(untimed._config()["timeout"], nullptr);
  const GoogleDeepResearcher zero({.retry_config = core::RetryConfig{.timeout = 0.0}});
  EXPECT_EQ(zero.client_params.dump(), R"({"http_options":{"timeout":null}})");
  EXPECT_EQ(zero._config()["timeout"], 0);
  EXPECT_EQ(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::info).size(), 4u);
  EXPECT_EQ(value_error_of([] { GoogleDeepResearcher({.status_check_interval = -1}); }),
            "The status check interval of `GoogleDeepResearcher` must be a finite number of "
            "seconds >= 0, got -1.0.");
}

TEST(GoogleDeepResearcherTest, ConvertsToolsAndDeprecatedDataStores) {
  core::LogCapture log;
  NativeTool mcp{.type = NativeToolType::MCP_SERVER,
                 .kwargs = {{"name", "docs"},
                            {"url", "https://mcp.example/sse"},
                            {"allowed_tools", {"search", "read"}},
                            {"extra_params", {{"headers", {{"X-A", "1"}}}, {"url", "https://b"}}}}};
  const Value mcp_before = mcp.kwargs;
  std::vector<NativeTool> tools = {
      NativeTool::from_str_or_dict(NativeToolType::WEB_SEARCH),
      {.type = NativeToolType::CODE_INTERPRETER, .kwargs = {{"memory", 2}}},
      mcp,
      {.type = NativeToolType::MCP_SERVER, .kwargs = {{"allowed_tools", Value::array()}}},
      NativeTool::data_store({{.provider = ModelProvider::GOOGLE, .id = "stores/a"}})};
  const GoogleDeepResearcher researcher({.tools = tools,
                                         .show_progress = false,
                                         .data_stores = std::vector<AttachmentStore>{
                                             {.provider = ModelProvider::GOOGLE, .id = "b"}}});
  EXPECT_EQ(researcher._config()["tools"].dump(),
            R"([{"type":"google_search"},{"type":"code_execution","memory":2},)"
            R"({"type":"mcp_server","name":"docs","url":"https://b","headers":{"X-A":"1"},)"
            R"("allowed_tools":[{"tools":["search","read"]}]},)"
            R"({"type":"mcp_server","name":null,"url":null},)"
            R"({"type":"file_search","file_search_store_names":["stores/a"]},)"
            R"({"type":"file_search","file_search_store_names":["b"]}])");
  EXPECT_EQ(mcp.kwargs, mcp_before);
  EXPECT_EQ(GoogleDeepResearcher::_format_native_tool(mcp),
            GoogleDeepResearcher::_format_native_tool(mcp));
  EXPECT_EQ(GoogleDeepResearcher::_format_native_tool({.type = NativeToolType::DATA_STORE}).dump(),
            R"({"type":"file_search","file_search_store_names":[]})");
  EXPECT_THAT(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::warn),
              ElementsAre("The 'data_stores' parameter is deprecated and will be removed in v0.7. "
                          "Please pass data stores as native tools via the `tools` parameter "
                          "instead."));

  log.clear();
  const std::vector<AttachmentStore> openai = {{.provider = ModelProvider::OPENAI, .id = "vs_1"}};
  EXPECT_EQ(value_error_of([&] { GoogleDeepResearcher({.data_stores = openai}); }),
            "`GoogleDeepResearcher` only supports Google data stores.");
  // The notice and the warning come before the conversion fails.
  EXPECT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(value_error_of([] {
              GoogleDeepResearcher(
                  {.tools = std::vector<NativeTool>{{.type = static_cast<NativeToolType>(9)}}});
            }),
            "Unsupported tool type: <NativeToolType: 9>.");
}

TEST(GoogleDeepResearcherTest, StreamsEachDeltaAsABlockOfItsOwn) {
  core::LogCapture log;
  Fixture f;
  f.client->add_create(ScriptedStream{
      .interaction_id = "int-7",
      .events = {make_event("interaction.created", {{"interaction", {{"id", "int-7"}}}}),
                 thought_delta(" \n Planning\u3000 \n"), text_delta(" Bees "),
                 make_event("content.start"),
                 make_event("content.delta", {{"delta", {{"type", "thought_signature"}}}}),
                 text_delta("dance"), thought_delta(" \t "), text_delta("!"),
                 make_event("interaction.completed")}});
  const GoogleDeepResearcher researcher(f.options());
  inference::LMOutput output = f.research(researcher, {{"timeout", 600}, {"extra", true}});

  EXPECT_THAT(output.texts(), ElementsAre(" Bees ", "dance", "!"));
  EXPECT_THAT(output.thinkings(),
              ElementsAre(inference::Thinking{"Planning"}, inference::Thinking{""}));
  const std::vector<core::Event> events = f.emitter->events();
  ASSERT_EQ(events.size(), 15u);
  EXPECT_THAT(
      f.emitter->types(),
      ElementsAre("thinking_start", "thinking", "thinking_end", "response_start", "response",
                  "response_end", "response_start", "response", "response_end", "thinking_start",
                  "thinking", "thinking_end", "response_start", "response", "response_end"));
  EXPECT_EQ(events[1].value, "Planning");
  EXPECT_EQ(events[4].value, " Bees ");
  EXPECT_EQ(events[10].value, "");
  for (std::size_t block = 0; block < 5; ++block) {
    EXPECT_EQ(events[3 * block].id, events[3 * block + 2].id);
    if (block > 0) {
      EXPECT_NE(events[3 * block].id, events[3 * block - 1].id);
    }
  }

  const auto creates = f.client->creates();
  ASSERT_EQ(creates.size(), 1u);
  const auto& request = creates[0];
  EXPECT_EQ(request.input, "bees");
  EXPECT_EQ(request.agent, "deep-research-preview-04-2026");
  EXPECT_EQ(request.config.dump(),
            R"({"timeout":600,"background":true,"stream":true,)"
            R"("agent_config":{"type":"deep-research","thinking_summaries":"auto"},"extra":true})");
  EXPECT_EQ(researcher._config()["timeout"], 60);
  EXPECT_EQ(f.client->client_params().at(0).dump(), R"({"http_options":{"timeout":60000}})");
  EXPECT_TRUE(f.client->gets().empty());
  EXPECT_TRUE(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::warn).empty());

  // A reserved keyword fails before any request.
  EXPECT_THROW(f.research(researcher, {{"agent", "x"}}), core::TypeError);
  EXPECT_EQ(f.client->creates().size(), 1u);
}

TEST(GoogleDeepResearcherTest, FetchesTheOutputsOfAStreamWithoutText) {
  core::LogCapture log;
  Fixture f;
  // The stream ends while the research still runs: polled until it ends.
  f.client->add_create(ScriptedStream{.interaction_id = "int-1", .events = {thought_delta("hm")}});
  f.client->add_get(make_interaction("int-1", "in_progress"));
  f.client->add_get(make_interaction("int-1", "completed", {"Found ", "it."}));
  const GoogleDeepResearcher researcher(f.options());
  inference::LMOutput output = f.research(researcher);
  EXPECT_EQ(output.text(), "Found it.");
  EXPECT_EQ(output.thinkings().size(), 1u);
  EXPECT_THAT(f.client->gets(), ElementsAre("int-1", "int-1"));
  EXPECT_THAT(f.slept, ElementsAre(0.25));
  EXPECT_TRUE(f.client->cancels().empty());
  EXPECT_THAT(f.emitter->types(), ElementsAre("thinking_start", "thinking", "thinking_end",
                                              "response_start", "response", "response_end",
                                              "response_start", "response", "response_end"));
  EXPECT_THAT(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::warn),
              ElementsAre("The stream of the interaction 'int-1' ended without answer text; "
                          "fetching the interaction's outputs."));
}

// An interaction that completes without answer text, in its stream or its
// outputs, is no failure: the one attempt returns what it has, with a
// warning, and no second interaction is paid for.
TEST(GoogleDeepResearcherTest, AnInteractionCompletedWithoutTextGivesAnOutputWithoutText) {
  struct Case {
    const char* name;
    std::vector<providers::google::InteractionEvent> events;
    std::vector<const char*> types;  // sent to the emitter
  };
  const std::vector<Case> cases = {
      {"no events", {}, {}},
      {"completed after a thought",
       {thought_delta("hm"), make_event("interaction.completed")},
       {"thinking_start", "thinking", "thinking_end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::LogCapture log;
    Fixture f;
    f.client->add_create(ScriptedStream{.interaction_id = "int-2", .events = c.events});
    f.client->add_get(make_interaction("int-2", "completed"));
    // What a second attempt would be given.
    f.client->add_create(ScriptedStream{.interaction_id = "int-3", .events = {text_delta("paid")}});
    const GoogleDeepResearcher researcher(f.options());
    inference::LMOutput output = f.research(researcher);
    EXPECT_EQ(output.text(), "");
    EXPECT_TRUE(output.texts().empty());
    EXPECT_EQ(output.thinkings().size(), c.types.size() / 3);
    EXPECT_THAT(f.emitter->types(), ::testing::ElementsAreArray(c.types));
    EXPECT_EQ(f.client->creates().size(), 1u);
    EXPECT_THAT(f.client->gets(), ElementsAre("int-2"));
    EXPECT_TRUE(f.client->cancels().empty());
    EXPECT_THAT(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::warn),
                ElementsAre("The stream of the interaction 'int-2' ended without answer text; "
                            "fetching the interaction's outputs.",
                            "The interaction 'int-2' completed without answer text; the research "
                            "returns no answer."));
    EXPECT_TRUE(log.messages("retry", zelq::core::LogLevel::warn).empty());
  }
}

TEST(GoogleDeepResearcherTest, PollsUntilTheInteractionCompletes) {
  Fixture f;
  f.client->add_create(make_interaction("int-5", "queued"));
  f.client->add_get(make_interaction("int-5", "queued"));
  auto done = make_interaction("int-5", "completed", {"A", "B"});
  done.outputs.insert(done.outputs.begin() + 1, InteractionOutput{.type = "text"});
  f.client->add_get(done);
  const GoogleDeepResearcher researcher(f.options(false));
  EXPECT_THAT(f.research(researcher).texts(), ElementsAre("A", "B"));
  EXPECT_THAT(f.slept, ElementsAre(0.25));
  EXPECT_EQ(f.emitter->events().size(), 6u);

  for (auto [status, message] : {std::pair<std::optional<std::string>, const char*>{
                                     "failed", "Research failed with status: 'failed'."},
                                 {"", "Research failed with status: ''."},
                                 {std::nullopt, "Research failed with status: None."}}) {
    f.client->add_create(make_interaction("int-6", "in_progress"));
    providers::google::Interaction ended{.id = "int-6", .status = status};
    f.client->add_get(ended);
    f.client->add_create(make_interaction("int-6", "in_progress"));
    f.client->add_get(ended);
    try {
      f.research(researcher);
      ADD_FAILURE() << "no error";
    } catch (const core::RuntimeError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

asio::awaitable<void> wait_forever(double) {
  asio::steady_timer timer(co_await asio::this_coro::executor,
                           asio::steady_timer::time_point::max());
  co_await timer.async_wait(asio::use_awaitable);
}

TEST(GoogleDeepResearcherTest, ACancelledAttemptCancelsItsInteraction) {
  core::LogCapture log;
  Fixture f;
  auto options = f.options();
  options.retry_config = core::RetryConfig{.max_retries = 0, .timeout = 0.05};
  f.client->add_create(
      ScriptedStream{.interaction_id = "int-8", .events = {text_delta("a")}, .hang = true});
  EXPECT_THROW(f.research(GoogleDeepResearcher(options)), core::TimeoutError);
  EXPECT_THAT(f.client->cancels(), ElementsAre("int-8"));

  options.show_progress = false;
  options.sleep = &wait_forever;
  f.client->add_create(make_interaction("int-9", "in_progress"));
  f.client->add_get(make_interaction("int-9", "in_progress"));
  EXPECT_THROW(f.research(GoogleDeepResearcher(options)), core::TimeoutError);
  EXPECT_THAT(f.client->cancels(), ElementsAre("int-8", "int-9"));
  EXPECT_THAT(log.messages("GoogleDeepResearcher", zelq::core::LogLevel::info),
              ::testing::Contains("Cancelled the interaction 'int-9'."));
}

// A failed attempt asks the service to stop its interaction only while
// the interaction may still run: not once the service has reported it
// ended, in the stream or in its record.
TEST(GoogleDeepResearcherTest, NoCancelForAnInteractionThatHasEnded) {
  const auto update = [](Value status, bool nested) {
    Value data = {{"status", std::move(status)}};
    if (nested) data = {{"interaction", {{"id", "int-1"}, {"status", data["status"]}}}};
    return make_event("interaction.status_update", std::move(data));
  };
  struct Case {
    const char* name;
    // Streamed: the events before the stream fails; polled: the status of
    // the record after the create.
    std::vector<providers::google::InteractionEvent> events;
    std::string polled_status;
    bool cancelled;
  };
  const std::vector<Case> cases = {
      {"stream reports failed", {update("failed", true)}, "", false},
      {"stream reports cancelled at the top", {update("cancelled", false)}, "", false},
      {"stream reports incomplete", {update("incomplete", true)}, "", false},
      {"stream reports over budget", {update("budget_exceeded", true)}, "", false},
      {"stream reports in progress", {update("in_progress", true)}, "", true},
      {"stream awaits an action", {update("requires_action", true)}, "", true},
      {"stream status not a text", {update(3, true)}, "", true},
      {"stream reports nothing", {text_delta("a")}, "", true},
      {"record failed", {}, "failed", false},
      {"record cancelled", {}, "cancelled", false},
      {"record awaits an action", {}, "requires_action", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    auto options = f.options(c.polled_status.empty());
    options.retry_config = core::RetryConfig{.max_retries = 0, .timeout = 60};
    if (c.polled_status.empty()) {
      f.client->add_create(
          ScriptedStream{.interaction_id = "int-1",
                         .events = c.events,
                         .failure = std::make_exception_ptr(core::RuntimeError("broken"))});
    } else {
      f.client->add_create(make_interaction("int-1", "in_progress"));
      f.client->add_get(make_interaction("int-1", c.polled_status));
    }
    EXPECT_THROW(f.research(GoogleDeepResearcher(options)), core::RuntimeError);
    EXPECT_EQ(f.client->cancels(),
              c.cancelled ? std::vector<std::string>{"int-1"} : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
