#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::deep_researcher::openai_deep_researcher {

namespace {

bool is_known_type(inference::NativeToolType type) {
  using inference::NativeToolType;
  return type == NativeToolType::MCP_SERVER || type == NativeToolType::DATA_STORE ||
         type == NativeToolType::CODE_INTERPRETER || type == NativeToolType::WEB_SEARCH;
}

void check_tool(const inference::NativeTool& tool, std::size_t index) {
  std::string problem;
  if (!is_known_type(tool.type)) {
    problem = "its type " + std::to_string(static_cast<int>(tool.type)) +
              " is not a NativeToolType";
  } else if (!tool.kwargs.is_object()) {
    problem = "its kwargs must be an object, got " + core::py_repr(tool.kwargs);
  } else if (tool.kwargs.contains("type")) {
    problem = "its kwargs must not hold 'type'";
  }
  if (!problem.empty()) {
    throw core::TypeError("The tools of `OpenAIDeepResearcher` must be native tools; item " +
                          std::to_string(index) + " is not: " + problem + ".");
  }
}

// The one place that reaches the provider registry.
inference::LMInvokerPtr build_openai_invoker(const std::string& model_name,
                                             const std::optional<std::string>& api_key,
                                             core::Value config) {
  std::string model_id =
      std::string(inference::to_string(inference::ModelProvider::OPENAI)) + "/" + model_name;
  core::Value credentials = api_key ? core::Value(*api_key) : core::Value(nullptr);
  return providers::build_lm_invoker(std::move(model_id), std::move(credentials),
                                     std::move(config));
}

// Returns `class_name` once `model_name` has passed: the check runs before
// any part of the researcher (its logger included) is built.
std::string check_model_name(const std::string& model_name, std::string class_name) {
  if (!model_name.ends_with(DEEP_RESEARCH_MODEL_SUFFIX)) {
    throw core::ValueError(
        "The model name must be a deep research model. Invalid model name: " +
        core::py_repr(model_name) + ".");
  }
  return class_name;
}

inference::LMRequestProcessorPtr make_processor(OpenAIDeepResearcherOptions options) {
  // The OpenAI access is built into the library rather than an optional
  // part, so there is no package to check: a build without the "openai"
  // provider fails in build_lm_invoker, naming the providers it has.
  std::vector<inference::NativeTool> tools = complete_tools(options.tools);
  const core::RetryConfig retry_config =
      options.retry_config.value_or(core::RetryConfig{.timeout = DEFAULT_TIMEOUT});
  core::Value config = invoker_config(tools, retry_config);
  inference::PromptBuilder prompt_builder =
      options.prompt_builder ? std::move(*options.prompt_builder)
                             : inference::PromptBuilder(std::string(DEFAULT_SYSTEM_TEMPLATE),
                                                        std::string(DEFAULT_USER_TEMPLATE));
  inference::LMInvokerPtr invoker =
      build_openai_invoker(options.model_name, options.api_key, std::move(config));
  return std::make_shared<inference::LMRequestProcessor>(std::move(prompt_builder),
                                                         std::move(invoker));
}

const std::vector<std::string>& reserved_hyperparameters() {
  static const std::vector<std::string> names(RESERVED_HYPERPARAMETERS.begin(),
                                              RESERVED_HYPERPARAMETERS.end());
  return names;
}

}  // namespace

std::vector<inference::NativeTool> complete_tools(
    const std::optional<std::vector<inference::NativeTool>>& tools) {
  std::vector<inference::NativeTool> completed =
      tools.value_or(std::vector<inference::NativeTool>{});
  std::set<inference::NativeToolType> present;
  for (std::size_t i = 0; i < completed.size(); ++i) {
    check_tool(completed[i], i);
    present.insert(completed[i].type);
  }
  for (inference::NativeToolType type : REQUIRED_NATIVE_TOOLS) {
    if (!present.contains(type)) completed.push_back(inference::NativeTool::from_str_or_dict(type));
  }
  return completed;
}

core::Value invoker_config(const std::vector<inference::NativeTool>& tools,
                           const core::RetryConfig& retry_config) {
  core::Value tool_values = core::Value::array();
  for (const inference::NativeTool& tool : tools) tool_values.push_back(tool.to_value());
  return core::Value{{"tools", std::move(tool_values)},
                     {"thinking", true},
                     {"retry_config", core::retry_config_to_value(retry_config)}};
}

OpenAIDeepResearcher::OpenAIDeepResearcher(OpenAIDeepResearcherOptions options)
    : OpenAIDeepResearcher(std::move(options), "OpenAIDeepResearcher") {}

OpenAIDeepResearcher::OpenAIDeepResearcher(OpenAIDeepResearcherOptions options,
                                           std::string class_name)
    : BaseDeepResearcher(check_model_name(options.model_name, std::move(class_name)),
                         options.streamable),
      lm_request_processor(make_processor(std::move(options))) {}

boost::asio::awaitable<inference::LMOutput> OpenAIDeepResearcher::research(
    ResearchRequest request) const {
  _check_prompt_variables(request.kwargs);
  _check_hyperparameters(request.hyperparameters, reserved_hyperparameters());
  core::Value variables{{"query", std::move(request.query)}};
  if (request.kwargs.is_object()) {
    for (auto& [key, value] : request.kwargs.items()) variables[key] = std::move(value);
  }
  inference::ProcessOptions options{.history = std::move(request.history),
                                    .extra_contents = std::move(request.extra_contents),
                                    .hyperparameters = std::move(request.hyperparameters),
                                    .event_emitter = std::move(request.event_emitter)};
  auto call = lm_request_processor->process(std::move(variables), std::move(options));
  co_return co_await std::move(call);
}

}  // namespace zelq::generation::deep_researcher::openai_deep_researcher
