// Construction, request configuration, tool conversion and the research
// entry of GoogleDeepResearcher; the attempts are in
// google_deep_researcher_attempts.cpp.
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

#include <cmath>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/generation/deep_researcher/known_keys_client.hpp"
#include "zelq/net/service.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"

namespace zelq::generation::deep_researcher::google_deep_researcher {

namespace asio = boost::asio;
using core::Value;
using inference::NativeTool;
using inference::NativeToolType;

namespace {

GoogleDeepResearcherOptions checked(GoogleDeepResearcherOptions options) {
  if (!options.agent_name.starts_with(DEEP_RESEARCH_AGENT_PREFIX)) {
    throw core::ValueError("The agent name must be a deep research agent. Invalid agent name: " +
                           core::py_repr(options.agent_name) + ".");
  }
  if (!std::isfinite(options.status_check_interval) || options.status_check_interval < 0) {
    throw core::ValueError(
        "The status check interval of `GoogleDeepResearcher` must be a finite number of seconds "
        ">= 0, got " +
        core::py_float_repr(options.status_check_interval) + ".");
  }
  if (options.retry_config) options.retry_config->validate();
  // The interactions client is part of the library rather than an optional
  // package, so there is no package to look for.
  return options;
}

inference::PromptBuilder prompt_builder_of(GoogleDeepResearcherOptions& options) {
  if (options.prompt_builder) return std::move(*options.prompt_builder);
  return inference::PromptBuilder(std::string(DEFAULT_SYSTEM_TEMPLATE),
                                  std::string(DEFAULT_USER_TEMPLATE));
}

Value client_params_of(const std::optional<std::string>& api_key,
                       const core::RetryConfig& retry_config) {
  Value http_timeout = nullptr;
  if (retry_config.timeout && *retry_config.timeout != 0) {
    // Truncated toward zero: 2.5 s gives 2500 ms, 0.0015 s gives 1 ms.
    http_timeout = static_cast<long long>(*retry_config.timeout * SECONDS_TO_MILLISECONDS);
  }
  Value params = Value::object();
  if (api_key && !api_key->empty()) params["api_key"] = *api_key;
  params[Key::HTTP_OPTIONS] = Value{{Key::TIMEOUT, std::move(http_timeout)}};
  return params;
}

// The tool's settings as an object (null counts as empty).
Value kwargs_of(const NativeTool& tool) {
  if (tool.kwargs.is_null()) return Value::object();
  if (!tool.kwargs.is_object()) {
    throw core::ValueError("The kwargs of a native tool must be an object, got " +
                           core::py_repr(tool.kwargs) + ".");
  }
  return tool.kwargs;
}

// kwargs["extra_params"] as an object (absent or null counts as empty).
Value extra_params_of(const Value& kwargs) {
  auto found = kwargs.find(Key::EXTRA_PARAMS);
  if (found == kwargs.end() || found->is_null()) return Value::object();
  if (!found->is_object()) {
    throw core::ValueError("The 'extra_params' of a native tool must be an object, got " +
                           core::py_repr(*found) + ".");
  }
  return *found;
}

void merge_into(Value& record, const Value& entries) {
  for (const auto& [key, value] : entries.items()) record[key] = value;
}

Value file_search_record(const Value& kwargs) {
  const Value stores = kwargs.value(Key::DATA_STORES, Value::array());
  if (!stores.is_array()) {
    throw core::ValueError("The 'data_stores' of a data store tool must be a list, got " +
                           core::py_repr(stores) + ".");
  }
  Value names = Value::array();
  for (const Value& store : stores) {
    auto provider = store.is_object() ? store.find("provider") : store.end();
    if (store.is_object() && provider != store.end() &&
        *provider != std::string(inference::to_string(inference::ModelProvider::GOOGLE))) {
      throw core::ValueError("`GoogleDeepResearcher` only supports Google data stores.");
    }
    names.push_back(inference::AttachmentStore::from_value(store).id);
  }
  Value record = {{Key::TYPE, InputType::FILE_SEARCH}, {Key::FILE_SEARCH_STORE_NAMES, names}};
  merge_into(record, extra_params_of(kwargs));
  return record;
}

Value mcp_server_record(const Value& kwargs) {
  Value record = {{Key::TYPE, InputType::MCP_SERVER},
                  {Key::NAME, kwargs.value(Key::NAME, Value())},
                  {Key::URL, kwargs.value(Key::URL, Value())}};
  Value extra = extra_params_of(kwargs);
  auto allowed = kwargs.find(Key::ALLOWED_TOOLS);
  if (allowed != kwargs.end() && core::py_truthy(*allowed)) {
    extra[Key::ALLOWED_TOOLS] = Value::array({Value{{"tools", *allowed}}});
  }
  merge_into(record, extra);
  return record;
}

asio::awaitable<void> sleep_seconds(double seconds) { return core::sleep_for(seconds); }

// The Google client with every key the researcher knows (KnownKeysClient).
class KnownKeys final : public KnownKeysClient<providers::google::InteractionsClient,
                                               providers::google::InteractionsClientPtr> {
 public:
  KnownKeys(providers::google::InteractionsClientPtr client, const Value& client_params)
      : KnownKeysClient(std::move(client), client_params,
                        {providers::google::API_KEY_ENV[0], providers::google::API_KEY_ENV[1]}) {}

  asio::awaitable<providers::google::CreateInteractionResult> create(
      providers::google::CreateInteractionRequest request) const override {
    return inner()->create(std::move(request));
  }
  asio::awaitable<providers::google::Interaction> get(std::string id) const override {
    return inner()->get(std::move(id));
  }
  asio::awaitable<void> cancel(std::string id) const override {
    return inner()->cancel(std::move(id));
  }
};

}  // namespace

const Value& DEEP_RESEARCH_CONFIG() {
  static const Value config = {
      {"background", true},
      {"stream", true},
      {"agent_config", {{"type", "deep-research"}, {"thinking_summaries", "auto"}}}};
  return config;
}

GoogleDeepResearcher::GoogleDeepResearcher(GoogleDeepResearcherOptions options)
    : GoogleDeepResearcher(std::move(options), "GoogleDeepResearcher") {}

GoogleDeepResearcher::GoogleDeepResearcher(GoogleDeepResearcherOptions options,
                                           std::string class_name)
    : BaseDeepResearcher(std::move(class_name), options.streamable),
      agent_name((options = checked(std::move(options))).agent_name),
      prompt_builder(prompt_builder_of(options)),
      retry_config(options.retry_config.value_or(core::RetryConfig{.timeout = DEFAULT_TIMEOUT})),
      client_params(client_params_of(options.api_key, retry_config)),
      show_progress_(options.show_progress),
      status_check_interval_(options.status_check_interval),
      client_factory_(std::move(options.client_factory)),
      sleep_(options.sleep ? std::move(options.sleep) : Sleeper(&sleep_seconds)) {
  _logger()->info(
      "The 'GoogleDeepResearcher' class utilizes Google's interactions API. This API is currently "
      "in beta and may be subject to changes in the future. Please take this into consideration "
      "when using this class.");
  std::vector<NativeTool> tools = options.tools.value_or(std::vector<NativeTool>{});
  if (options.data_stores && !options.data_stores->empty()) {
    _logger()->warn(
        "The 'data_stores' parameter is deprecated and will be removed in v0.7. Please pass data "
        "stores as native tools via the `tools` parameter instead.");
    tools.push_back(NativeTool::data_store(*options.data_stores));
  }
  config_ = _build_config(tools);
}

Value GoogleDeepResearcher::_build_config(const std::vector<NativeTool>& tools) const {
  Value config = {{Key::TIMEOUT, seconds_value(retry_config.timeout)}};
  if (show_progress_) {
    merge_into(config, DEEP_RESEARCH_CONFIG());
  } else {
    config[Key::BACKGROUND] = true;
  }
  if (!tools.empty()) {
    Value records = Value::array();
    for (const NativeTool& tool : tools) records.push_back(_format_native_tool(tool));
    config[Key::TOOLS] = std::move(records);
  }
  return config;
}

Value GoogleDeepResearcher::_format_native_tool(const NativeTool& tool) {
  switch (tool.type) {
    case NativeToolType::DATA_STORE:
      return file_search_record(kwargs_of(tool));
    case NativeToolType::CODE_INTERPRETER: {
      Value record = {{Key::TYPE, InputType::CODE_EXECUTION}};
      merge_into(record, kwargs_of(tool));
      return record;
    }
    case NativeToolType::MCP_SERVER:
      return mcp_server_record(kwargs_of(tool));
    case NativeToolType::WEB_SEARCH: {
      Value record = {{Key::TYPE, InputType::GOOGLE_SEARCH}};
      merge_into(record, kwargs_of(tool));
      return record;
    }
  }
  throw core::ValueError("Unsupported tool type: <NativeToolType: " +
                         std::to_string(static_cast<int>(tool.type)) + ">.");
}

asio::awaitable<inference::LMOutput> GoogleDeepResearcher::research(ResearchRequest request) const {
  const ResearchFrontOptions front{.reserved_keywords = {"input", "agent"}, .base_config = config_};
  ResearchCallPtr call = _prepare_research(std::move(request), prompt_builder, front);
  // One client for the whole call: its connections serve every attempt.
  const ClientPtr client = _make_client();
  auto attempt = [this, client](ResearchCallPtr shared) {
    return _attempt(client, std::move(shared));
  };
  co_return co_await _retry_research(std::move(attempt), retry_config, std::move(call));
}

providers::google::InteractionsClientPtr GoogleDeepResearcher::_make_client() const {
  providers::google::InteractionsClientPtr client =
      client_factory_ ? client_factory_(client_params)
                      : providers::google::make_http_interactions_client(client_params);
  if (!client) throw core::RuntimeError("The interactions client factory returned no client.");
  return std::make_shared<const KnownKeys>(std::move(client), client_params);
}

providers::google::CreateInteractionRequest GoogleDeepResearcher::_create_request(
    const ResearchCall& call) const {
  return {.input = call.inputs, .agent = agent_name, .config = call.config};
}

}  // namespace zelq::generation::deep_researcher::google_deep_researcher
