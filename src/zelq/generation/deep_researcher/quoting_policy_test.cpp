// The one quoting policy, checked over every client and every researcher:
// whether the key comes from the options or from the environment, a text
// or a value the service sent shows the key masked (also when a line break
// splits it), on one line, and cut.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/orvo_open_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"
#include "zelq/generation/deep_researcher/perplexity_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/openai/openai_client.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
namespace google = providers::google;
namespace orvo = providers::orvo;
namespace parallel = providers::parallel;
namespace perplexity = providers::perplexity;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;

const std::string kKey = "sk-table-KEY-0123456789";
// The key as a plain-text page wraps it: broken by a line break.
const std::string kSplitKey = "sk-table-KEY-\n0123456789";
const std::string kLong = std::string(2000, 'x');
// What a service sends: the key whole in a long text, split in a short one.
const std::string kLongText = "Refused: " + kKey + " " + kLong;
const std::string kSplitText = "Refused:\n  " + kSplitKey + "\n";

// The policy of a client: `params` are its client parameters ({"api_key":
// key} or {}), the environment holds the key or not.
struct ClientRow {
  std::string name;
  // The variable the client reads its key from when not given one; ""
  // when it takes its key from its options only.
  std::string env;
  std::function<net::Quoting(const Value& params)> quoting;
};

// Clients an application writes, built through the abstract clients'
// constructors: with the client parameters, or with none.
class CustomInteractions : public google::InteractionsClient {
 public:
  explicit CustomInteractions(const Value& params) : InteractionsClient(params) {}
  CustomInteractions() = default;
  asio::awaitable<google::CreateInteractionResult> create(
      google::CreateInteractionRequest) const override {
    throw core::RuntimeError("unused");
  }
  asio::awaitable<google::Interaction> get(std::string) const override {
    throw core::RuntimeError("unused");
  }
  asio::awaitable<void> cancel(std::string) const override { throw core::RuntimeError("unused"); }
};

class CustomTaskRuns : public parallel::TaskRunClient {
 public:
  explicit CustomTaskRuns(const Value& params) : TaskRunClient(params) {}
  CustomTaskRuns() = default;
  asio::awaitable<parallel::TaskRun> create(Value) const override {
    throw core::RuntimeError("unused");
  }
  asio::awaitable<std::unique_ptr<parallel::TaskRunEventStream>> events(
      std::string, std::optional<double>) const override {
    throw core::RuntimeError("unused");
  }
  asio::awaitable<parallel::TaskRunResult> result(std::string,
                                                  std::optional<double>) const override {
    throw core::RuntimeError("unused");
  }
};

class CustomOrvo : public orvo::DeepResearchClient {
 public:
  explicit CustomOrvo(const Value& params) : DeepResearchClient(params) {}
  CustomOrvo() = default;
  orvo::ProfilesApi& profiles() override { throw core::RuntimeError("unused"); }
  orvo::TasksApi& tasks() override { throw core::RuntimeError("unused"); }
};

class CustomPerplexity : public perplexity::PerplexityClient {
 public:
  explicit CustomPerplexity(const Value& params) : PerplexityClient(params) {}
  CustomPerplexity() = default;
  asio::awaitable<std::unique_ptr<perplexity::ChatCompletionStream>> create_chat_completion_stream(
      perplexity::ChatCompletionRequest) override {
    throw core::RuntimeError("unused");
  }
  void close() noexcept override {}
};

// A client built without parameters masks the key in the environment only.
template <class Client>
net::Quoting unparameterised(const Value& params) {
  if (params.contains("api_key")) return Client(params).quoting();
  return Client().quoting();
}

std::vector<ClientRow> client_rows() {
  return {
      {"ApiClient", "",
       [](const Value& params) {
         net::ApiClientOptions options;
         options.base_url = "https://api.example.com";
         options.api_key = params.value("api_key", std::string());
         return net::ApiClient(options).quoting();
       }},
      {"OpenAIClient", "OPENAI_API_KEY",
       [](const Value& params) {
         return providers::openai::make_openai_client(params.value("api_key", Value()),
                                                      Value::object(), {})
             ->quoting();
       }},
      {"HttpInteractionsClient", "GEMINI_API_KEY",
       [](const Value& params) {
         return google::make_http_interactions_client(params)->quoting();
       }},
      {"HttpTaskRunClient", "PARALLEL_API_KEY",
       [](const Value& params) {
         return parallel::http_task_run_client_factory()(params)->quoting();
       }},
      {"PerplexityHttpClient", "PERPLEXITY_API_KEY",
       [](const Value& params) { return perplexity::PerplexityHttpClient(params).quoting(); }},
      {"InteractionsClient", "GOOGLE_API_KEY", unparameterised<CustomInteractions>},
      {"TaskRunClient", "PARALLEL_API_KEY", unparameterised<CustomTaskRuns>},
      {"DeepResearchClient", "ORVOODR_API_KEY", unparameterised<CustomOrvo>},
      {"PerplexityClient", "PERPLEXITY_API_KEY", unparameterised<CustomPerplexity>},
  };
}

