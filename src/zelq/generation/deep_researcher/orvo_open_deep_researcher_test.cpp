#include "zelq/generation/deep_researcher/orvo_open_deep_researcher.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"

namespace zelq::generation::deep_researcher::orvo_open_deep_researcher {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::NativeTool;
using inference::NativeToolType;
using providers::orvo::StreamEvent;
using providers::orvo::testing::ScriptedOrvoService;
using providers::orvo::testing::TaskScript;
using ::testing::ElementsAre;

constexpr const char* kLogger = "OrvoOpenDeepResearcher";

class Exposed : public OrvoOpenDeepResearcher {
 public:
  using OrvoOpenDeepResearcher::_build_request_config;
  using OrvoOpenDeepResearcher::_format_mcp_config;
  using OrvoOpenDeepResearcher::OrvoOpenDeepResearcher;
};

NativeTool mcp(Value kwargs) { return {.type = NativeToolType::MCP_SERVER, .kwargs = kwargs}; }

StreamEvent ev(std::string type, Value value = nullptr) {
  return {std::move(type), std::move(value)};
}

TaskScript answered(std::string result, std::vector<StreamEvent> events = {}) {
  return {.events = std::move(events),
          .result = {.status = "SUCCESS", .data = Value{{"result", std::move(result)}}}};
}

class OrvoOpenDeepResearcherTest : public ::testing::Test {
 protected:
  OrvoOpenDeepResearcher::Options options() {
    return {.retry_config = core::RetryConfig{.max_retries = 0, .base_delay = 0},
            .client_factory = service->factory(),
            .status_check_sleep = [sleeps = sleeps](double seconds) -> asio::awaitable<void> {
              sleeps->push_back(seconds);
              co_return;
            }};
  }

  inference::LMOutput research(const OrvoOpenDeepResearcher& researcher, std::string query = "q",
                               Value hyperparameters = nullptr) {
    ResearchRequest request{
        .query = std::move(query), .hyperparameters = hyperparameters, .event_emitter = emitter};
    return core::run_sync(researcher.research(std::move(request)));
  }

  // Each recorded event as "<type>:<value>@<block>", blocks numbered by
  // first appearance of their id.
  std::vector<std::string> sequence() {
    std::vector<std::string> ids;
    std::vector<std::string> out;
    for (const core::Event& event : emitter->events()) {
      auto it = std::find(ids.begin(), ids.end(), event.id);
      if (it == ids.end()) it = ids.insert(ids.end(), event.id);
      const std::string value =
          event.value.is_string() ? event.value.get<std::string>() : event.value.dump();
      out.push_back(event.type + ":" + value + "@" + std::to_string(it - ids.begin()));
    }
    return out;
  }

