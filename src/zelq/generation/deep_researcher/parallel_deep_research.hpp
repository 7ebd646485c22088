// ParallelDeepResearcher: deep research at Parallel's task-run API, one
// task run per call, its progress read from the run's event stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/native_tool.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/providers/parallel/task_run_client.hpp"

namespace zelq::generation::deep_researcher::parallel_deep_research {

inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE = "";
inline constexpr std::string_view DEFAULT_USER_TEMPLATE = "{query}";
// Seconds: the time-out of the default retry policy, which is also each
// task run's "timeout".
inline constexpr int DEFAULT_TIMEOUT = 3600;
// Seconds: the longest wait for the next event of a task run's stream.
inline constexpr int DEFAULT_EVENT_IDLE_TIMEOUT = 300;

// Field names of task-run requests, events and results.
struct Key {
  static constexpr std::string_view ALLOWED_TOOLS = "allowed_tools";
  static constexpr std::string_view CONTENT = "content";
  static constexpr std::string_view EXTRA_PARAMS = "extra_params";
  static constexpr std::string_view MCP_SERVERS = "mcp_servers";
  static constexpr std::string_view NAME = "name";
  static constexpr std::string_view TASK_SPEC = "task_spec";
  static constexpr std::string_view TIMEOUT = "timeout";
  static constexpr std::string_view TITLE = "title";
  static constexpr std::string_view TOOL_CALL_ID = "tool_call_id";
  static constexpr std::string_view URL = "url";
};

// The "type" of an MCP server record in a task-run request.
struct InputType {
  static constexpr std::string_view URL = "url";
};

// Event types of a task run's stream that the researcher reads.
struct OutputType {
  // An event whose type begins with this is a progress message.
  static constexpr std::string_view MESSAGE = "task_run.progress_msg";
  // An event of exactly this type carries source statistics.
  static constexpr std::string_view STATS = "task_run.progress_stats";
};

// Beta features every task-run request enables (DEEP_RESEARCH_CONFIG).
struct BetaHeader {
  static constexpr std::string_view EVENTS_SSE = "events-sse-2025-07-24";
  static constexpr std::string_view MCP_SERVER = "mcp-server-2025-07-17";
};

// The fixed part of every task-run request: {"enable_events": true,
// "betas": ["events-sse-2025-07-24", "mcp-server-2025-07-17"]}.
extern const core::Value DEEP_RESEARCH_CONFIG;

// Thrown by an attempt when the run's stream brings no event within the
// researcher's event_idle_timeout. Not a core::TimeoutError: a caller
// catching only time-outs does not catch it. Thrown with the time-out nested
// as its cause.
class EventTimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a research call knows of its task run. One per research call,
// shared by all of its attempts. Everything but run_id describes the
// current run and starts anew with each run created.
struct RunState {
  // The task run of this call once an attempt created it; later attempts
  // reconnect to it. Cleared when the run failed or was cancelled, so that
  // the next attempt creates a new one.
  std::optional<std::string> run_id{};
  // The service's latest count of sources read: entries of its sample
  // before this position have been reported.
  std::int64_t num_sources = 0;
  // Events of the run's stream handed on so far. A new connection to the
  // run replays its events from the start: that many are skipped, so the
  // caller receives each event once.
  std::size_t events_taken = 0;
  // What those events have given (their thinking): the output of the
  // attempt that succeeds begins as a copy of it.
  inference::LMOutput output{};
};

// The activity that reports newly read sources: type "read_sources" and the
// sources read since the previous report.
struct ReadSourcesActivity : inference::Activity {
  explicit ReadSourcesActivity(std::vector<std::string> sources);

