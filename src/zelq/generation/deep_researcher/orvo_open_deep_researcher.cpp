#include "zelq/generation/deep_researcher/orvo_open_deep_researcher.hpp"

#include <cstdlib>
#include <utility>

#include "zelq/core/async_semaphore.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/generation/deep_researcher/known_keys_client.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/service.hpp"

namespace zelq::generation::deep_researcher::orvo_open_deep_researcher {

namespace asio = boost::asio;
using core::Value;
using providers::orvo::DeepResearchClient;

namespace {

constexpr std::string_view kClassName = "OrvoOpenDeepResearcher";

// A task that ended "FAILURE" or "REVOKED": the next attempt creates a new
// one. Callers see a core::RuntimeError.
class TaskEndedError : public core::RuntimeError {
 public:
  using core::RuntimeError::RuntimeError;
};

// Runs the checks that come before anything is set and returns the class
// name for the base.
std::string checked_class_name(std::string class_name, const OrvoOpenDeepResearcherOptions& o) {
  if (o.tools) {
    for (const inference::NativeTool& tool : *o.tools) {
      if (tool.type != inference::NativeToolType::MCP_SERVER) {
        throw core::ValueError(
            "The `OrvoOpenDeepResearcher` only supports MCP server native tools.");
      }
    }
  }
  if (!o.client_factory && !providers::orvo::registered_client_factory()) {
    throw core::MissingPackageError(
        "The optional package 'orvo_odr' is not available: no Orvo client factory is registered "
        "(extra 'orvo-odr'). Register the application's client with "
        "zelq::providers::orvo::register_client_factory, or pass one as client_factory.");
  }
  if (!o.api_config.is_null() && !o.api_config.is_object()) {
    throw core::TypeError(
        "The api_config of `OrvoOpenDeepResearcher` must be an object or null, got " +
        core::py_repr(o.api_config) + ".");
  }
  return class_name;
}

core::RetryConfig resolve_retry_config(const OrvoOpenDeepResearcherOptions& o) {
  core::RetryConfig config = o.retry_config.value_or(core::RetryConfig{.timeout = DEFAULT_TIMEOUT});
  config.validate();
  return config;
}

Value build_client_params(const OrvoOpenDeepResearcherOptions& o) {
  Value params = Value::object();
  params[Key::BASE_URL] =
      o.base_url && !o.base_url->empty() ? *o.base_url : std::string(DEFAULT_BASE_URL);
  if (o.api_key && !o.api_key->empty()) params[Key::API_KEY] = *o.api_key;
  const core::RetryConfig retry = resolve_retry_config(o);
  if (retry.timeout && *retry.timeout != 0) params[Key::TIMEOUT] = seconds_value(retry.timeout);
  return params;
}

// The entries of an "extra_params" value: an object, or a list of
// [key, value] pairs with text keys.
Value extra_params_object(const Value& extra, const std::string& tool_name) {
  if (extra.is_object()) return extra;
  auto bad = [&] {
    return core::TypeError("The 'extra_params' of the MCP tool " + core::py_repr(tool_name) +
                           " must be an object or a list of [key, value] pairs, got " +
                           core::py_repr(extra) + ".");
  };
  if (!extra.is_array()) throw bad();
  Value entries = Value::object();
  for (const Value& pair : extra) {
    if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) throw bad();
    entries[pair[0].get<std::string>()] = pair[1];
  }
  return entries;
}

asio::awaitable<void> sleep_seconds(double seconds) { return core::sleep_for(seconds); }

// The Orvo client with every key the researcher knows (KnownKeysClient).
class KnownKeys final
    : public KnownKeysClient<DeepResearchClient, std::shared_ptr<DeepResearchClient>> {
 public:
  KnownKeys(std::shared_ptr<DeepResearchClient> client, const Value& client_params)
      : KnownKeysClient(std::move(client), client_params, {providers::orvo::API_KEY_ENV}) {}

  providers::orvo::ProfilesApi& profiles() override { return inner()->profiles(); }
  providers::orvo::TasksApi& tasks() override { return inner()->tasks(); }
};

}  // namespace

std::string_view to_string(TaskStatus status) {
  switch (status) {
    case TaskStatus::FAILURE:
      return "FAILURE";
    case TaskStatus::SUCCESS:
      return "SUCCESS";
    case TaskStatus::REVOKED:
      return "REVOKED";
  }
  return "";
}

std::optional<TaskStatus> parse_task_status(std::string_view text) {
  for (TaskStatus status : {TaskStatus::FAILURE, TaskStatus::SUCCESS, TaskStatus::REVOKED}) {
    if (to_string(status) == text) return status;
  }
  return std::nullopt;
}

OrvoOpenDeepResearcher::OrvoOpenDeepResearcher() : OrvoOpenDeepResearcher(Options{}) {}

OrvoOpenDeepResearcher::OrvoOpenDeepResearcher(Options options)
    : OrvoOpenDeepResearcher(std::string(kClassName), std::move(options)) {}