// Clears every variable a client reads its key from while alive.
struct NoKeysInEnvironment {
  testing::ScopedEnv openai{"OPENAI_API_KEY", std::nullopt};
  testing::ScopedEnv gemini{"GEMINI_API_KEY", std::nullopt};
  testing::ScopedEnv google{"GOOGLE_API_KEY", std::nullopt};
  testing::ScopedEnv parallel{"PARALLEL_API_KEY", std::nullopt};
  testing::ScopedEnv perplexity{"PERPLEXITY_API_KEY", std::nullopt};
  testing::ScopedEnv orvo{"ORVOODR_API_KEY", std::nullopt};
};

TEST(QuotingPolicyTest, EveryClientMasksItsKeyPutsTextsOnOneLineAndCutsThem) {
  const NoKeysInEnvironment clean;
  const std::string cut_text = "Refused: *** " + std::string(300 - 13, 'x') + "...";
  const std::string value_head = "{'detail': 'Refused: *** ";
  const std::string cut_value = value_head + std::string(300 - value_head.size(), 'x') + "...";
  for (const ClientRow& row : client_rows()) {
    for (const bool from_env : {false, true}) {
      if (from_env && row.env.empty()) continue;
      SCOPED_TRACE(row.name + (from_env ? " (key from the environment)" : " (key given)"));
      testing::ScopedEnv env(row.env.empty() ? "ZELQ_UNUSED" : row.env,
                             from_env ? std::optional(kKey) : std::nullopt);
      const net::Quoting quoting =
          row.quoting(from_env ? Value::object() : Value{{"api_key", kKey}});
      EXPECT_EQ(quoting.mask(kKey), "***");
      EXPECT_EQ(quoting.line(kLongText), cut_text);
      EXPECT_EQ(quoting.line(kSplitText), "Refused: ***");
      EXPECT_EQ(quoting.quoted(kSplitText), "'Refused: ***'");
      EXPECT_EQ(quoting.quoted(Value(kSplitText)), "'Refused: ***'");
      EXPECT_EQ(quoting.line(Value{{"detail", kLongText}}), cut_value);
      // The value's line break shows as Python writes it; the key does not.
      EXPECT_EQ(quoting.line(Value{{"detail", kSplitText}}), "{'detail': 'Refused:\\n ***\\n'}");
      EXPECT_EQ(quoting.excerpt(kSplitText), "'Refused: ***'");
      EXPECT_EQ(quoting.excerpt(kLongText), "'" + cut_text.substr(0, 300) + "'...");
    }
  }
}

// A research call fails with a message that quotes what its service sent.
struct ResearcherRow {
  std::string name;
  std::string env;
  // Runs one research call with the key given (or not) and returns its
  // failure, quoting `sent` (a text or a value holding it).
  std::function<std::string(std::optional<std::string> key, const std::string& sent)> fail;
};

std::string failure_of(asio::io_context& io, LoopbackServer& server,
                       asio::awaitable<inference::LMOutput> call) {
  asio::cancellation_signal cancel;
  return core::describe_exception(testing::run_cancellable(io, server, cancel, std::move(call)));
}

asio::awaitable<inference::LMOutput> research_of(std::shared_ptr<const BaseDeepResearcher> r) {
  ResearchRequest request{.query = "q"};
  co_return co_await r->research(std::move(request));
}

// A service that refuses every request with a 401 and a plain-text page.
asio::awaitable<void> refuse(Exchange& exchange, const std::string& sent) {
  co_await exchange.respond(401, sent, "Content-Type: text/plain\r\n");
}

const core::RetryConfig kOnce{.max_retries = 0, .base_delay = 0, .timeout = 20};