  std::shared_ptr<ScriptedOrvoService> service = ScriptedOrvoService::create();
  std::shared_ptr<std::vector<double>> sleeps = std::make_shared<std::vector<double>>();
  std::shared_ptr<inference::testing::RecordingEventEmitter> emitter =
      std::make_shared<inference::testing::RecordingEventEmitter>();
  core::LogCapture log;
};

TEST_F(OrvoOpenDeepResearcherTest, ConstructionSettlesClientParamsAndRejectsBadInput) {
  EXPECT_EQ(OrvoOpenDeepResearcher({.client_factory = service->factory()}).client_params,
            (Value{{"base_url", "https://odr.orvo.ai"}, {"timeout", 3600}}));
  const OrvoOpenDeepResearcher keyed({.profile = "TONGYI",
                                      .api_key = "k",
                                      .base_url = "http://b",
                                      .retry_config = core::RetryConfig{.timeout = 2.5},
                                      .client_factory = service->factory()});
  EXPECT_EQ(keyed.client_params.dump(), R"({"base_url":"http://b","api_key":"k","timeout":2.5})");
  auto with = [&](OrvoOpenDeepResearcher::Options o) { return OrvoOpenDeepResearcher(o); };
  EXPECT_EQ(with({.api_key = "",
                  .base_url = "",
                  .retry_config = core::RetryConfig{.timeout = 0},
                  .client_factory = service->factory()})
                .client_params,
            (Value{{"base_url", "https://odr.orvo.ai"}}));

  // The tool check comes first, before the check of the client factory.
  std::vector<NativeTool> tools{mcp({{"name", "a"}}), NativeTool{}};
  try {
    with({.tools = tools});
    FAIL();
  } catch (const core::ValueError& e) {
    EXPECT_STREQ(e.what(), "The `OrvoOpenDeepResearcher` only supports MCP server native tools.");
  }
  try {
    with({});
    FAIL();
  } catch (const core::MissingPackageError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("(extra 'orvo-odr')"));
  }
  auto factory = service->factory();
  EXPECT_THROW(with({.tools = std::vector{mcp({{"url", "u"}})}, .client_factory = factory}),
               core::KeyError);
  EXPECT_THROW(with({.tools = std::vector{mcp({{"name", "a"}, {"extra_params", 3}})},
                     .client_factory = factory}),
               core::TypeError);
  EXPECT_THROW(with({.api_config = "x", .client_factory = factory}), core::TypeError);
}

TEST_F(OrvoOpenDeepResearcherTest, FormatsMcpConfig) {
  const std::string uuid = "123e4567-e89b-12d3-a456-426614174000";
  const Value config = Exposed::_format_mcp_config(
      {mcp({{"name", "s"}, {"url", "old"}}), mcp({{"name", uuid}, {"url", "u2"}}),
       mcp({{"name", "s"}, {"url", ""}, {"allowed_tools", Value::array()}}),
       mcp({{"name", "t"},
            {"url", "u"},
            {"allowed_tools", {"x"}},
            {"extra_params", {{"url", "v"}, {"headers", {{"h", 1}}}}}})});
  EXPECT_EQ(config.dump(), R"({"s":{},")" + uuid + R"(":{"config":{"url":"u2"}},)" +
                               R"("t":{"url":"v","allowed_tools":["x"],"headers":{"h":1}}})");
}

TEST_F(OrvoOpenDeepResearcherTest, ProfileIsFetchedOnceUnderTheLock) {
  service->set_profile({.api_config = {{"a", 1}}, .mcp_config = {{"m", 2}}});
  service->set_profile_latency(std::chrono::milliseconds(5));
  service->fail_profile_requests(1);
  const Exposed researcher(options());
  EXPECT_THROW(core::run_sync(researcher.get_profile("P")), core::RuntimeError);

  std::vector<asio::awaitable<providers::orvo::ProfileResponse>> calls;
  for (int i = 0; i < 10; ++i) calls.push_back(researcher.get_profile(i == 0 ? "P" : "other"));
  const auto profiles = core::run_sync(core::parallel_gather(std::move(calls)));
  for (const auto& profile : profiles) EXPECT_EQ(profile.name, "P");
  EXPECT_THAT(service->profile_requests(), ElementsAre("P", "P"));
  EXPECT_THAT(log.messages(kLogger, zelq::core::LogLevel::info),
              ElementsAre("Fetching default profile config for 'P'.",
                          "Fetching default profile config for 'P'."));

  // Hyperparameters take precedence (with the warning) and are never changed.
  const Value hyper{{"x", 1}, {"api_config", {{"h", true}}}, {"mcp_config", nullptr}};
  const Value config = core::run_sync(researcher._build_request_config(hyper));
  EXPECT_EQ(config.dump(), R"({"api_config":{"h":true},"mcp_config":{"m":2},"x":1})");
  EXPECT_EQ(hyper.size(), 3u);
  EXPECT_THAT(log.messages(kLogger, zelq::core::LogLevel::warn),
              ElementsAre("Passing `api_config` or `mcp_config` via `hyperparameters` is "
                          "deprecated and will be removed in a v0.7 version. Use the `api_config` "
                          "or `tools` parameter in the constructor instead."));

  // An empty api_config and MCP tools given: nothing to fetch.
  auto own = options();
  own.api_config = Value::object();
  own.tools = std::vector{mcp({{"name", "s"}})};
  const Value built = core::run_sync(Exposed(own)._build_request_config(Value::object()));
  EXPECT_EQ(built.dump(), R"({"api_config":{},"mcp_config":{"s":{}}})");
  EXPECT_EQ(service->profile_requests().size(), 2u);
}

TEST_F(OrvoOpenDeepResearcherTest, StreamBecomesBlocksTextThinkingAndCitations) {
  service->add_task(answered(
      "fetched",
      {ev("response", {{"message", " a "}}),
       ev("reference", {{"sources",
                         {"x",
                          {{"content", ""}},
                          {{"content", "c"}},
                          {{"content", "d"}, {"metadata", {{"k", 1}}}, {"score", 0.5}}}}}),
       ev("response", "b"), ev("response", ""), ev("response_start", "z"), ev("thinking_start"),
       ev("thinking", {{"message", "t"}}), ev("thinking", ""), ev("thinking_end"),
       ev("activity", {{"other", 1}}), ev("thinking_start"), ev("response", "inside"),
       ev("thinking", "u"), ev("thinking_end"), ev("reference", {{"sources", nullptr}}),
       ev("thinking_start"), ev("thinking", "lost")}));
  const inference::LMOutput output = research(OrvoOpenDeepResearcher(options()));
  EXPECT_THAT(
      sequence(),
      ElementsAre("response_start:@0", "response: a @0", "response:b@0", "response_end:@0",
                  "thinking_start:@1", "thinking:t@1", "thinking:@1", "thinking_end:@1",
                  R"(activity:{"type":"activity","value":""}@2)", "thinking_start:@3",
                  "response_start:@4", "response:inside@4", "thinking:u@3", "thinking_end:@3",
                  "response_end:@4", "thinking_start:@5", "thinking:lost@5"));
  EXPECT_THAT(output.texts(), ElementsAre(" a b", "inside"));
  EXPECT_THAT(output.thinkings(), ElementsAre(inference::Thinking{"t"}, inference::Thinking{"u"}));
  ASSERT_EQ(output.citations().size(), 2u);
  EXPECT_EQ(output.citations()[0]->text(), "c");
  EXPECT_EQ(output.citations()[0]->metadata, Value::object());
  EXPECT_FALSE(output.citations()[0]->score);
  EXPECT_EQ(output.citations()[1]->metadata, (Value{{"k", 1}}));
  EXPECT_EQ(output.citations()[1]->score, 0.5);
  EXPECT_THAT(log.messages(kLogger, zelq::core::LogLevel::info),
              ElementsAre("Fetching default profile config for 'GPTR-QUICK'.",
                          "Created task task-1 with profile GPTR-QUICK"));

  // Without an emitter: the same output, no events.
  emitter = nullptr;
  service->add_task(
      answered("fetched", {ev("response", "x"), ev("activity", "y"), ev("response", "z")}));
  EXPECT_THAT(research(OrvoOpenDeepResearcher(options())).texts(), ElementsAre("x", "z"));
}

TEST_F(OrvoOpenDeepResearcherTest, FetchedResultAnswersOnlyWhenTheStreamDidNot) {
  service->add_task(
      answered("fetched", {ev("thinking_start"), ev("thinking", "t"), ev("thinking_end")}));
  service->add_task(answered("fetched", {ev("response", "streamed")}));
  service->add_task({.result = {.status = "SUCCESS", .data = Value::object()}});
  const OrvoOpenDeepResearcher researcher(options());
  EXPECT_THAT(research(researcher).texts(), ElementsAre("fetched"));
  EXPECT_THAT(research(researcher).texts(), ElementsAre("streamed"));
  EXPECT_TRUE(research(researcher).texts().empty());
  EXPECT_TRUE(sleeps->empty());

  // Polls through the injected timer until the status is final.
  service->add_task({.statuses = {"STARTED", "PENDING", "SUCCESS"},
                     .result = {.status = "SUCCESS", .data = Value{{"result", "late"}}}});
  EXPECT_THAT(research(researcher).texts(), ElementsAre("late"));
  EXPECT_THAT(*sleeps, ElementsAre(1.0, 1.0));
  EXPECT_THAT(service->status_requests(),
              ElementsAre("task-1", "task-2", "task-3", "task-4", "task-4", "task-4"));

  // Non-text extra contents are dropped with one warning; the research goes on.
  ResearchRequest request{.query = "q",
                          .extra_contents = std::vector<inference::MessageContent>{
                              "t", inference::Attachment::from_url("u", "text/html")}};
  core::run_sync(researcher.research(std::move(request)));
  EXPECT_THAT(log.messages(kLogger, zelq::core::LogLevel::warn),
              ElementsAre("The `OrvoOpenDeepResearcher` currently only supports text extra "
                          "contents. Ignoring unsupported extra contents: [Attachment(url='u', "
                          "mime_type='text/html')]."));
  EXPECT_EQ(service->created_tasks().size(), 5u);
}

TEST_F(OrvoOpenDeepResearcherTest, FailedTasksAndEndlessPollingAreErrors) {
  const OrvoOpenDeepResearcher researcher(options());
  service->add_task({.statuses = {"RUNNING", "FAILURE"}});
  service->add_task({.result = {.status = "REVOKED"}});
  for (const char* expected : {"The Orvo task task-1 ended with status FAILURE.",
                               "The Orvo task task-2 ended with status REVOKED."}) {
    try {
      research(researcher);
      FAIL();
    } catch (const core::RuntimeError& e) {
      EXPECT_STREQ(e.what(), expected);
    }
  }
  EXPECT_THAT(service->fetches(), ElementsAre("task-2"));

  // The retry policy runs a new task after a failed one.
  auto retried = options();
  retried.retry_config->max_retries = 1;
  service->add_task({.result = {.status = "FAILURE", .data = Value{{"result", "lost"}}}});
  service->add_task(answered("second"));
  EXPECT_THAT(research(OrvoOpenDeepResearcher(retried)).texts(), ElementsAre("second"));
  EXPECT_THAT(service->fetches(), ElementsAre("task-2", "task-3", "task-4"));

  auto bounded = options();
  bounded.retry_config->timeout = 2.5;
  service->add_task({.statuses = {"PENDING"}});
  EXPECT_THROW(research(OrvoOpenDeepResearcher(bounded)), core::TimeoutError);
  EXPECT_EQ(sleeps->size(), 3u);  // one wait in the FAILURE case, two here

  // The default wait is a timer that cancellation ends, and a cancelled
  // attempt is not retried.
  auto timed = options();
  timed.retry_config->max_retries = 3;
  timed.status_check_sleep = nullptr;
  service->add_task({.statuses = {"PENDING"}});
  const OrvoOpenDeepResearcher waiting(timed);
  ResearchRequest request{.query = "q"};
  auto call =
      core::with_timeout(waiting.research(std::move(request)), std::chrono::milliseconds(20));
  EXPECT_THROW(core::run_sync(std::move(call)), core::TimeoutError);
  EXPECT_EQ(service->created_tasks().size(), 6u);
}

TEST_F(OrvoOpenDeepResearcherTest, ARetryContinuesTheTaskAndNeverRunsTwo) {
  auto o = options();
  o.retry_config->max_retries = 1;
  const OrvoOpenDeepResearcher researcher(o);
  // The emitter fails in the first attempt; the second reads the same
  // task's stream again and finishes it.
  service->add_task(answered("", {ev("response", "a")}));
  emitter->fail_at(1);
  EXPECT_THAT(research(researcher, "q", Value{{"depth", 2}}).texts(), ElementsAre("a"));
  EXPECT_THAT(sequence(), ElementsAre("response_start:@0",
                                      R"(activity:{"type":"retry","attempt":2,"max_attempts":2,)"
                                      R"("reason":"Scripted failure of emit 1."}@1)",
                                      "response_start:@2", "response:a@2", "response_end:@2"));
  const auto created = service->created_tasks();
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].options.dump(), R"({"api_config":null,"mcp_config":null,"depth":2})");
  EXPECT_THAT(service->status_requests(), ElementsAre("task-1"));
  EXPECT_THAT(
      log.messages(kLogger, zelq::core::LogLevel::info),
      ElementsAre("Fetching default profile config for 'GPTR-QUICK'.",
                  "Created task task-1 with profile GPTR-QUICK", "Continuing task task-1."));

  // A task that does not end within the policy's time-out is asked for
  // again by the next attempt.
  auto bounded = o;
  bounded.retry_config->timeout = 2.5;
  service->add_task({.statuses = {"PENDING", "PENDING", "PENDING", "SUCCESS"},
                     .result = {.status = "SUCCESS", .data = Value{{"result", "late"}}}});
  EXPECT_THAT(research(OrvoOpenDeepResearcher(bounded)).texts(), ElementsAre("late"));
  EXPECT_EQ(service->created_tasks().size(), 2u);
  EXPECT_THAT(service->status_requests(),
              ElementsAre("task-1", "task-2", "task-2", "task-2", "task-2"));

  // A stream that keeps failing (stepped off the loop, so its failure
  // crosses threads) fails the call with its one task.
  emitter->clear();
  service->add_task({.events = {ev("response", "old"), ev("thinking_start"), ev("response", "x")},
                     .fail_at_event = 2,
                     .blocking_stream = true});
  EXPECT_THROW(research(researcher), core::RuntimeError);
  EXPECT_EQ(service->created_tasks().size(), 3u);
  EXPECT_EQ(emitter->types().size(), 9u);  // 4 events, the retry, the same 4 again

  // A hyperparameter repeating a request argument fails before any task.
  EXPECT_THROW(research(researcher, "q", Value{{"profile", "x"}}), core::TypeError);
  EXPECT_EQ(service->created_tasks().size(), 3u);

  // A failure no new attempt can fix (a refused key) ends the call at once.
  int built = 0;
  auto refused = o;
  refused.client_factory =
      [&built](const Value&) -> std::shared_ptr<providers::orvo::DeepResearchClient> {
    ++built;
    throw core::ValueError("The Orvo API key holds white space.");
  };
  EXPECT_THROW(research(OrvoOpenDeepResearcher(refused)), core::ValueError);
  EXPECT_EQ(built, 1);
}