  std::vector<std::string> sources;
};

// Options of the ParallelDeepResearcher constructor, in parameter order.
struct ParallelDeepResearcherOptions {
  // The task-run processor each run is created with.
  std::string processor_name = "ultra";
  // The API key; nullopt or empty leaves it to the client (PARALLEL_API_KEY).
  std::optional<std::string> api_key{};
  // nullopt gives PromptBuilder(DEFAULT_SYSTEM_TEMPLATE, DEFAULT_USER_TEMPLATE).
  std::optional<inference::PromptBuilder> prompt_builder{};
  // nullopt gives a policy with a time-out of DEFAULT_TIMEOUT seconds.
  std::optional<core::RetryConfig> retry_config{};
  // MCP server tools only; their kwargs hold "url", "name",
  // "allowed_tools" and "extra_params" (further record fields).
  std::optional<std::vector<inference::NativeTool>> tools{};
  // The longest wait in seconds for a new event (positive).
  double event_idle_timeout = DEFAULT_EVENT_IDLE_TIMEOUT;
  // Stored on the instance; events are sent whenever a call passes an
  // emitter.
  bool streamable = true;
  // Builds the Task API client of each attempt from client_params; empty
  // uses providers::parallel::http_task_run_client_factory(). Each attempt
  // opens the run's stream with event_idle_timeout as the client's longest
  // wait for data.
  providers::parallel::TaskRunClientFactory client_factory{};
};

// A deep researcher on Parallel's Task API: one research call is one task
// run, created by the first attempt that succeeds in creating it and
// reconnected to by later attempts. Progress messages become thinking
// (records, and thinking blocks when an emitter is given), newly read
// sources become activity events, and the run's result becomes the answer
// text (one response block) and citations. A reconnection skips the events
// that the run's stream replays, so each event of a run reaches the caller
// and the output once, whatever the attempts. Immutable after construction;
// research calls may run at once, each with its own run.
class ParallelDeepResearcher : public BaseDeepResearcher {
 public:
  // Builds the researcher, in this order: a tool that is not an MCP server
  // is a ValueError "The `ParallelDeepResearcher` only supports MCP server
  // native tools."; without a client factory, no key in api_key nor
  // PARALLEL_API_KEY is a ValueError (the client is built into the
  // library, so there is no package to check); an MCP tool whose kwargs
  // are not an object, or whose "extra_params" are not an object or repeat
  // one of the record's own keys ("type", "url", "name", "allowed_tools"),
  // is a TypeError naming the key; a bad retry policy or an
  // event_idle_timeout that is not a positive number is a ValueError.
  // Nothing is built then.
  explicit ParallelDeepResearcher(ParallelDeepResearcherOptions options = {});

  // Researches `request.query` at a new task run and returns the answer
  // text, thinking and citations of the attempt that succeeds.
  //
  // Throws before any request: TypeError for kwargs or hyperparameters
  // that are not objects (or null), a prompt variable named like a
  // research argument, or a hyperparameter "input" or "processor";
  // ValueError for a "timeout" that is not a number of seconds >= 0 (or
  // null) or "betas" that are not a list of texts; what the prompt builder
  // throws. Then, once the retry policy is spent, the last attempt's
  // failure: EventTimeoutError when the stream stayed silent for
  // event_idle_timeout seconds,
  // providers::parallel::TaskRunFailedError for a failed or cancelled run,
  // or what the client or the emitter throws. The researcher must outlive
  // the awaitable; cancellation propagates and closes the open stream
  // (the task run itself goes on at the service).
  boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const override;

  // One MCP server record per tool, in order: {"type": "url", "url",
  // "name", "allowed_tools" (null when missing), then the tool's
  // "extra_params" entries}. Throws TypeError as the constructor.
  static core::Value _format_mcp_servers(const std::vector<inference::NativeTool>& tools);

  const std::string processor_name;
  // {"api_key": key} when a non-empty key was given, else empty.
  const core::Value client_params;
  const inference::PromptBuilder prompt_builder;
  const core::RetryConfig retry_config;
  const double event_idle_timeout;

 protected:
  struct Settled;
  // For a class derived from this one: `class_name` is its own name.
  ParallelDeepResearcher(ParallelDeepResearcherOptions options, std::string class_name);

  // The events of one stream, each awaited at most event_idle_timeout
  // seconds (the time spent on an event between two reads does not count).
  // The stream is closed on every way out: at its end, on a time-out or
  // other failure of a read, and when the reader is destroyed early.
  class IdleTimeoutEvents {
   public:
    using OnEvent = std::function<boost::asio::awaitable<void>(providers::parallel::TaskRunEvent)>;

    IdleTimeoutEvents(std::unique_ptr<providers::parallel::TaskRunEventStream> events,
                      double idle_timeout);
    ~IdleTimeoutEvents() { close(); }
    IdleTimeoutEvents(IdleTimeoutEvents&&) noexcept = default;
    IdleTimeoutEvents& operator=(IdleTimeoutEvents&&) = delete;

