#include "zelq/providers/parallel/testing/scripted_task_run_client.hpp"

#include <chrono>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::providers::parallel::testing {

namespace asio = boost::asio;
using core::Value;

namespace {

class ScriptedEventStream : public TaskRunEventStream {
 public:
  ScriptedEventStream(ScriptedStream script, std::shared_ptr<const ScriptedTaskRunClient> owner)
      : script_(std::move(script)), owner_(std::move(owner)) {}
  ~ScriptedEventStream() override { close(); }

  asio::awaitable<std::optional<TaskRunEvent>> next() override {
    if (closed_) co_return std::nullopt;
    if (next_ < script_.events.size()) co_return script_.events[next_++];
    if (script_.failure) std::rethrow_exception(script_.failure);
    if (script_.stall) {
      // Lasts until the read is cancelled (the caller's idle time-out).
      asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::hours(24));
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return std::nullopt;
  }

  void close() noexcept override {
    if (closed_) return;
    closed_ = true;
    owner_->log.push_back("close");
  }

 private:
  ScriptedStream script_;
  std::shared_ptr<const ScriptedTaskRunClient> owner_;
  std::size_t next_ = 0;
  bool closed_ = false;
};

template <class Queue>
auto take(Queue& queue) {
  std::optional<typename Queue::value_type> outcome;
  if (!queue.empty()) {
    outcome.emplace(std::move(queue.front()));
    queue.pop_front();
    if (outcome->error) std::rethrow_exception(outcome->error);
  }
  return outcome;
}

}  // namespace

void ScriptedTaskRunClient::add_run(std::string run_id) {
  Outcome outcome;
  outcome.run.run_id = run_id;
  outcome.run.status = "queued";
  outcome.run.raw = Value{{"run_id", std::move(run_id)}, {"status", "queued"}};
  runs_.push_back(std::move(outcome));
}

void ScriptedTaskRunClient::fail_create(std::exception_ptr error) {
  runs_.push_back(Outcome{.error = std::move(error)});
}

void ScriptedTaskRunClient::add_stream(ScriptedStream stream) {
  streams_.push_back(Outcome{.stream = std::move(stream)});
}

void ScriptedTaskRunClient::fail_events(std::exception_ptr error) {
  streams_.push_back(Outcome{.error = std::move(error)});
}

void ScriptedTaskRunClient::add_result(TaskRunResult result) {
  results_.push_back(Outcome{.result = std::move(result)});
}

void ScriptedTaskRunClient::fail_result(std::exception_ptr error) {
  results_.push_back(Outcome{.error = std::move(error)});
}

TaskRunClientFactory ScriptedTaskRunClient::factory() {
  return [self = shared_from_this()](const Value& params) -> TaskRunClientPtr {
    self->client_params.push_back(params);
    return self;
  };
}

asio::awaitable<TaskRun> ScriptedTaskRunClient::create(Value params) const {
  log.push_back("create");
  creates.push_back(std::move(params));
  auto outcome = take(runs_);
  if (!outcome) throw core::RuntimeError("No scripted run.");
  co_return std::move(outcome->run);
}

asio::awaitable<std::unique_ptr<TaskRunEventStream>> ScriptedTaskRunClient::events(
    std::string run_id, std::optional<double> timeout) const {
  log.push_back("events " + run_id);
  event_timeouts.push_back(timeout);
  auto outcome = take(streams_);
  ScriptedStream script = outcome ? std::move(outcome->stream) : ScriptedStream{};
  co_return std::make_unique<ScriptedEventStream>(std::move(script), shared_from_this());
}

asio::awaitable<TaskRunResult> ScriptedTaskRunClient::result(std::string run_id,
                                                             std::optional<double> timeout) const {
  log.push_back("result " + run_id);
  result_timeouts.push_back(timeout);
  auto outcome = take(results_);
  if (!outcome) throw core::RuntimeError("No scripted result.");
  co_return std::move(outcome->result);
}

TaskRunEvent progress_message(std::string text, const std::string& kind) {
  TaskRunEvent event;
  event.type = "task_run.progress_msg." + kind;
  event.message = std::move(text);
  return event;
}

TaskRunEvent progress_stats(std::vector<std::string> sample, std::int64_t num_sources_read) {
  TaskRunEvent event;
  event.type = "task_run.progress_stats";
  event.source_stats =
      SourceStats{.sources_read_sample = std::move(sample), .num_sources_read = num_sources_read};
  return event;
}

TaskRunEvent state_event(std::string run_id, std::string status, std::string error_message) {
  TaskRunEvent event;
  event.type = "task_run.state";
  event.run = Value{{"run_id", std::move(run_id)}, {"status", std::move(status)}};
  if (!error_message.empty()) {
    event.run["error"] = Value{{"ref_id", "ref_1"}, {"message", std::move(error_message)}};
  }
  return event;
}

TaskRunResult text_result(std::string run_id, std::string content, Value basis, Value beta_fields) {
  TaskRunResult result;
  result.run = Value{{"run_id", std::move(run_id)}, {"status", "completed"}};
  result.output = Value{{"type", "text"},
                        {"content", std::move(content)},
                        {"basis", std::move(basis)},
                        {"beta_fields", std::move(beta_fields)}};
  return result;
}

}  // namespace zelq::providers::parallel::testing