std::vector<ResearcherRow> researcher_rows() {
  return {
      {"OpenAIDeepResearcher", "OPENAI_API_KEY",
       [](std::optional<std::string> key, const std::string& sent) {
         asio::io_context io;
         LoopbackServer server(io, [&](Exchange& e) { return refuse(e, sent); });
         const testing::OpenAIProviderOverride openai(
             [url = server.base_url()](const inference::ModelId& id, const Value& credentials,
                                       const Value& config) {
               Value local = config;
               local["base_url"] = url;
               return providers::openai::make_openai_lm_invoker(id, credentials, local);
             });
         auto researcher = std::make_shared<OpenAIDeepResearcher>(
             OpenAIDeepResearcherOptions{.api_key = key, .retry_config = kOnce});
         return failure_of(io, server, research_of(researcher));
       }},
      {"PerplexityDeepResearcher", "PERPLEXITY_API_KEY",
       [](std::optional<std::string> key, const std::string& sent) {
         asio::io_context io;
         LoopbackServer server(io, [&](Exchange& e) { return refuse(e, sent); });
         auto researcher =
             std::make_shared<PerplexityDeepResearcher>(PerplexityDeepResearcherOptions{
                 .api_key = key,
                 .retry_config = kOnce,
                 .client_factory = perplexity::http_client_factory(
                     Value{{"base_url", server.origin()}, {"max_retries", 0}})});
         return failure_of(io, server, research_of(researcher));
       }},
      {"GoogleDeepResearcher", "GEMINI_API_KEY",
       [](std::optional<std::string> key, const std::string& sent) {
         asio::io_context io;
         LoopbackServer server(io, [&](Exchange& e) -> asio::awaitable<void> {
           const Value record = {{"id", "int-1"},
                                 {"status", e.request.method == "POST" ? "in_progress" : "failed"},
                                 {"errors", {{{"message", sent}}}}};
           co_await e.respond(200, record.dump());
         });
         auto researcher = std::make_shared<GoogleDeepResearcher>(GoogleDeepResearcherOptions{
             .api_key = key,
             .retry_config = kOnce,
             .show_progress = false,
             .client_factory = [url = server.base_url()](const Value& params) {
               auto options = google::HttpInteractionsOptions::from_client_params(params);
               options.base_url = url;
               return std::make_shared<google::HttpInteractionsClient>(options);
             }});
         return failure_of(io, server, research_of(researcher));
       }},
      {"ParallelDeepResearcher", "PARALLEL_API_KEY",
       [](std::optional<std::string> key, const std::string& sent) {
         asio::io_context io;
         LoopbackServer server(io, [&](Exchange& e) -> asio::awaitable<void> {
           if (e.request.method == "POST") {
             co_await e.respond(202, R"({"run_id":"trun_1","status":"queued"})");
             co_return;
           }
           const Value run = {
               {"type", "task_run.state"},
               {"run",
                {{"run_id", "trun_1"}, {"status", "failed"}, {"error", {{"message", sent}}}}}};
           co_await e.start_events();
           co_await e.chunk("data: " + run.dump() + "\n\n");
           co_await e.end_events();
         });
         parallel::HttpTaskRunClientOptions http;
         http.base_url = server.origin();
         auto researcher = std::make_shared<ParallelDeepResearcher>(ParallelDeepResearcherOptions{
             .api_key = key,
             .retry_config = kOnce,
             .client_factory = parallel::http_task_run_client_factory(http)});
         return failure_of(io, server, research_of(researcher));
       }},
      {"OrvoOpenDeepResearcher", "ORVOODR_API_KEY",
       [](std::optional<std::string> key, const std::string& sent) {
         auto service = orvo::testing::ScriptedOrvoService::create();
         // A thinking message that is not text: quoted as a value.
         service->add_task({.events = {{.event_type = "thinking",
                                        .value = Value{{"message", {{"detail", sent}}}}}}});
         const OrvoOpenDeepResearcher researcher(
             {.api_key = key, .retry_config = kOnce, .client_factory = service->factory()});
         try {
           ResearchRequest request{.query = "q"};
           core::run_sync(researcher.research(std::move(request)));
         } catch (...) {
           return core::describe_exception(std::current_exception());
         }
         return std::string("no failure");
       }},
  };
}

TEST(QuotingPolicyTest, NoResearcherShowsTheKeyOfItsClient) {
  const NoKeysInEnvironment clean;
  for (const ResearcherRow& row : researcher_rows()) {
    for (const bool from_env : {false, true}) {
      for (const std::string& sent : {kLongText, kSplitText}) {
        SCOPED_TRACE(row.name + (from_env ? " (key from the environment) " : " (key given) ") +
                     core::py_repr(sent.substr(0, 30)));
        testing::ScopedEnv env(row.env, from_env ? std::optional(kKey) : std::nullopt);
        core::LogCapture log;
        const std::string what = row.fail(from_env ? std::nullopt : std::optional(kKey), sent);
        EXPECT_THAT(what, ::testing::HasSubstr("Refused:"));
        EXPECT_THAT(what, ::testing::HasSubstr("***"));
        EXPECT_EQ(what.find("0123456789"), std::string::npos) << what;
        EXPECT_EQ(what.find("sk-table"), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        EXPECT_LT(what.size(), 500u) << what;
        for (const auto& line : log.lines()) {
          EXPECT_EQ(line.message.find("0123456789"), std::string::npos) << line.message;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
