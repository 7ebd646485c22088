#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/fast_uuid.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher/known_keys_client.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/service.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"

namespace zelq::generation::deep_researcher::parallel_deep_research {

namespace asio = boost::asio;
namespace pp = providers::parallel;
using core::Value;
using inference::LMOutput;

const Value DEEP_RESEARCH_CONFIG = {
    {"enable_events", true},
    {"betas", Value::array({BetaHeader::EVENTS_SSE, BetaHeader::MCP_SERVER})}};

namespace {

constexpr std::string_view kClassName = "ParallelDeepResearcher";
constexpr std::string_view kNoCitationText = "-";
// The keys of an MCP server record that its extra_params must not repeat.
constexpr std::array<std::string_view, 4> kRecordKeys = {"type", Key::URL, Key::NAME,
                                                         Key::ALLOWED_TOOLS};

const Value& member(const Value& object, std::string_view key) {
  static const Value null_value = nullptr;
  if (!object.is_object()) return null_value;
  auto it = object.find(key);
  return it == object.end() ? null_value : *it;
}

std::string text_of(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  return value.is_null() ? std::string() : value.dump();
}

void check_tools(const std::optional<std::vector<inference::NativeTool>>& tools) {
  if (!tools) return;
  for (const inference::NativeTool& tool : *tools) {
    if (tool.type != inference::NativeToolType::MCP_SERVER) {
      throw core::ValueError("The `ParallelDeepResearcher` only supports MCP server native tools.");
    }
  }
}

void check_idle_timeout(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) {
    throw core::ValueError(
        "The `ParallelDeepResearcher` needs a positive event_idle_timeout, got " +
        core::py_float_repr(seconds) + ".");
  }
}

// The client-side settings of a call's configuration, checked once before
// the first attempt rather than failing every attempt.
void check_client_settings(const Value& config) {
  const Value& timeout = member(config, Key::TIMEOUT);
  if (!timeout.is_null() && !(timeout.is_number() && timeout.get<double>() >= 0)) {
    throw core::ValueError(
        "The task run setting 'timeout' must be a number of seconds >= 0 or "
        "null, got " +
        core::py_repr(timeout) + ".");
  }
  const Value& betas = member(config, "betas");
  const bool texts = betas.is_array() && std::all_of(betas.begin(), betas.end(),
                                                     [](const Value& v) { return v.is_string(); });
  if (!betas.is_null() && !texts) {
    throw core::ValueError("The task run setting 'betas' must be a list of texts, got " +
                           core::py_repr(betas) + ".");
  }
}

asio::awaitable<void> nothing() { co_return; }

bool run_ended_badly(const std::string& status) {
  return status == pp::STATUS_FAILED || status == pp::STATUS_CANCELLED;
}

// Throws TaskRunFailedError when `run` (a run object) failed or was
// cancelled, with the service's message as `client` quotes it (its key
// masked).
void check_run(const Value& run, const std::string& run_id, const pp::TaskRunClient& client) {
  const Value& status = member(run, "status");
  if (!status.is_string() || !run_ended_badly(status.get<std::string>())) return;
  std::string message = client.quoting().line(text_of(member(member(run, "error"), "message")));
  throw pp::TaskRunFailedError(run_id, status.get<std::string>(), std::move(message),
                               client.quoting());
}

core::ChunkPtr citation_chunk(const Value& citation) {
  const Value& excerpts = member(citation, "excerpts");
  const bool has_excerpt = excerpts.is_array() && !excerpts.empty() && excerpts[0].is_string() &&
                           !excerpts[0].get<std::string>().empty();
  std::string content = has_excerpt ? excerpts[0].get<std::string>() : std::string(kNoCitationText);
  Value metadata = {{Key::URL, member(citation, Key::URL)},
                    {Key::TITLE, member(citation, Key::TITLE)}};
  return core::make_chunk(std::move(content), std::move(metadata));
}

// `value` as a list to iterate: null is an empty list. The service chose
// the value: an error quotes it as `client` quotes the service's texts (key
// masked, one line, cut), or only on one line and cut without a client.
const Value& list_of(const Value& value, std::string_view what, const pp::TaskRunClient* client) {
  static const Value empty = Value::array();
  if (value.is_null()) return empty;
  if (!value.is_array()) {
    const net::Quoting quoting = client ? client->quoting() : net::Quoting();
    throw core::RuntimeError(
        net::sentence("The " + std::string(what) +
                      " of a Parallel task run result is not a list: " + quoting.line(value)));
  }
  return value;
}

// The Parallel client with every key the researcher knows (KnownKeysClient).
class KnownKeys final : public KnownKeysClient<pp::TaskRunClient, pp::TaskRunClientPtr> {
 public:
  KnownKeys(pp::TaskRunClientPtr client, const Value& client_params)
      : KnownKeysClient(std::move(client), client_params, {pp::API_KEY_ENV}) {}

