// The one quoting policy, checked over every client: whether the key comes
// from the options or from the environment, a text or a value the service
// sent shows the key masked (also when a line break splits it), on one
// line, and cut.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/openai/openai_client.hpp"
#include "zelq/providers/orvo/orvo_client.hpp"
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

const std::string kKey = "sk-table-KEY-0123456789";
// What a service sends: the key whole in a long text, broken by a line
// break (as a plain-text page wraps it) in a short one.
const std::string kLongText = "Refused: " + kKey + " " + std::string(2000, 'x');
const std::string kSplitText = "Refused:\n  sk-table-KEY-\n0123456789\n";

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

TEST(QuotingPolicyTest, EveryClientMasksItsKeyPutsTextsOnOneLineAndCutsThem) {
  const testing::NoKeysInEnvironment clean;
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

// A client masks every key its owner knows, not only the one it sends: the
// key it was given and the one in its service's environment variable.
TEST(QuotingPolicyTest, EveryClientMasksTheGivenKeyAndTheOneInTheEnvironment) {
  const testing::NoKeysInEnvironment clean;
  const std::string other = "sk-other-KEY-9876543210";
  for (const ClientRow& row : client_rows()) {
    if (row.env.empty()) continue;
    SCOPED_TRACE(row.name);
    testing::ScopedEnv env(row.env, other);
    const net::Quoting quoting = row.quoting(Value{{"api_key", kKey}});
    EXPECT_EQ(quoting.line("given " + kKey + ", known " + other), "given ***, known ***");
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