OrvoOpenDeepResearcher::OrvoOpenDeepResearcher(std::string class_name, Options options)
    : BaseDeepResearcher(checked_class_name(std::move(class_name), options), options.streamable),
      profile(options.profile),
      client_params(build_client_params(options)),
      prompt_builder(options.prompt_builder.value_or(inference::PromptBuilder(
          std::string(DEFAULT_SYSTEM_TEMPLATE), std::string(DEFAULT_USER_TEMPLATE)))),
      retry_config(resolve_retry_config(options)),
      _builtin_config(Value{{Key::MCP_CONFIG, options.tools && !options.tools->empty()
                                                  ? _format_mcp_config(*options.tools)
                                                  : Value(nullptr)},
                            {Key::API_CONFIG, options.api_config}}),
      client_factory_(options.client_factory ? std::move(options.client_factory)
                                             : providers::orvo::registered_client_factory()),
      status_check_sleep_(options.status_check_sleep ? std::move(options.status_check_sleep)
                                                     : StatusCheckSleep(sleep_seconds)),
      profile_cache_(std::make_shared<ProfileCache>()) {
  profile_cache_->lock = core::AsyncSemaphore::create(1);
}

Value OrvoOpenDeepResearcher::_format_mcp_config(const std::vector<inference::NativeTool>& tools) {
  Value config = Value::object();
  for (std::size_t index = 0; index < tools.size(); ++index) {
    const Value& kwargs = tools[index].kwargs;
    const auto name_it = kwargs.is_object() ? kwargs.find(Key::NAME) : kwargs.end();
    if (!kwargs.is_object() || name_it == kwargs.end()) {
      throw core::KeyError("The MCP tool at index " + std::to_string(index) +
                           " has no 'name' in its kwargs.");
    }
    if (!name_it->is_string()) {
      throw core::TypeError("The 'name' of the MCP tool at index " + std::to_string(index) +
                            " must be text, got " + core::py_repr(*name_it) + ".");
    }
    const std::string name = name_it->get<std::string>();
    Value record = Value::object();
    for (std::string_view key : {Key::URL, Key::ALLOWED_TOOLS}) {
      const auto it = kwargs.find(key);
      if (it != kwargs.end() && core::py_truthy(*it)) record[key] = *it;
    }
    if (const auto it = kwargs.find(Key::EXTRA_PARAMS); it != kwargs.end()) {
      const Value extra = extra_params_object(*it, name);
      for (const auto& [key, value] : extra.items()) record[key] = value;
    }
    // A repeated name replaces the earlier entry and keeps its place.
    config[name] = providers::orvo::is_uuid_key(name) ? Value{{Key::CONFIG, record}} : record;
  }
  return config;
}

std::shared_ptr<DeepResearchClient> OrvoOpenDeepResearcher::_make_client() const {
  std::shared_ptr<DeepResearchClient> client = client_factory_(client_params);
  if (!client) throw core::RuntimeError("The Orvo client factory returned no client.");
  return std::make_shared<KnownKeys>(std::move(client), client_params);
}

std::optional<providers::orvo::ProfileResponse> OrvoOpenDeepResearcher::_cached_profile() const {
  std::lock_guard lock(profile_cache_->mutex);
  return profile_cache_->profile;
}

asio::awaitable<providers::orvo::ProfileResponse> OrvoOpenDeepResearcher::get_profile(
    std::string name) const {
  if (auto cached = _cached_profile()) co_return *cached;
  // The cache outlives this call even if the researcher is copied meanwhile.
  std::shared_ptr<ProfileCache> cache = profile_cache_;
  auto permit = co_await cache->lock->acquire();
  if (auto cached = _cached_profile()) co_return *cached;
  _logger()->info("Fetching default profile config for " + core::py_repr(name) + ".");
  std::shared_ptr<DeepResearchClient> client = _make_client();
  providers::orvo::ProfileResponse fetched = co_await client->profiles().get(name);
  std::lock_guard lock(cache->mutex);
  cache->profile = fetched;
  co_return fetched;
}

asio::awaitable<Value> OrvoOpenDeepResearcher::_build_request_config(Value hyperparameters) const {
  Value api_config = _builtin_config.at(Key::API_CONFIG);
  Value mcp_config = _builtin_config.at(Key::MCP_CONFIG);
  if (api_config.is_null() || mcp_config.is_null()) {
    const providers::orvo::ProfileResponse defaults = co_await get_profile(profile);
    if (api_config.is_null()) api_config = defaults.api_config;
    if (mcp_config.is_null()) mcp_config = defaults.mcp_config;
  }
  Value rest = hyperparameters.is_null() ? Value::object() : std::move(hyperparameters);
  Value passed_api = rest.value(Key::API_CONFIG, Value(nullptr));
  Value passed_mcp = rest.value(Key::MCP_CONFIG, Value(nullptr));
  rest.erase(std::string(Key::API_CONFIG));
  rest.erase(std::string(Key::MCP_CONFIG));
  if (!passed_api.is_null() || !passed_mcp.is_null()) {
    _logger()->warn(
        "Passing `api_config` or `mcp_config` via `hyperparameters` is deprecated and will be "
        "removed in a v0.7 version. Use the `api_config` or `tools` parameter in the constructor "
        "instead.");
  }
  Value config = Value::object();
  config[Key::API_CONFIG] = passed_api.is_null() ? std::move(api_config) : std::move(passed_api);
  config[Key::MCP_CONFIG] = passed_mcp.is_null() ? std::move(mcp_config) : std::move(passed_mcp);
  for (const auto& [key, value] : rest.items()) config[key] = value;
  co_return config;
}