TEST_F(OrvoOpenDeepResearcherTest, WhatTheServiceSentWrongIsRetriedLikeAnyFailedAttempt) {
  auto o = options();
  o.retry_config->max_retries = 1;
  const OrvoOpenDeepResearcher researcher(o);
  // Each attempt reads the task's stream again and meets the same event;
  // the error keeps its kind and text.
  service->add_task(answered("", {ev("response", "a"), ev("response", Value::array({1}))}));
  try {
    research(researcher);
    FAIL() << "no error";
  } catch (const core::TypeError& e) {
    EXPECT_STREQ(e.what(), "The Orvo service sent a response message that is not text: [1].");
  }
  EXPECT_THAT(sequence(), ElementsAre("response_start:@0", "response:a@0",
                                      R"(activity:{"type":"retry","attempt":2,"max_attempts":2,)"
                                      R"("reason":"The Orvo service sent a response message )"
                                      R"(that is not text: [1]."}@1)",
                                      "response_start:@2", "response:a@2"));

  emitter->clear();
  service->add_task(
      answered("", {ev("reference", {{"sources", {{{"content", "c"}, {"score", "high"}}}}})}));
  try {
    research(researcher);
    FAIL() << "no error";
  } catch (const core::ValidationError& e) {
    EXPECT_STREQ(e.what(), "A citation source's score must be a number or null, got 'high'.");
  }
  EXPECT_EQ(emitter->types(), std::vector<std::string>{"activity"});
  EXPECT_EQ(service->created_tasks().size(), 2u);
}

