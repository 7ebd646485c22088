// The calls a researcher makes on Parallel's Task API (task runs with
// events): create a run, read its event stream, fetch its result. One
// abstract client, an HTTP implementation (http_task_run_client.hpp) and a
// scripted fake for tests (testing/scripted_task_run_client.hpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/core/value.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::providers::parallel {

inline constexpr std::string_view DEFAULT_BASE_URL = "https://api.parallel.ai";
// Read when the client parameters hold no API key.
inline constexpr std::string_view API_KEY_ENV = "PARALLEL_API_KEY";
// The header that switches beta features on (betas joined with ",").
inline constexpr std::string_view BETA_HEADER = "parallel-beta";
inline constexpr std::string_view EVENTS_SSE_BETA = "events-sse-2025-07-24";
inline constexpr std::string_view MCP_SERVER_BETA = "mcp-server-2025-07-17";
// The run statuses after which a run never succeeds.
inline constexpr std::string_view STATUS_FAILED = "failed";
inline constexpr std::string_view STATUS_CANCELLED = "cancelled";

// A task run as the service describes it.
struct TaskRun {
  std::string run_id{};
  // "queued", "action_required", "running", "completed", "failed",
  // "cancelling" or "cancelled" (any text the service sends).
  std::string status{};
  // The whole run object, as sent (an object).
  core::Value raw = core::Value::object();
};

// The source statistics of a "task_run.progress_stats" event. A field the
// service left out is nullopt.
struct SourceStats {
  std::optional<std::vector<std::string>> sources_read_sample{};
  std::optional<std::int64_t> num_sources_read{};
};

// One event of a run's stream. Only the fields its type carries are set.
struct TaskRunEvent {
  // "task_run.state", "task_run.progress_stats",
  // "task_run.progress_msg.<kind>", or any other type the service sends.
  std::string type{};
  // The text of a progress message.
  std::string message{};
  // The statistics of a progress-stats event.
  std::optional<SourceStats> source_stats{};
  // The run object of a state event (null otherwise).
  core::Value run = nullptr;
};

// The result of a finished run. `output` holds "type", "content", "basis"
// (list of field bases, each with "citations") and "beta_fields" (object or
// null; the MCP tool calls are under "mcp-server-2025-07-17").
struct TaskRunResult {
  core::Value run = core::Value::object();
  core::Value output = core::Value::object();
};

// A run that failed, was cancelled, or that the service no longer knows.
// Reconnecting to it is futile: a caller that keeps a run id forgets it and
// creates a new run. what(): "Parallel task run '<id>' ended with status
// '<status>': <message>" (the message is the service's, key masked). The id
// and status, which the service chose, are quoted by `quoting`, the policy
// of whoever talked to the service (a client's TaskRunClient::quoting, a
// researcher's: keys masked, one line, cut); by default one that masks
// nothing. run_id() and status() are as given.
class TaskRunFailedError : public core::RuntimeError {
 public:
  TaskRunFailedError(std::string run_id, std::string status, std::string message,
                     const net::Quoting& quoting = {});

  const std::string& run_id() const noexcept { return run_id_; }
  const std::string& status() const noexcept { return status_; }

 private:
  std::string run_id_;
  std::string status_;
};

// The events of one run, read one at a time. Not thread-safe.
class TaskRunEventStream {
 public:
  virtual ~TaskRunEventStream() = default;

  // The next event, or nullopt when the stream has ended (the service closed
  // it). Throws what the transport throws (a deadline as
  // zelq::core::TimeoutError); cancellation propagates and closes the
  // stream. The stream must outlive the awaitable.
  virtual boost::asio::awaitable<std::optional<TaskRunEvent>> next() = 0;

  // Releases the stream (its connection) at once; later next() calls end
  // it. Safe to call more than once. A stream with nothing to release keeps
  // the default, which does nothing.
  virtual void close() noexcept {}
};

// The task-run calls. Implementations are immutable after construction and
// may serve several calls at once; every call runs on the awaiting
// coroutine's executor and the client must outlive it.
class TaskRunClient : public net::QuotingHolder {
 public:
  virtual ~TaskRunClient() = default;

  // Creates a run. `params` is an object: "input", "processor" and the
  // further settings, in order. "timeout" (seconds, or null) limits the
  // request and "betas" (list of texts) is sent as the parallel-beta header;
  // neither enters the body, the rest does. Returns the created run.
  // Throws zelq::core::ValueError for params that are not an object or a
  // "timeout"/"betas" of the wrong kind (before any request), and what the
  // transport throws. Cancellation stops the request and propagates.
  virtual boost::asio::awaitable<TaskRun> create(core::Value params) const = 0;

  // create(params), keeping `run`, the ledger of the call's run, as the
  // request that creates it goes out (see net::ApiRequest::run): a client
  // on net::ApiClient passes it to the request, so that a run the service
  // accepted is known even when its answer cannot be read. The default
  // calls create(params) and leaves the ledger alone.
  virtual boost::asio::awaitable<TaskRun> create_run(core::Value params,
                                                     std::shared_ptr<core::RunLedger> run) const;

  // Opens the event stream of run `run_id`; `timeout` (seconds) bounds each
  // wait for data. Returns once the service has answered. Throws
  // TaskRunFailedError when the service does not know the run, and what the
  // transport throws.
  virtual boost::asio::awaitable<std::unique_ptr<TaskRunEventStream>> events(
      std::string run_id, std::optional<double> timeout) const = 0;

  // Waits for run `run_id` to end and returns its result; `timeout`
  // (seconds) is the caller's deadline for the whole wait. Throws
  // TaskRunFailedError for a run the service reports failed or does not
  // know, zelq::core::TimeoutError when the run is still active at the
  // deadline, and what the transport throws.
  virtual boost::asio::awaitable<TaskRunResult> result(std::string run_id,
                                                       std::optional<double> timeout) const = 0;

  // quoting() (net::QuotingHolder) shows the texts of the service: run
  // ids, statuses, a failed run's error message.

 protected:
  // A client that a factory builds from client parameters passes them here:
  // its texts then mask their "api_key", else the key in PARALLEL_API_KEY
  // (the key such a client sends). Without parameters, the key in the
  // environment is masked.
  explicit TaskRunClient(const core::Value& client_params = nullptr);
  // A client that knows the key it sends.
  explicit TaskRunClient(net::Quoting quoting) : QuotingHolder(std::move(quoting)) {}
};

using TaskRunClientPtr = std::shared_ptr<const TaskRunClient>;

// Builds one client from client parameters (an object; "api_key" is the one
// entry the library sets). Called once per research attempt.
using TaskRunClientFactory = std::function<TaskRunClientPtr(const core::Value& client_params)>;

// Seconds as a message shows them: a whole number without a decimal point
// ("300"), any other in Python's shortest form ("0.25").
std::string seconds_text(double seconds);

// The API key of `client_params`: its "api_key" when a non-empty text, else
// PARALLEL_API_KEY. Throws zelq::core::ValueError when neither gives a key,
// when "api_key" is not a text, or when the key holds white space or control
// characters (net::api_key_or_environment); the message never shows the key.
std::string resolve_api_key(const core::Value& client_params);

}  // namespace zelq::providers::parallel
