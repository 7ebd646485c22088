#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/providers/parallel/testing/scripted_task_run_client.hpp"

namespace zelq::generation::deep_researcher::parallel_deep_research {
namespace {

using core::Value;
using inference::LMOutput;
using inference::testing::RecordingEventEmitter;
using providers::parallel::TaskRunFailedError;
using namespace providers::parallel::testing;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Exposes the protected parts the tests look at.
class Researcher : public ParallelDeepResearcher {
 public:
  explicit Researcher(ParallelDeepResearcherOptions options)
      : ParallelDeepResearcher(std::move(options), "Researcher") {}
  using ParallelDeepResearcher::_config;
  using ParallelDeepResearcher::_process_citations;
  using ParallelDeepResearcher::_process_mcp_citations;
};

inference::NativeTool mcp(Value kwargs) {
  return inference::NativeTool{inference::NativeToolType::MCP_SERVER, std::move(kwargs)};
}

struct Fixture {
  std::shared_ptr<ScriptedTaskRunClient> client = std::make_shared<ScriptedTaskRunClient>();

  Researcher researcher(int max_retries = 0, double idle = 300) {
    return Researcher(
        {.retry_config =
             core::RetryConfig{.max_retries = max_retries, .base_delay = 0, .timeout = 3600},
         .event_idle_timeout = idle,
         .client_factory = client->factory()});
  }
};

std::vector<std::string> texts_of(const LMOutput& output) {
  std::vector<std::string> out;
  for (const auto& chunk : output.citations())
    out.push_back(chunk->text() + " " + chunk->metadata.dump());
  return out;
}

using net::testing::error_of;

TEST(ParallelDeepResearcherTest, ConstructionOrderDefaultsAndRecords) {
  ::unsetenv("PARALLEL_API_KEY");
  const std::vector<inference::NativeTool> mixed = {mcp({{"url", "u"}}), inference::NativeTool{}};
  const std::vector<inference::NativeTool> reversed = {inference::NativeTool{},
                                                       mcp({{"url", "u"}})};
  // The tool error comes before the key check of the built-in client.
  for (const auto& tools : {mixed, reversed}) {
    EXPECT_EQ(error_of<core::ValueError>([&] { ParallelDeepResearcher({.tools = tools}); }),
              "The `ParallelDeepResearcher` only supports MCP server native tools.");
  }
  EXPECT_EQ(error_of<core::ValueError>([] { ParallelDeepResearcher({.api_key = ""}); }),
            "No Parallel API key: pass api_key or set PARALLEL_API_KEY.");
  ::setenv("PARALLEL_API_KEY", "env-key", 1);
  const ParallelDeepResearcher from_env({.api_key = ""});
  ::unsetenv("PARALLEL_API_KEY");
  EXPECT_EQ(from_env.processor_name, "ultra");
  EXPECT_EQ(from_env.client_params, Value::object());
  EXPECT_EQ(from_env.event_idle_timeout, 300);
  EXPECT_EQ(from_env.retry_config.timeout, 3600);
  EXPECT_EQ(from_env.class_name(), "ParallelDeepResearcher");
  EXPECT_EQ(ParallelDeepResearcher({.api_key = "k"}).client_params.dump(), R"({"api_key":"k"})");

  Fixture f;
  EXPECT_EQ(f.researcher()._config.dump(),
            R"({"mcp_servers":[],"task_spec":{"output_schema":{"type":"text"}},"timeout":3600,)"
            R"("enable_events":true,"betas":["events-sse-2025-07-24","mcp-server-2025-07-17"]})");
  Researcher no_timeout(
      {.retry_config = core::RetryConfig{}, .client_factory = f.client->factory()});
  EXPECT_TRUE(no_timeout._config.at("timeout").is_null());

  const Value records = ParallelDeepResearcher::_format_mcp_servers(
      {mcp({{"url", "u1"}}), mcp({{"extra_params", {{"headers", {{"h", "v"}}}}},
                                  {"allowed_tools", {"t"}},
                                  {"name", "n"}})});
  EXPECT_EQ(records.dump(),
            R"([{"type":"url","url":"u1","name":null,"allowed_tools":null},)"
            R"({"type":"url","url":null,"name":"n","allowed_tools":["t"],"headers":{"h":"v"}}])");
  EXPECT_EQ(error_of<core::TypeError>([&] {
              Researcher({.tools = std::vector{mcp({{"extra_params", {{"url", "x"}}}})},
                          .client_factory = f.client->factory()});
            }),
            "The extra_params of an MCP server tool repeat the record's own key 'url'.");
  EXPECT_EQ(error_of<core::ValueError>([&] {
              Researcher({.event_idle_timeout = 0, .client_factory = f.client->factory()});
            }),
            "The `ParallelDeepResearcher` needs a positive event_idle_timeout, got 0.0.");
  EXPECT_EQ(DEEP_RESEARCH_CONFIG.dump(),
            R"({"enable_events":true,"betas":["events-sse-2025-07-24","mcp-server-2025-07-17"]})");
  EXPECT_FALSE(RunState{}.run_id.has_value());
  EXPECT_EQ(RunState{}.num_sources, 0);
  EXPECT_EQ(ReadSourcesActivity({"a"}).to_value().dump(),
            R"({"type":"read_sources","sources":["a"]})");
}

TEST(ParallelDeepResearcherTest, StreamsThinkingSourcesAndTheAnswer) {
  core::LogCapture log;
  Fixture f;
  f.client->add_run("run_1");
  f.client->add_stream({.events = {progress_message("plan it"),
                                   progress_stats({"a", "b", "c"}, 3),
                                   progress_message("", "x"),
                                   {.type = "task_run.progress_msg"},
                                   {.type = "task_run.progress_stats_x"},
                                   {.type = "x.task_run.progress_msg", .message = "no"},
                                   progress_stats({"a", "b", "c", "d", "e"}, 5),
                                   progress_stats({"a", "b", "c", "d", "e"}, 5),
                                   state_event("run_1", "completed")}});
  Value basis = {{{"field", "output"},
                  {"citations",
                   {{{"url", "https://a"}, {"title", "A"}, {"excerpts", {"ex1", "ex2"}}},
                    {{"url", "https://b"}, {"excerpts", nullptr}}}}}};
  Value beta = {{"mcp-server-2025-07-17",
                 {{{"tool_call_id", "t1"}, {"content", "res"}, {"tool_name", "search"}}}}};
  f.client->add_result(text_result("run_1", "The answer.", basis, beta));
  auto emitter = std::make_shared<RecordingEventEmitter>();
  ResearchRequest request{
      .query = "bees",
      .extra_contents =
          std::vector<inference::MessageContent>{"ctx", inference::Attachment::from_url("u")},
      .hyperparameters = {{"timeout", 60}, {"metadata", {{"k", 1}}}},
      .event_emitter = emitter};
  const LMOutput output = core::run_sync(f.researcher().research(std::move(request)));

  EXPECT_THAT(log.messages("Researcher", zelq::core::LogLevel::warn),
              ElementsAre("The `Researcher` currently only supports text extra contents. Ignoring "
                          "unsupported extra contents: [Attachment(url='u', mime_type='')]."));
  EXPECT_THAT(f.client->log, ElementsAre("create", "events run_1", "close", "result run_1"));
  EXPECT_EQ(f.client->creates.at(0).dump(),
            R"({"input":"bees\nctx","processor":"ultra","mcp_servers":[],)"
            R"("task_spec":{"output_schema":{"type":"text"}},"timeout":60,"enable_events":true,)"
            R"("betas":["events-sse-2025-07-24","mcp-server-2025-07-17"],"metadata":{"k":1}})");
  EXPECT_EQ(f.client->event_timeouts.at(0), 300);  // the idle limit
  EXPECT_EQ(f.client->result_timeouts.at(0), 3600);
  EXPECT_THAT(emitter->types(),
              ElementsAre("thinking_start", "thinking", "thinking_end", "activity",
                          "thinking_start", "thinking", "thinking_end",  //
                          "thinking_start", "thinking", "thinking_end", "activity",
                          "response_start", "response", "response_end"));
  const auto events = emitter->events();
  EXPECT_EQ(events[3].value.dump(), R"({"type":"read_sources","sources":["a","b","c"]})");
  EXPECT_EQ(events[10].value.dump(), R"({"type":"read_sources","sources":["d","e"]})");
  EXPECT_NE(events[0].id, events[4].id);
  EXPECT_EQ(events[12].value, "The answer.");
  ASSERT_EQ(output.thinkings().size(), 3u);
  EXPECT_EQ(output.thinkings()[0].thinking, "plan it");
  EXPECT_EQ(output.text(), "The answer.");
  EXPECT_THAT(texts_of(output), ElementsAre(R"(ex1 {"url":"https://a","title":"A"})",
                                            R"(- {"url":"https://b","title":null})",
                                            R"(res {"tool_name":"search"})"));
}

TEST(ParallelDeepResearcherTest, WithoutAnEmitterThinkingIsKeptAndNothingSent) {
  Fixture f;
  f.client->add_run("run_1");
  f.client->add_stream({.events = {progress_message("m"), progress_stats({"a"}, 1)}});
  // A null basis and null citations hold no citations; the research is kept.
  f.client->add_result(text_result("run_1", "text", Value{{{"citations", nullptr}}}));
  LMOutput output = core::run_sync(f.researcher().research({.query = "q"}));
  EXPECT_EQ(output.thinkings().size(), 1u);
  EXPECT_EQ(output.text(), "text");
  EXPECT_THAT(output.citations(), IsEmpty());
  core::LogCapture log;
  f.client->add_run("run_2");
  f.client->add_result(text_result("run_2", "", nullptr));
  const ParallelDeepResearcher plain({.client_factory = f.client->factory()});
  ResearchRequest request{.query = "q",
                          .extra_contents = std::vector<inference::MessageContent>{
                              inference::Attachment::from_url("u", "image/png")}};
  EXPECT_EQ(core::run_sync(plain.research(std::move(request))).text(), "");
  EXPECT_THAT(log.messages("ParallelDeepResearcher", zelq::core::LogLevel::warn),
              ElementsAre("The `ParallelDeepResearcher` currently only supports text extra "
                          "contents. Ignoring unsupported extra contents: [Attachment(url='u', "
                          "mime_type='image/png')]."));

  EXPECT_EQ(error_of<core::TypeError>([&] {
              core::run_sync(
                  f.researcher().research({.query = "q", .hyperparameters = {{"processor", "x"}}}));
            }),
            "`Researcher.research` got multiple values for 'processor': the hyperparameter "
            "'processor' clashes with the request argument that the researcher sets itself.");
  EXPECT_EQ(error_of<core::ValueError>([&] {
              core::run_sync(
                  f.researcher().research({.query = "q", .hyperparameters = {{"betas", "x"}}}));
            }),
            "The task run setting 'betas' must be a list of texts, got 'x'.");
  EXPECT_EQ(f.client->creates.size(), 2u);
}

TEST(ParallelDeepResearcherTest, IdleStreamTimesOutAndTheNextAttemptReconnects) {
  Fixture f;
  f.client->add_run("run_1");
  f.client->add_stream({.events = {progress_stats({"a", "b"}, 2)}, .stall = true});
  f.client->add_stream({.events = {progress_stats({"a", "b"}, 2)}, .stall = true});
  // The idle limits leave room for a loaded sanitizer build to hand over
  // the events that must come in time; only the stalled reads run out.
  Researcher once = f.researcher(0, 0.5);
  auto emitter = std::make_shared<RecordingEventEmitter>();
  try {
    core::run_sync(once.research({.query = "q", .event_emitter = emitter}));
    ADD_FAILURE() << "no time-out";
  } catch (const EventTimeoutError& error) {
    EXPECT_STREQ(error.what(), "No new event received from Parallel within 0.5 seconds.");
    EXPECT_THROW(std::rethrow_if_nested(error), core::TimeoutError);
  }
  EXPECT_THAT(f.client->log, ElementsAre("create", "events run_1", "close"));

  // One call, two attempts: the second reconnects, skips the events the
  // new stream replays and reports only the sources read since.
  f.client->log.clear();
  f.client->add_run("run_2");
  f.client->add_stream({.events = {progress_stats({"a", "b"}, 2),
                                   progress_stats({"a", "b", "c"}, 3), progress_message("m")}});
  f.client->add_result(text_result("run_2", "done"));
  emitter->clear();
  const LMOutput output =
      core::run_sync(f.researcher(1, 0.5).research({.query = "q", .event_emitter = emitter}));
  EXPECT_THAT(f.client->log, ElementsAre("create", "events run_2", "close", "events run_2", "close",
                                         "result run_2"));
  EXPECT_EQ(output.text(), "done");
  EXPECT_THAT(output.thinkings(), ElementsAre(inference::Thinking{"m"}));
  std::vector<std::string> activities;
  for (const auto& event : emitter->events()) {
    if (event.type == "activity") activities.push_back(event.value.dump());
  }
  EXPECT_THAT(activities, ElementsAre(R"({"type":"read_sources","sources":["a","b"]})",
                                      ::testing::HasSubstr(R"("type":"retry")"),
                                      R"({"type":"read_sources","sources":["c"]})"));
}

TEST(ParallelDeepResearcherTest, FailuresDecideWhetherTheNextAttemptCreatesOrReconnects) {
  Fixture f;
  const auto down = std::make_exception_ptr(core::RuntimeError("down"));
  f.client->fail_create(down);
  f.client->add_run("run_1");
  f.client->fail_result(down);
  f.client->add_result(text_result("run_1", "ok"));
  EXPECT_EQ(core::run_sync(f.researcher(2).research({.query = "q"})).text(), "ok");
  EXPECT_THAT(f.client->log, ElementsAre("create", "create", "events run_1", "close",
                                         "result run_1", "events run_1", "close", "result run_1"));
  EXPECT_EQ(f.client->client_params.size(), 3u);

  // A failed or cancelled run is never reconnected to: the next attempt
  // creates a new one.
  f.client->log.clear();
  auto failed = text_result("run_2", "");
  failed.run["status"] = "failed";
  failed.run["error"] = {{"message", "processor crashed"}};
  f.client->add_run("run_2");
  f.client->add_stream({});
  f.client->add_result(failed);
  f.client->add_run("run_3");
  f.client->add_stream({.events = {state_event("run_3", "cancelled", "stopped by user")}});
  f.client->add_run("run_4");
  f.client->add_stream({});
  f.client->add_result(text_result("run_4", "fresh"));
  EXPECT_EQ(core::run_sync(f.researcher(2).research({.query = "q"})).text(), "fresh");
  EXPECT_THAT(f.client->log, ElementsAre("create", "events run_2", "close", "result run_2",
                                         "create", "events run_3", "close", "create",
                                         "events run_4", "close", "result run_4"));

  f.client->add_run("run_5");
  f.client->add_result(failed);
  EXPECT_EQ(error_of<TaskRunFailedError>(
                [&] { core::run_sync(f.researcher().research({.query = "q"})); }),
            "Parallel task run 'run_5' ended with status 'failed': processor crashed");
  // The service's message is quoted as the client quotes it: key masked,
  // one line, from a state event as from a result.
  f.client = std::make_shared<ScriptedTaskRunClient>("sk-fake-1");
  failed.run["error"]["message"] = "key\n sk-fake-1 refused";
  f.client->add_run("run_7");
  f.client->add_stream({.events = {state_event("run_7", "failed", "key sk-fake-1 ")}});
  EXPECT_EQ(error_of<TaskRunFailedError>(
                [&] { core::run_sync(f.researcher().research({.query = "q"})); }),
            "Parallel task run 'run_7' ended with status 'failed': key ***");
  f.client->add_run("run_8");
  f.client->add_result(failed);
  EXPECT_EQ(error_of<TaskRunFailedError>(
                [&] { core::run_sync(f.researcher().research({.query = "q"})); }),
            "Parallel task run 'run_8' ended with status 'failed': key *** refused");
  f.client = std::make_shared<ScriptedTaskRunClient>();

  // A failing emit abandons the stream, which is closed all the same.
  f.client->log.clear();
  f.client->add_run("run_6");
  f.client->add_stream({.events = {progress_message("m"), progress_message("n")}});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  emitter->fail_at(1);
  EXPECT_THROW(core::run_sync(f.researcher().research({.query = "q", .event_emitter = emitter})),
               core::RuntimeError);
  EXPECT_THAT(f.client->log, ElementsAre("create", "events run_6", "close"));
}

TEST(ParallelDeepResearcherTest, CitationsOfTheBasisThenOfTheMcpToolCalls) {
  providers::parallel::TaskRunResult result =
      text_result("r", "",
                  {{{"citations",
                     {{{"url", "u1"}, {"title", "T"}, {"excerpts", Value::array()}},
                      {{"url", "u1"}, {"title", "T"}, {"excerpts", {"", "second"}}},
                      {{"url", "u2"}, {"excerpts", {"  "}}}}}},
                   {{"citations", Value::array()}},
                   {{"citations", {{{"url", "u1"}, {"title", "T"}, {"excerpts", {"again"}}}}}}},
                  {{"mcp-server-2025-07-17",
                    {{{"tool_call_id", "t1"}, {"content", "c"}, {"server_name", "s"}},
                     {{"tool_call_id", "t2"}, {"content", nullptr}, {"server_name", "s"}},
                     {{"tool_call_id", "t3"}, {"content", ""}, {"server_name", "s"}},
                     {{"tool_call_id", "t4"}}}}});
  LMOutput output;
  Researcher::_process_citations(result, output);
  Researcher::_process_mcp_citations(result, output);
  EXPECT_THAT(texts_of(output),
              ElementsAre(R"(- {"url":"u1","title":"T"})", R"(- {"url":"u1","title":"T"})",
                          R"(   {"url":"u2","title":null})", R"(again {"url":"u1","title":"T"})",
                          R"(c {"server_name":"s"})", R"(- {"server_name":"s"})",
                          R"(- {"server_name":"s"})", "- {}"));
  for (Value beta : {Value(nullptr), Value::object(), Value{{"other", 1}},
                     Value{{"mcp-server-2025-07-17", nullptr}}}) {
    LMOutput none;
    Researcher::_process_mcp_citations(text_result("r", "", nullptr, beta), none);
    EXPECT_THAT(none.citations(), IsEmpty());
  }
}

TEST(ParallelDeepResearcherTest, ReadSourcesFollowTheServiceCount) {
  Fixture f;
  f.client->add_run("run_1");
  // A count ahead of the sample holds back later samples up to it; a
  // smaller count is taken as it is.
  f.client->add_stream({.events = {progress_stats({"a", "b"}, 7),
                                   progress_stats({"a", "b", "c", "d", "e", "f", "g"}, 7),
                                   progress_stats({"a", "b", "c", "d", "e", "f", "g", "h"}, 8),
                                   progress_stats({}, 1), progress_stats({"a", "b"}, 2)}});
  f.client->add_result(text_result("run_1", ""));
  auto emitter = std::make_shared<RecordingEventEmitter>();
  core::run_sync(f.researcher().research({.query = "q", .event_emitter = emitter}));
  std::vector<std::string> reports;
  for (const auto& event : emitter->events()) {
    if (event.type == "activity") reports.push_back(event.value.at("sources").dump());
  }
  EXPECT_THAT(reports, ElementsAre(R"(["a","b"])", R"(["h"])", R"(["b"])"));
}

}  // namespace
}  // namespace zelq::generation::deep_researcher::parallel_deep_research