asio::awaitable<inference::LMOutput> OrvoOpenDeepResearcher::research(
    ResearchRequest request) const {
  const ResearchFrontOptions front{.reserved_keywords = {"query", "profile"},
                                   .base_config = Value::object()};
  auto state = std::make_shared<TaskState>();
  auto attempt = [this, state](ResearchCallPtr call) { return _research(std::move(call), state); };
  co_return co_await _research_front(std::move(request), prompt_builder, retry_config,
                                     std::move(front), std::move(attempt));
}

asio::awaitable<inference::LMOutput> OrvoOpenDeepResearcher::_research(
    ResearchCallPtr call, std::shared_ptr<TaskState> state) const {
  std::optional<Value> request_config;
  if (!state->task_id) request_config = co_await _build_request_config(call->config);
  std::shared_ptr<DeepResearchClient> client = _make_client();
  if (!state->task_id) {
    providers::orvo::CreateTaskRequest create{
        .query = call->inputs, .profile = profile, .options = std::move(*request_config)};
    const providers::orvo::CreatedTask task = co_await client->tasks().create(std::move(create));
    _logger()->info("Created task " + client->quoting().line(task.task_id) + " with profile " +
                    profile);
    state->task_id = task.task_id;
  } else {
    _logger()->info("Continuing task " + client->quoting().line(*state->task_id) + ".");
  }
  const std::string task_id = *state->task_id;
  try {
    auto output = std::make_shared<inference::LMOutput>(
        co_await _process_task_stream(client, task_id, call->event_emitter));
    co_await _retrieve_result(client, task_id, output);
    co_return std::move(*output);
  } catch (const TaskEndedError&) {
    // A task that failed or was revoked is never continued.
    state->task_id.reset();
    throw;
  }
}

asio::awaitable<inference::LMOutput> OrvoOpenDeepResearcher::_process_task_stream(
    std::shared_ptr<DeepResearchClient> client, std::string task_id,
    std::shared_ptr<core::EventEmitter> event_emitter) const {
  auto buffer = std::make_shared<BlockBuffer>(event_emitter, client->quoting());
  auto output = std::make_shared<inference::LMOutput>();
  std::unique_ptr<providers::orvo::TaskStream> stream = co_await client->tasks().stream(task_id);
  if (!stream) {
    throw core::RuntimeError("The Orvo client opened no stream for task " +
                             client->quoting().line(task_id) + ".");
  }
  while (std::optional<providers::orvo::StreamEvent> event = co_await stream->next()) {
    co_await _process_event(std::move(*event), buffer, output, event_emitter);
  }
  co_await _flush_text_buffer(buffer, output, event_emitter);
  co_return std::move(*output);
}

asio::awaitable<void> OrvoOpenDeepResearcher::_retrieve_result(
    std::shared_ptr<DeepResearchClient> client, std::string task_id,
    std::shared_ptr<inference::LMOutput> output) const {
  // The task id is the service's: shown as its texts are (key masked, cut).
  const std::string shown_id = client->quoting().line(task_id);
  auto check_not_failed = [&shown_id](const std::string& status) {
    const std::optional<TaskStatus> final_status = parse_task_status(status);
    if (final_status == TaskStatus::FAILURE || final_status == TaskStatus::REVOKED) {
      throw TaskEndedError("The Orvo task " + shown_id + " ended with status " + status + ".");
    }
  };
  const std::optional<double> limit = retry_config.timeout;
  double waited = 0;
  std::string status = (co_await client->tasks().get_status(task_id)).status;
  while (!parse_task_status(status)) {
    if (limit && *limit > 0 && waited + RETRIEVE_RESULT_STATUS_CHECK_INTERVAL > *limit) {
      throw core::TimeoutError("The Orvo task " + shown_id +
                               " did not reach a final status within " +
                               core::py_str(Value(*limit)) + " seconds; its last status was " +
                               client->quoting().excerpt(status) + ".");
    }
    co_await status_check_sleep_(RETRIEVE_RESULT_STATUS_CHECK_INTERVAL);
    waited += RETRIEVE_RESULT_STATUS_CHECK_INTERVAL;
    status = (co_await client->tasks().get_status(task_id)).status;
  }
  check_not_failed(status);
  const providers::orvo::TaskResponse result = co_await client->tasks().get(task_id);
  check_not_failed(result.status);
  if (result.status != to_string(TaskStatus::SUCCESS) || !core::py_truthy(result.data) ||
      !output->text().empty()) {
    co_return;
  }
  const auto text = result.data.is_object() ? result.data.find("result") : result.data.end();
  if (text != result.data.end() && text->is_string()) output->add_text(text->get<std::string>());
}

}  // namespace zelq::generation::deep_researcher::orvo_open_deep_researcher