// What the service sent is quoted with the key in use masked, whether the
// researcher was given it or the client takes it from ORVOODR_API_KEY.
TEST_F(OrvoOpenDeepResearcherTest, ServiceDataInErrorsNeverShowsTheKey) {
  const std::string key = "orvo-key-123";
  for (const bool from_env : {false, true}) {
    SCOPED_TRACE(from_env);
    testing::ScopedEnv env(std::string(providers::orvo::API_KEY_ENV),
                           from_env ? std::optional(key) : std::nullopt);
    auto given = options();
    if (!from_env) given.api_key = key;
    given.retry_config->timeout = 0.5;
    const OrvoOpenDeepResearcher researcher(given);
    service->add_task({.events = {ev("response", Value{{"message", {{"k", key}}}})}});
    service->add_task(
        {.events = {
             ev("reference", Value{{"sources", {{{"content", {{"k", "orvo-\\u006bey-123"}}}}}}})}});
    service->add_task({.statuses = {"waiting on " + key}});
    std::vector<std::string> errors;
    for (int i = 0; i < 3; ++i) {
      try {
        research(researcher);
      } catch (const std::exception& e) {
        errors.push_back(e.what());
      }
    }
    EXPECT_THAT(errors,
                ElementsAre("The Orvo service sent a response message that is not text: "
                            "{'k': '***'}.",
                            "A citation source's content must be text or bytes, got {'k': "
                            "'***'}.",
                            "The Orvo task task-" + std::to_string(from_env ? 6 : 3) +
                                " did not reach a final status within 0.5 seconds; its last "
                                "status was 'waiting on ***'."));
  }
}

