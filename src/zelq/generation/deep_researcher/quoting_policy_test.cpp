// The one quoting policy, checked over every researcher: whether the key
// comes from the options or from the environment, and whatever the client
// masks itself, a text or a value the service sent shows no key the
// researcher knows (also when a line break splits it), on one line, and
// cut. quoting_policy_clients_test.cpp checks the clients.
#include <functional>
#include <map>
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
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/scripted_interactions_client.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"
#include "zelq/providers/parallel/testing/scripted_task_run_client.hpp"
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

// The failure of one research call of `researcher`.
std::string research_failure(const BaseDeepResearcher& researcher) {
  try {
    ResearchRequest request{.query = "q"};
    core::run_sync(researcher.research(std::move(request)));
  } catch (...) {
    return core::describe_exception(std::current_exception());
  }
  return "no failure";
}

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
         return research_failure(researcher);
       }},
  };
}

// The application's clients of the services it supplies, each forwarding to
// a scripted client: built with the default constructor, their own texts
// mask only the key in the environment, whatever key the researcher was
// given; or built with a quoting policy of their own.
class AppInteractions : public google::InteractionsClient {
 public:
  explicit AppInteractions(google::InteractionsClientPtr client) : client_(std::move(client)) {}
  AppInteractions(google::InteractionsClientPtr client, net::Quoting own)
      : InteractionsClient(std::move(own)), client_(std::move(client)) {}
  asio::awaitable<google::CreateInteractionResult> create(
      google::CreateInteractionRequest request) const override {
    return client_->create(std::move(request));
  }
  asio::awaitable<google::Interaction> get(std::string id) const override {
    return client_->get(std::move(id));
  }
  asio::awaitable<void> cancel(std::string id) const override {
    return client_->cancel(std::move(id));
  }

 private:
  google::InteractionsClientPtr client_;
};

class AppTaskRuns : public parallel::TaskRunClient {
 public:
  explicit AppTaskRuns(parallel::TaskRunClientPtr runs) : runs_(std::move(runs)) {}
  AppTaskRuns(parallel::TaskRunClientPtr runs, net::Quoting own)
      : TaskRunClient(std::move(own)), runs_(std::move(runs)) {}
  asio::awaitable<parallel::TaskRun> create(Value params) const override {
    return runs_->create(std::move(params));
  }
  asio::awaitable<std::unique_ptr<parallel::TaskRunEventStream>> events(
      std::string id, std::optional<double> timeout) const override {
    return runs_->events(std::move(id), timeout);
  }
  asio::awaitable<parallel::TaskRunResult> result(std::string id,
                                                  std::optional<double> timeout) const override {
    return runs_->result(std::move(id), timeout);
  }

 private:
  parallel::TaskRunClientPtr runs_;
};

class AppOrvo : public orvo::DeepResearchClient {
 public:
  explicit AppOrvo(std::shared_ptr<orvo::DeepResearchClient> service)
      : service_(std::move(service)) {}
  AppOrvo(std::shared_ptr<orvo::DeepResearchClient> service, net::Quoting own)
      : DeepResearchClient(std::move(own)), service_(std::move(service)) {}
  orvo::ProfilesApi& profiles() override { return service_->profiles(); }
  orvo::TasksApi& tasks() override { return service_->tasks(); }

 private:
  std::shared_ptr<orvo::DeepResearchClient> service_;
};

// The application's client of a call: `own` its policy, or nullopt for the
// default constructor.
template <class Client, class Inner>
std::shared_ptr<Client> app_client(Inner inner, const std::optional<net::Quoting>& own) {
  if (own) return std::make_shared<Client>(std::move(inner), *own);
  return std::make_shared<Client>(std::move(inner));
}

// One research call of each researcher whose own messages quote what the
// service sent, with the application's client of that service (`own` as
// app_client takes it); returns its failure, quoting `sent`. The
// Perplexity researcher quotes nothing of its service itself: its failures
// are its client's.
struct AppClientRow {
  std::string name;
  std::string env;
  std::function<std::string(std::optional<std::string> key, const std::string& sent,
                            std::optional<net::Quoting> own)>
      fail;
};

