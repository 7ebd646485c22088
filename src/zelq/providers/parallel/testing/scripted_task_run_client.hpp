// A scripted TaskRunClient for tests and examples: queued runs, streams and
// results, injected failures, streams that stall, and a log of every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/providers/parallel/task_run_client.hpp"

namespace zelq::providers::parallel::testing {

// One scripted event stream: its events in order, then, instead of ending,
// a failure (when set) or a stall (a wait that lasts until the read is
// cancelled).
struct ScriptedStream {
  std::vector<TaskRunEvent> events{};
  std::exception_ptr failure{};
  bool stall = false;
};

// Not thread-safe: use it on one executor. Shared by pointer; factory()
// hands the same client to every attempt.
class ScriptedTaskRunClient : public TaskRunClient,
                              public std::enable_shared_from_this<ScriptedTaskRunClient> {
 public:
  // The next create call returns a run with this id and status "queued".
  void add_run(std::string run_id);
  // The next create call fails with `error`.
  void fail_create(std::exception_ptr error);
  // The next events call returns this stream. Without a queued stream an
  // events call returns an empty one.
  void add_stream(ScriptedStream stream);
  // The next events call fails with `error`.
  void fail_events(std::exception_ptr error);
  // The next result call returns `result` / fails with `error`. Without a
  // queued result a result call fails with RuntimeError "No scripted result.".
  void add_result(TaskRunResult result);
  void fail_result(std::exception_ptr error);

  // A factory that records the client parameters it is given and returns
  // this client.
  TaskRunClientFactory factory();

  boost::asio::awaitable<TaskRun> create(core::Value params) const override;
  boost::asio::awaitable<std::unique_ptr<TaskRunEventStream>> events(
      std::string run_id, std::optional<double> timeout) const override;
  boost::asio::awaitable<TaskRunResult> result(std::string run_id,
                                               std::optional<double> timeout) const override;

  // A client whose quoting() masks `key` ("" masks nothing), as an HTTP
  // client masks the key it sends.
  explicit ScriptedTaskRunClient(std::string key = {}) : TaskRunClient(net::Quoting(key)) {}
  // Every call in order: "create", "events <run id>", "close", "result <run
  // id>" ("close" when a stream is closed, once per stream).
  mutable std::vector<std::string> log{};
  // The params of each create call, the timeouts of each events and result
  // call, and the client parameters of each client built by factory().
  mutable std::vector<core::Value> creates{};
  mutable std::vector<std::optional<double>> event_timeouts{};
  mutable std::vector<std::optional<double>> result_timeouts{};
  mutable std::vector<core::Value> client_params{};

 private:
  // One scripted answer: `error` when set, else the value of its kind.
  struct Outcome {
    std::exception_ptr error{};
    TaskRun run{};
    ScriptedStream stream{};
    TaskRunResult result{};
  };
  mutable std::deque<Outcome> runs_, streams_, results_;
};

// A progress message event of kind `kind` ("task_run.progress_msg.<kind>").
TaskRunEvent progress_message(std::string text, const std::string& kind = "plan");
// A progress-stats event with this sample and count.
TaskRunEvent progress_stats(std::vector<std::string> sample, std::int64_t num_sources_read);
// A state event of a run with this status (and error message, when given).
TaskRunEvent state_event(std::string run_id, std::string status, std::string error_message = {});
// A completed result: output {"type": "text", "content", "basis",
// "beta_fields"} with a completed run of id `run_id`.
TaskRunResult text_result(std::string run_id, std::string content,
                          core::Value basis = core::Value::array(),
                          core::Value beta_fields = nullptr);

}  // namespace zelq::providers::parallel::testing
