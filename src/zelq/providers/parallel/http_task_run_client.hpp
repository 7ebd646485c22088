// The Task API client over HTTP, built on net::ApiClient:
//   POST {base}/v1/tasks/runs                      create a run (202: the run)
//   GET  {base}/v1beta/tasks/runs/{id}/events      named server-sent events
//   GET  {base}/v1/tasks/runs/{id}/result?timeout=  blocks until the run ends
// with the key in "x-api-key" and beta features in "parallel-beta", never in
// a body.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service_options.hpp"
#include "zelq/providers/parallel/task_run_client.hpp"

namespace zelq::providers::parallel {

// The event stream's path, relative to the base URL, with "{run_id}" in it.
// Older and newer references disagree on the version segment; this is the
// one place that names it.
inline constexpr std::string_view EVENTS_PATH = "v1beta/tasks/runs/{run_id}/events";

// The settings of the client: those every service client shares
// (net::ServiceOptions: base URL, key, timeouts, retries of 429 and 5xx,
// concurrency) and the client's own.
struct HttpTaskRunClientOptions : net::ServiceOptions {
  // "https://api.parallel.ai", or a proxy or test server; no trailing path
  // beyond what the service's paths are appended to. An empty key reads
  // PARALLEL_API_KEY (see resolve_api_key). The idle timeout is raised to
  // at least max_result_wait plus a minute: a result request is silent
  // while the service waits for the run.
  HttpTaskRunClientOptions() { base_url = std::string(DEFAULT_BASE_URL); }

  // The longest single wait for a result; the service's own cap is 600
  // seconds. A longer caller's deadline is covered by asking again.
  double max_result_wait = 600.0;
  // Pause before asking again after the service answered 408 (run still
  // active) sooner than asked; seconds, at least net::kMinPause whatever
  // this says.
  double result_retry_interval = 1.0;
  // Time allowed beyond the service's own wait for its answer to arrive:
  // each attempt of a result request is limited to the wait, in whole
  // seconds, and this; seconds.
  double result_margin = 60.0;
};

// A TaskRunClient over HTTP. Immutable and cheap to share; calls in
// progress keep what they need alive.
class HttpTaskRunClient : public TaskRunClient {
 public:
  // Throws zelq::core::ValueError when no key is found (resolve_api_key),
  // for a base URL net::ApiClient refuses, and for negative intervals or
  // margins.
  explicit HttpTaskRunClient(HttpTaskRunClientOptions options);

  // As TaskRunClient::create; the answer must hold a text "run_id"
  // (zelq::core::RuntimeError otherwise). Non-2xx answers are net::HttpError.
  boost::asio::awaitable<TaskRun> create(core::Value params) const override;
  boost::asio::awaitable<TaskRun> create_run(core::Value params,
                                             std::shared_ptr<core::RunLedger> run) const override;

  // As TaskRunClient::events. A 404 is TaskRunFailedError; an "error" event
  // of the stream is zelq::core::RuntimeError "Parallel sent an error event
  // for run '<id>': <message>" (key masked); an event whose data is not a
  // JSON object is zelq::core::RuntimeError; a read that waits longer than
  // `timeout` (or, without one, the idle timeout) is
  // zelq::core::TimeoutError "Reading the events of Parallel task run
  // '<id>' timed out: nothing arrived within the <n>-second read timeout of
  // the events request."; zelq::core::ValueError for a run id of "." or
  // ".." (net::path_segment), before any request.
  boost::asio::awaitable<std::unique_ptr<TaskRunEventStream>> events(
      std::string run_id, std::optional<double> timeout) const override;

  // As TaskRunClient::result. Asks with ?timeout=<seconds left, at most
  // max_result_wait>; a 408 is asked again until the deadline, then
  // zelq::core::TimeoutError "Parallel task run '<id>' was still active
  // after <n> seconds."; a 404 is TaskRunFailedError. However far off the
  // deadline is, no request, nor the transport's retries of it and their
  // back-offs, nor a pause outlasts it: a wait the service leaves
  // unanswered until then, or keeps failing with 5xx answers, ends with
  // the same TimeoutError (the request's time-out nested in it). Without
  // a deadline it asks until the run ends. zelq::core::ValueError for a
  // run id of "." or ".." (net::path_segment), before any request. The MCP
  // tool calls of "mcp_tool_calls" are presented under
  // beta_fields["mcp-server-2025-07-17"] when beta_fields lacks them.
  boost::asio::awaitable<TaskRunResult> result(std::string run_id,
                                               std::optional<double> timeout) const override;

  const HttpTaskRunClientOptions& options() const noexcept { return options_; }

 private:
  struct Checked {};
  HttpTaskRunClient(HttpTaskRunClientOptions options, Checked);
  // Quotes as `api` does: the one policy of the key it sends.
  HttpTaskRunClient(HttpTaskRunClientOptions options, net::ApiClient api);

  // One result request asking the service to wait `wait` seconds; each
  // attempt ends after the wait and result_margin, or after `time_left`
  // seconds when that comes first. nullopt when the run is still active
  // (408).
  boost::asio::awaitable<std::optional<TaskRunResult>> ask_result(
      std::string run_id, double wait, std::optional<double> time_left) const;

  HttpTaskRunClientOptions options_;
  net::ApiClient api_;
};

// The factory researchers use by default: each call builds an
// HttpTaskRunClient from `base` with the client parameters laid over it:
// "api_key" (when they hold one) and the shared settings of
// net::service_setting_keys() (seconds). Throws zelq::core::ValueError for
// parameters that are not an object, an unknown parameter or a bad value
// (net::read_service_settings), and what HttpTaskRunClient's constructor
// throws.
TaskRunClientFactory http_task_run_client_factory(HttpTaskRunClientOptions base = {});

// Reading the wire (exposed for tests and benchmarks).
namespace wire {

// The event of one server-sent event: `name` is the SSE event name, `data`
// its JSON text; the data's "type" wins over the name. Throws
// zelq::core::RuntimeError for data that is not a JSON object and for an
// "error" event, naming the run by `quoted_run_id` (its id as
// quoting.quoted gives it, quoted once per stream) and showing the
// service's texts as `quoting` (the client's) shows them. The parsed value
// holds at most `max_memory` bytes of heap (the client's budget); more
// throws core::JsonMemoryError.
TaskRunEvent parse_event(std::string_view name, std::string_view data,
                         std::string_view quoted_run_id, const net::Quoting& quoting,
                         std::size_t max_memory);

// The run of a JSON answer. Throws zelq::core::RuntimeError naming `source`
// when it is not an object with a text "run_id".
TaskRun parse_run(const core::Value& answer, std::string_view source, const net::Quoting& quoting);

// The result of a JSON answer, with the MCP tool calls presented under
// beta_fields. Throws zelq::core::RuntimeError naming `source` when it is
// not an object holding "output" as an object.
TaskRunResult parse_result(core::Value answer, std::string_view source,
                           const net::Quoting& quoting);

}  // namespace wire

}  // namespace zelq::providers::parallel