  asio::awaitable<pp::TaskRun> create(Value params) const override {
    return inner()->create(std::move(params));
  }
  asio::awaitable<pp::TaskRun> create_run(Value params,
                                          std::shared_ptr<core::RunLedger> run) const override {
    return inner()->create_run(std::move(params), std::move(run));
  }
  asio::awaitable<std::unique_ptr<pp::TaskRunEventStream>> events(
      std::string run_id, std::optional<double> timeout) const override {
    return inner()->events(std::move(run_id), timeout);
  }
  asio::awaitable<pp::TaskRunResult> result(std::string run_id,
                                            std::optional<double> timeout) const override {
    return inner()->result(std::move(run_id), timeout);
  }
};

}  // namespace

ReadSourcesActivity::ReadSourcesActivity(std::vector<std::string> sources)
    : inference::Activity("read_sources", Value{{"sources", sources}}),
      sources(std::move(sources)) {}

// Everything the constructor settles, in the order it settles it.
struct ParallelDeepResearcher::Settled {
  std::string processor_name;
  Value client_params;
  inference::PromptBuilder prompt_builder;
  core::RetryConfig retry_config;
  double event_idle_timeout;
  bool streamable;
  Value config;
  pp::TaskRunClientFactory client_factory;

  static Settled from(ParallelDeepResearcherOptions options) {
    check_tools(options.tools);
    Value client_params = Value::object();
    if (options.api_key && !options.api_key->empty()) client_params["api_key"] = *options.api_key;
    pp::TaskRunClientFactory factory = std::move(options.client_factory);
    if (!factory) {
      pp::resolve_api_key(client_params);  // a missing key fails here, before any request
      factory = pp::http_task_run_client_factory();
    }
    Value mcp_servers =
        _format_mcp_servers(options.tools.value_or(std::vector<inference::NativeTool>{}));
    core::RetryConfig retry_config =
        options.retry_config.value_or(core::RetryConfig{.timeout = DEFAULT_TIMEOUT});
    retry_config.validate();
    check_idle_timeout(options.event_idle_timeout);
    Value config = {{Key::MCP_SERVERS, std::move(mcp_servers)},
                    {Key::TASK_SPEC, {{"output_schema", {{"type", "text"}}}}},
                    {Key::TIMEOUT, seconds_value(retry_config.timeout)}};
    for (const auto& [key, value] : DEEP_RESEARCH_CONFIG.items()) config[key] = value;
    inference::PromptBuilder prompt_builder =
        options.prompt_builder ? std::move(*options.prompt_builder)
                               : inference::PromptBuilder(std::string(DEFAULT_SYSTEM_TEMPLATE),
                                                          std::string(DEFAULT_USER_TEMPLATE));
    return Settled{std::move(options.processor_name),
                   std::move(client_params),
                   std::move(prompt_builder),
                   std::move(retry_config),
                   options.event_idle_timeout,
                   options.streamable,
                   std::move(config),
                   std::move(factory)};
  }
};

ParallelDeepResearcher::ParallelDeepResearcher(ParallelDeepResearcherOptions options)
    : ParallelDeepResearcher(std::move(options), std::string(kClassName)) {}

ParallelDeepResearcher::ParallelDeepResearcher(ParallelDeepResearcherOptions options,
                                               std::string class_name)
    : ParallelDeepResearcher(Settled::from(std::move(options)), std::move(class_name)) {}

ParallelDeepResearcher::ParallelDeepResearcher(Settled settled, std::string class_name)
    : BaseDeepResearcher(std::move(class_name), settled.streamable),
      processor_name(std::move(settled.processor_name)),
      client_params(std::move(settled.client_params)),
      prompt_builder(std::move(settled.prompt_builder)),
      retry_config(std::move(settled.retry_config)),
      event_idle_timeout(settled.event_idle_timeout),
      _config(std::move(settled.config)),
      client_factory_(std::move(settled.client_factory)) {}