// The task id is the service's: the key is masked and an overlong id cut
// where it names the task, in errors and in log lines.
TEST_F(OrvoOpenDeepResearcherTest, ATaskIdNeverShowsTheKey) {
  const std::string key = "orvo-key-123";
  auto given = options();
  given.api_key = key;
  given.retry_config->max_retries = 1;
  const OrvoOpenDeepResearcher researcher(given);
  // The emitter fails in the first attempt: the second continues the task.
  service->add_task({.events = {ev("response", "a")},
                     .statuses = {"FAILURE"},
                     .task_id = "task-" + key + "\n" + std::string(2000, 'x')});
  emitter->fail_at(1);
  const std::string shown = "task-*** " + std::string(300 - 9, 'x') + "...";
  try {
    research(researcher);
    FAIL();
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()), "The Orvo task " + shown + " ended with status FAILURE.");
  }
  EXPECT_THAT(log.messages(kLogger, core::LogLevel::info),
              ElementsAre("Fetching default profile config for 'GPTR-QUICK'.",
                          "Created task " + shown + " with profile GPTR-QUICK",
                          "Continuing task " + shown + "."));
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.message.find(key), std::string::npos) << line.message;
    EXPECT_LT(line.message.size(), 1000u);
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher::orvo_open_deep_researcher
