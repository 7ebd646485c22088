// A scripted stand-in for the Orvo Open Deep Research service, for tests and
// examples: every client its factory builds talks to one shared, in-memory
// service whose profile, tasks, event streams, statuses and results are
// scripted, and which records every call it receives.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/providers/orvo/orvo_client.hpp"

namespace zelq::providers::orvo::testing {

// What one created task does, in creation order of the tasks.
struct TaskScript {
  // The events its stream delivers, in order.
  std::vector<StreamEvent> events{};
  // The stream fails with RuntimeError("Scripted stream failure at event
  // <n>.") instead of delivering event n (from 0); nullopt: never.
  std::optional<std::size_t> fail_at_event{};
  // Steps the stream through a blocking iterator on the library's pool
  // (BlockingTaskStream) rather than on the caller's executor.
  bool blocking_stream = false;
  // The answers to its status requests in order; the last one repeats.
  std::vector<std::string> statuses{"SUCCESS"};
  // What tasks.get answers (its task_id is filled in).
  TaskResponse result{.status = "SUCCESS", .data = nullptr};
  // The id the service gives the task; nullopt: "task-<n>", n counting the
  // created tasks from 1.
  std::optional<std::string> task_id{};
};

// The shared fake service. Thread-safe; create it with create().
class ScriptedOrvoService : public std::enable_shared_from_this<ScriptedOrvoService> {
 public:
  static std::shared_ptr<ScriptedOrvoService> create();

  // A factory building clients of this service; it records the client
  // parameters of every client it builds. The factory keeps the service
  // alive.
  ClientFactory factory();

  // The profile that profiles.get answers (its name is set to the name
  // asked for).
  void set_profile(ProfileResponse profile);
  // profiles.get waits `latency` on a timer of the caller's executor before
  // it answers, so that concurrent callers overlap.
  void set_profile_latency(std::chrono::milliseconds latency);
  // The next `count` profile requests fail with RuntimeError("Scripted
  // profile failure.") (after the latency).
  void fail_profile_requests(int count);

  // Queues the script of the next created task. A task created with no
  // script queued streams nothing and ends "SUCCESS" with no data.
  void add_task(TaskScript script);

  // Records, in call order.
  std::vector<core::Value> client_params() const;
  std::vector<std::string> profile_requests() const;
  std::vector<CreateTaskRequest> created_tasks() const;
  // Task ids of every status request and every fetch.
  std::vector<std::string> status_requests() const;
  std::vector<std::string> fetches() const;

 private:
  class Client;
  struct Task;

  ScriptedOrvoService() = default;

  // The parts of the fake the client calls (all lock the mutex).
  boost::asio::awaitable<ProfileResponse> get_profile(std::string name);
  CreatedTask create_task(CreateTaskRequest request);
  std::unique_ptr<TaskStream> open_stream(const std::string& task_id);
  TaskStatusResponse next_status(const std::string& task_id);
  TaskResponse fetch(const std::string& task_id);
  std::shared_ptr<Task> task(const std::string& task_id) const;

  mutable std::mutex mutex_;
  ProfileResponse profile_{};
  std::chrono::milliseconds profile_latency_{0};
  int profile_failures_ = 0;
  std::deque<TaskScript> scripts_;
  std::vector<std::shared_ptr<Task>> tasks_;
  std::vector<core::Value> client_params_;
  std::vector<std::string> profile_requests_;
  std::vector<CreateTaskRequest> created_;
  std::vector<std::string> status_requests_;
  std::vector<std::string> fetches_;
};

}  // namespace zelq::providers::orvo::testing