    // Reads the stream to its end, awaiting on_event(event) for each event
    // before the next read. One timer watches the reads for the whole
    // stream (a read costs no timer of its own). Throws EventTimeoutError
    // "No new event received from Parallel within 300 seconds." (the limit
    // as a whole number when it is one), with a core::TimeoutError nested,
    // when a read waits out the limit or the read itself times out; other
    // failures of the stream or of on_event pass unchanged. The reader must
    // outlive the awaitable; cancellation propagates.
    boost::asio::awaitable<void> for_each(OnEvent on_event);
    void close() noexcept;

   private:
    std::unique_ptr<providers::parallel::TaskRunEventStream> events_;
    double idle_timeout_;
  };

  // One attempt: creates the run unless `state` holds one, reads its
  // events (skipping the state->events_taken a reconnection replays),
  // fetches its result and builds the output: the run's thinking so far,
  // then the result's text and citations. Forgets the run id when the run
  // failed or was cancelled. Throws what research documents.
  boost::asio::awaitable<inference::LMOutput> _research(ResearchCallPtr call,
                                                        std::shared_ptr<RunState> state) const;
  IdleTimeoutEvents _iter_with_idle_timeout(
      std::unique_ptr<providers::parallel::TaskRunEventStream> events) const;

  // Adds Thinking{thinking} to `output` now (with or without an emitter)
  // and returns the sending of one thinking block of it (nothing without an
  // emitter). `output` is not referred to by the awaitable.
  boost::asio::awaitable<void> _process_thinking_delta(
      std::string thinking, inference::LMOutput& output,
      std::shared_ptr<core::EventEmitter> event_emitter) const;
  // Sends one activity event with the sample's sources from
  // state->num_sources on (none when there are none), then sets
  // state->num_sources to the count of sources read (kept when the emit
  // fails or the count is missing). `event_emitter` must be set.
  boost::asio::awaitable<void> _process_search_activity(
      providers::parallel::SourceStats stats, std::shared_ptr<RunState> state,
      std::shared_ptr<core::EventEmitter> event_emitter) const;
  // Adds the result's text to `output` now and returns the sending of one
  // response block of it (nothing without an emitter).
  boost::asio::awaitable<void> _process_text(
      const providers::parallel::TaskRunResult& result, inference::LMOutput& output,
      std::shared_ptr<core::EventEmitter> event_emitter) const;
  // Adds one citation per citation of the result's basis, in order (a null
  // basis or citations list adds none). Throws RuntimeError for a basis of
  // the wrong shape, quoting it as `client` quotes the service's texts (key
  // masked, one line, cut); without a client, on one line and cut.
  static void _process_citations(const providers::parallel::TaskRunResult& result,
                                 inference::LMOutput& output,
                                 const providers::parallel::TaskRunClient* client = nullptr);
  // Adds one citation per MCP tool call under beta_fields, in order; throws
  // as _process_citations for a list of the wrong shape.
  static void _process_mcp_citations(const providers::parallel::TaskRunResult& result,
                                     inference::LMOutput& output,
                                     const providers::parallel::TaskRunClient* client = nullptr);

  // The request configuration: "mcp_servers", "task_spec", "timeout", then
  // DEEP_RESEARCH_CONFIG's entries.
  const core::Value _config;

 private:
  ParallelDeepResearcher(Settled settled, std::string class_name);
  // Creates the run when `state` holds none, stores its id and starts the
  // rest of `state` anew.
  boost::asio::awaitable<void> _ensure_run(providers::parallel::TaskRunClientPtr client,
                                           ResearchCallPtr call,
                                           std::shared_ptr<RunState> state) const;
  // Hands one event to its step (see research()); throws TaskRunFailedError
  // for a state event of a failed or cancelled run, its message quoted by
  // `client`. `output` is changed before this returns, never by the
  // awaitable.
  boost::asio::awaitable<void> _dispatch(providers::parallel::TaskRunEvent event,
                                         inference::LMOutput& output,
                                         const std::shared_ptr<RunState>& state,
                                         const std::shared_ptr<core::EventEmitter>& emitter,
                                         const providers::parallel::TaskRunClient& client) const;

  const providers::parallel::TaskRunClientFactory client_factory_;
};

}  // namespace zelq::generation::deep_researcher::parallel_deep_research

namespace zelq::generation::deep_researcher {
using parallel_deep_research::ParallelDeepResearcher;
using parallel_deep_research::ParallelDeepResearcherOptions;
}  // namespace zelq::generation::deep_researcher