Value ParallelDeepResearcher::_format_mcp_servers(const std::vector<inference::NativeTool>& tools) {
  Value records = Value::array();
  for (const inference::NativeTool& tool : tools) {
    if (!tool.kwargs.is_object()) {
      throw core::TypeError("The kwargs of an MCP server tool must be an object, got " +
                            core::py_repr(tool.kwargs) + ".");
    }
    Value record = {{"type", InputType::URL},
                    {Key::URL, member(tool.kwargs, Key::URL)},
                    {Key::NAME, member(tool.kwargs, Key::NAME)},
                    {Key::ALLOWED_TOOLS, member(tool.kwargs, Key::ALLOWED_TOOLS)}};
    const Value& extra = member(tool.kwargs, Key::EXTRA_PARAMS);
    if (!extra.is_null() && !extra.is_object()) {
      throw core::TypeError("The extra_params of an MCP server tool must be an object, got " +
                            core::py_repr(extra) + ".");
    }
    const Value extras = extra.is_null() ? Value::object() : extra;
    for (const auto& [key, value] : extras.items()) {
      for (std::string_view own : kRecordKeys) {
        if (key == own) {
          throw core::TypeError(
              "The extra_params of an MCP server tool repeat the record's own "
              "key " +
              core::py_repr(own) + ".");
        }
      }
      record[key] = value;
    }
    records.push_back(std::move(record));
  }
  return records;
}

asio::awaitable<LMOutput> ParallelDeepResearcher::research(ResearchRequest request) const {
  const ResearchFrontOptions front{.reserved_keywords = {"input", "processor"},
                                   .base_config = _config};
  auto call = std::make_shared<ResearchCall>(
      std::move(*_prepare_research(std::move(request), prompt_builder, front)));
  // A later attempt reconnects to the run an earlier one named.
  call->run = std::make_shared<core::RunLedger>(/*continues_named=*/true);
  check_client_settings(call->config);
  auto state = std::make_shared<RunState>();
  auto attempt = [this, state](ResearchCallPtr shared) {
    return _research(std::move(shared), state);
  };
  co_return co_await _retry_research(std::move(attempt), retry_config, std::move(call));
}

asio::awaitable<LMOutput> ParallelDeepResearcher::_research(ResearchCallPtr call,
                                                            std::shared_ptr<RunState> state) const {
  pp::TaskRunClientPtr made = client_factory_(client_params);
  if (!made) throw core::RuntimeError("The Parallel client factory returned no client.");
  const pp::TaskRunClientPtr client =
      std::make_shared<const KnownKeys>(std::move(made), client_params);
  const std::optional<double> timeout = retry_config.timeout;
  LMOutput output;
  try {
    co_await _ensure_run(client, call, state);
    // The stream's own wait for data is the idle limit too.
    auto open = client->events(*state->run_id, event_idle_timeout);
    IdleTimeoutEvents events = _iter_with_idle_timeout(co_await std::move(open));
    // The new connection replays the run's events from the start.
    std::size_t replayed = state->events_taken;
    auto dispatch = [&](pp::TaskRunEvent event) {
      if (replayed > 0) {
        --replayed;
        return nothing();
      }
      ++state->events_taken;
      return _dispatch(std::move(event), state->output, state, call->event_emitter, *client);
    };
    // Built outside the co_await, as GCC 12 wants of what it converts.
    auto reading = events.for_each(std::move(dispatch));
    co_await std::move(reading);
    auto fetch = client->result(*state->run_id, timeout);
    pp::TaskRunResult result = co_await std::move(fetch);
    check_run(result.run, *state->run_id, *client);
    output = state->output;
    co_await _process_text(result, output, call->event_emitter);
    _process_citations(result, output, client.get());
    _process_mcp_citations(result, output, client.get());
  } catch (const pp::TaskRunFailedError&) {
    // Reconnecting to a run that ended badly can never succeed.
    state->run_id.reset();
    call->run->ended();
    throw;
  }
  call->run->ended();
  co_return output;
}

