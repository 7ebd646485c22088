// Researches a question with a deep-research service and shows the run as
// it happens: thinking and activity lines, the streamed answer, then the
// citations.
//
//   zelq_research --provider openai|google|parallel|perplexity [--model M]
//                 [--base-url U] "question"
//
// The key comes from the provider's environment variable (OPENAI_API_KEY,
// GEMINI_API_KEY, PARALLEL_API_KEY, PERPLEXITY_API_KEY). --model names the
// model, agent or processor. Exit status: 0 done, 1 the research failed, 2 bad usage or no
// key. A new researcher joins by adding one row to providers().
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"
#include "zelq/providers/registry.hpp"

namespace {

namespace asio = boost::asio;
namespace dr = zelq::generation::deep_researcher;
using zelq::core::Value;

// Set once an answer piece has been printed.
bool answer_streamed = false;

struct Access {
  std::string model;     // empty: the provider's default
  std::string base_url;  // empty: the service's own
  std::string api_key;
};

struct ResearchProvider {
  std::string_view name;
  std::string_view key_variable;
  std::function<std::unique_ptr<dr::BaseDeepResearcher>(const Access&)> make;
};

std::unique_ptr<dr::BaseDeepResearcher> make_openai(const Access& access) {
  if (!access.base_url.empty()) {
    // The researcher builds its invoker through the provider registry: the
    // "openai" entry is replaced by one that sends to the given server.
    zelq::providers::register_lm_provider(
        "openai", [url = access.base_url](const zelq::inference::ModelId& id,
                                          const Value& credentials, const Value& config) {
          Value with_base = config;
          with_base["base_url"] = url;
          return zelq::providers::openai::make_openai_lm_invoker(id, credentials, with_base);
        });
  }
  dr::OpenAIDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.model_name = access.model;
  return std::make_unique<dr::OpenAIDeepResearcher>(std::move(options));
}

std::unique_ptr<dr::BaseDeepResearcher> make_google(const Access& access) {
  dr::GoogleDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.agent_name = access.model;
  if (!access.base_url.empty()) {
    options.client_factory = [url = access.base_url](const Value& params) {
      auto http = zelq::providers::google::HttpInteractionsOptions::from_client_params(params);
      http.base_url = url;
      return std::make_shared<const zelq::providers::google::HttpInteractionsClient>(
          std::move(http));
    };
  }
  return std::make_unique<dr::GoogleDeepResearcher>(std::move(options));
}

std::unique_ptr<dr::BaseDeepResearcher> make_parallel(const Access& access) {
  dr::ParallelDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.processor_name = access.model;
  if (!access.base_url.empty()) {
    zelq::providers::parallel::HttpTaskRunClientOptions http;
    http.base_url = access.base_url;
    options.client_factory = zelq::providers::parallel::http_task_run_client_factory(http);
  }
  return std::make_unique<dr::ParallelDeepResearcher>(std::move(options));
}

std::unique_ptr<dr::BaseDeepResearcher> make_perplexity(const Access& access) {
  dr::PerplexityDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.model_name = access.model;
  if (!access.base_url.empty()) {
    options.client_factory =
        zelq::providers::perplexity::http_client_factory(Value{{"base_url", access.base_url}});
  }
  return std::make_unique<dr::PerplexityDeepResearcher>(std::move(options));
}

const std::vector<ResearchProvider>& providers() {
  static const std::vector<ResearchProvider> table = {
      {"openai", "OPENAI_API_KEY", &make_openai},
      {"google", "GEMINI_API_KEY", &make_google},
      {"parallel", "PARALLEL_API_KEY", &make_parallel},
      {"perplexity", "PERPLEXITY_API_KEY", &make_perplexity},
  };
  return table;
}

// The text of `key` in `object`: empty when it is missing or null (services
// send null titles), otherwise the value as Python prints it.
std::string field_text(const Value& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? std::string() : zelq::core::py_str(*it);
}

// One line per activity: its type, then its fields' values.
std::string activity_line(const Value& activity) {
  const std::string type = field_text(activity, "type");
  std::string line = "[" + (type.empty() ? std::string("activity") : type) + "]";
  for (auto it = activity.begin(); it != activity.end(); ++it) {
    if (it.key() != "type") line += " " + zelq::core::py_str(it.value());
  }
  return line;
}

std::shared_ptr<zelq::core::EventEmitter> terminal_emitter() {
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([](const zelq::core::Event& event) -> asio::awaitable<void> {
    const std::string& type = event.type;
    if (type == "thinking_start") std::cout << "\n[thinking] ";
    if (type == "thinking" || type == "response") std::cout << zelq::core::py_str(event.value);
    if (type == "response") answer_streamed = true;
    if (type == "thinking_end" || type == "response_end") std::cout << "\n";
    if (type == "response_start") std::cout << "\n";
    if (type == "activity") std::cout << activity_line(event.value) << "\n";
    std::cout.flush();
    co_return;
  });
  return emitter;
}

asio::awaitable<zelq::inference::LMOutput> run(const dr::BaseDeepResearcher& researcher,
                                               dr::ResearchRequest request) {
  co_return co_await researcher.research(std::move(request));
}

int usage(const std::string& problem) {
  std::cerr << problem << "\nusage: research --provider <";
  for (std::size_t i = 0; i < providers().size(); ++i) {
    std::cerr << (i ? "|" : "") << providers()[i].name;
  }
  std::cerr << "> [--model M] [--base-url U] \"question\"\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string provider_name = "openai";
  std::string question;
  Access access;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool valued = arg == "--provider" || arg == "--model" || arg == "--base-url";
    if (valued && i + 1 >= argc) return usage(arg + " needs a value.");
    if (arg == "--provider") provider_name = argv[++i];
    else if (arg == "--model") access.model = argv[++i];
    else if (arg == "--base-url") access.base_url = argv[++i];
    else if (arg.starts_with("--") || !question.empty()) return usage("Unexpected " + arg + ".");
    else question = arg;
  }
  const ResearchProvider* provider = nullptr;
  for (const auto& row : providers()) {
    if (row.name == provider_name) provider = &row;
  }
  if (provider == nullptr) return usage("Unknown provider " + provider_name + ".");
  if (question.empty()) return usage("No question given.");
  const char* key = std::getenv(std::string(provider->key_variable).c_str());
  if (key == nullptr || *key == '\0') {
    std::cerr << "Set " << provider->key_variable << " to research with " << provider->name
              << ".\n";
    return 2;
  }
  access.api_key = key;
  try {
    std::unique_ptr<dr::BaseDeepResearcher> researcher = provider->make(access);
    dr::ResearchRequest request{.query = question, .event_emitter = terminal_emitter()};
    const zelq::inference::LMOutput output =
        zelq::core::run_sync(run(*researcher, std::move(request)));
    if (!answer_streamed) std::cout << "\n" << output.text() << "\n";
    std::cout << "\nCitations:\n";
    if (output.citations().empty()) std::cout << "  (none)\n";
    for (std::size_t i = 0; i < output.citations().size(); ++i) {
      const Value& metadata = output.citations()[i]->metadata;
      std::cout << "  " << i + 1 << ". " << field_text(metadata, "title") << " <"
                << field_text(metadata, "url") << ">\n";
    }
  } catch (const std::exception& error) {
    std::cerr << "\nThe research failed: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