std::vector<AppClientRow> app_client_rows() {
  return {
      {"GoogleDeepResearcher", "GEMINI_API_KEY",
       [](std::optional<std::string> key, const std::string& sent,
          std::optional<net::Quoting> own) {
         auto client = std::make_shared<google::testing::ScriptedInteractionsClient>();
         client->add_create(google::testing::make_interaction("int-1", "in_progress"));
         google::Interaction failed = google::testing::make_interaction("int-1", "failed");
         failed.errors = Value::array({{{"message", sent}}});
         client->add_get(failed);
         const GoogleDeepResearcher researcher({.api_key = key,
                                                .retry_config = kOnce,
                                                .show_progress = false,
                                                .client_factory = [client, own](const Value&) {
                                                  return app_client<const AppInteractions>(client,
                                                                                           own);
                                                }});
         return research_failure(researcher);
       }},
      {"ParallelDeepResearcher", "PARALLEL_API_KEY",
       [](std::optional<std::string> key, const std::string& sent,
          std::optional<net::Quoting> own) {
         auto runs = std::make_shared<parallel::testing::ScriptedTaskRunClient>();
         runs->add_run("trun_1");
         const Value run = {
             {"run_id", "trun_1"}, {"status", "failed"}, {"error", {{"message", sent}}}};
         runs->add_stream({.events = {{.type = "task_run.state", .run = run}}});
         const ParallelDeepResearcher researcher(
             {.api_key = key, .retry_config = kOnce, .client_factory = [runs, own](const Value&) {
                return app_client<const AppTaskRuns>(runs, own);
              }});
         return research_failure(researcher);
       }},
      {"OrvoOpenDeepResearcher", "ORVOODR_API_KEY",
       [](std::optional<std::string> key, const std::string& sent,
          std::optional<net::Quoting> own) {
         auto service = orvo::testing::ScriptedOrvoService::create();
         service->add_task({.events = {{.event_type = "thinking",
                                        .value = Value{{"message", {{"detail", sent}}}}}},
                            .task_id = "task-" + sent});
         orvo::ClientFactory scripted = service->factory();
         const OrvoOpenDeepResearcher researcher(
             {.api_key = key,
              .retry_config = kOnce,
              .client_factory = [scripted, own](const Value& params) {
                return app_client<AppOrvo>(scripted(params), own);
              }});
         return research_failure(researcher);
       }},
  };
}

// A researcher masks every key it knows, each a different one here: the one
// it was given, the one in the environment and its client's own; and its
// messages keep the client's own length limit.
TEST(QuotingPolicyTest, AResearcherMasksEveryKeyItKnowsWithinItsClientsLimit) {
  const testing::NoKeysInEnvironment clean;
  const std::string sent =
      "Refused: given-KEY-1111 env-KEY-2222 client-KEY-3333 " + std::string(100, 'x');
  const std::string line = "Refused: *** *** *** " + std::string(19, 'x') + "...";
  const std::map<std::string, std::string> expected = {
      {"GoogleDeepResearcher", "Research failed with status: 'failed': " + line},
      {"ParallelDeepResearcher", "Parallel task run 'trun_1' ended with status 'failed': " + line},
      {"OrvoOpenDeepResearcher",
       "The Orvo service sent a thinking message that is not text: {'detail': 'Refused: *** *** "
       "*** xxxxxxx...."},
  };
  for (const AppClientRow& row : app_client_rows()) {
    const testing::ScopedEnv env(row.env, "env-KEY-2222");
    EXPECT_EQ(row.fail("given-KEY-1111", sent, net::Quoting("client-KEY-3333", 40)),
              expected.at(row.name));
  }
}

TEST(QuotingPolicyTest, NoResearcherShowsTheKeyOfItsClient) {
  const testing::NoKeysInEnvironment clean;
  std::vector<ResearcherRow> rows = researcher_rows();
  for (AppClientRow& row : app_client_rows()) {
    rows.push_back(
        {row.name + " (client built without parameters)", row.env,
         [fail = std::move(row.fail)](std::optional<std::string> key, const std::string& sent) {
           return fail(std::move(key), sent, std::nullopt);
         }});
  }
  for (const ResearcherRow& row : rows) {
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