asio::awaitable<void> ParallelDeepResearcher::_ensure_run(pp::TaskRunClientPtr client,
                                                          ResearchCallPtr call,
                                                          std::shared_ptr<RunState> state) const {
  if (state->run_id) co_return;
  Value params = {{"input", call->inputs}, {"processor", processor_name}};
  for (const auto& [key, value] : call->config.items()) {
    if (key == "input" || key == "processor") {
      throw core::TypeError("A task run got multiple values for " + core::py_repr(key) + ".");
    }
    params[key] = value;
  }
  pp::TaskRun run = co_await client->create_run(std::move(params), call->run);
  call->run->named(run.run_id, client->quoting().quoted(run.run_id));
  *state = RunState{.run_id = std::move(run.run_id)};
}

// Not a coroutine: the steps take what they keep by value.
asio::awaitable<void> ParallelDeepResearcher::_dispatch(
    pp::TaskRunEvent event, LMOutput& output, const std::shared_ptr<RunState>& state,
    const std::shared_ptr<core::EventEmitter>& emitter, const pp::TaskRunClient& client) const {
  if (event.type.starts_with(OutputType::MESSAGE)) {
    return _process_thinking_delta(std::move(event.message), output, emitter);
  }
  if (event.type == OutputType::STATS) {
    if (!emitter) return nothing();
    return _process_search_activity(event.source_stats.value_or(pp::SourceStats{}), state, emitter);
  }
  if (event.type == "task_run.state" && state->run_id) {
    check_run(event.run, *state->run_id, client);
  }
  return nothing();
}

asio::awaitable<void> ParallelDeepResearcher::_process_thinking_delta(
    std::string thinking, LMOutput& output,
    std::shared_ptr<core::EventEmitter> event_emitter) const {
  output.add_thinking(inference::Thinking{thinking});
  return emit_block(std::move(event_emitter), BlockKind::THINKING, std::move(thinking));
}

asio::awaitable<void> ParallelDeepResearcher::_process_search_activity(
    pp::SourceStats stats, std::shared_ptr<RunState> state,
    std::shared_ptr<core::EventEmitter> event_emitter) const {
  std::vector<std::string> sample =
      std::move(stats.sources_read_sample).value_or(std::vector<std::string>{});
  const std::size_t from = static_cast<std::size_t>(std::max<std::int64_t>(state->num_sources, 0));
  if (from < sample.size()) {
    std::vector<std::string> sources(sample.begin() + static_cast<std::ptrdiff_t>(from),
                                     sample.end());
    core::Event event = inference::ActivityEvent::from_activity(
        core::fast_uuid(), ReadSourcesActivity(std::move(sources)));
    co_await event_emitter->emit(std::move(event));
  }
  if (stats.num_sources_read) state->num_sources = *stats.num_sources_read;
}

asio::awaitable<void> ParallelDeepResearcher::_process_text(
    const pp::TaskRunResult& result, LMOutput& output,
    std::shared_ptr<core::EventEmitter> event_emitter) const {
  std::string text = text_of(member(result.output, "content"));
  output.add_text(text);
  return emit_block(std::move(event_emitter), BlockKind::RESPONSE, std::move(text));
}

void ParallelDeepResearcher::_process_citations(const pp::TaskRunResult& result, LMOutput& output,
                                                const pp::TaskRunClient* client) {
  for (const Value& field : list_of(member(result.output, "basis"), "basis", client)) {
    for (const Value& citation : list_of(member(field, "citations"), "citations", client)) {
      output.add_citation(citation_chunk(citation));
    }
  }
}

void ParallelDeepResearcher::_process_mcp_citations(const pp::TaskRunResult& result,
                                                    LMOutput& output,
                                                    const pp::TaskRunClient* client) {
  const Value& beta_fields = member(result.output, "beta_fields");
  if (!beta_fields.is_object() || beta_fields.empty()) return;
  for (const Value& item :
       list_of(member(beta_fields, BetaHeader::MCP_SERVER), "MCP tool calls", client)) {
    if (!item.is_object()) continue;
    Value metadata = Value::object();
    for (const auto& [key, value] : item.items()) {
      if (key != Key::TOOL_CALL_ID && key != Key::CONTENT) metadata[key] = value;
    }
    const Value& content = member(item, Key::CONTENT);
    std::string text = core::py_truthy(content) ? text_of(content) : std::string(kNoCitationText);
    output.add_citation(core::make_chunk(std::move(text), std::move(metadata)));
  }
}

}  // namespace zelq::generation::deep_researcher::parallel_deep_research
