#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"

#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::providers::orvo::testing {

namespace asio = boost::asio;

struct ScriptedOrvoService::Task {
  std::string id;
  TaskScript script;
  std::size_t statuses_given = 0;
};

namespace {

// Where a stream stands; shared with a step running on the pool.
struct Cursor {
  std::mutex mutex;
  std::size_t next = 0;
};

std::optional<StreamEvent> step(const TaskScript& script, Cursor& cursor) {
  std::lock_guard lock(cursor.mutex);
  if (script.fail_at_event && cursor.next == *script.fail_at_event) {
    throw core::RuntimeError("Scripted stream failure at event " +
                             std::to_string(*script.fail_at_event) + ".");
  }
  if (cursor.next >= script.events.size()) return std::nullopt;
  return script.events[cursor.next++];
}

// A stream stepped on the caller's executor.
class ScriptedStream : public TaskStream {
 public:
  explicit ScriptedStream(TaskScript script) : script_(std::move(script)) {}

  asio::awaitable<std::optional<StreamEvent>> next() override { co_return step(script_, cursor_); }

 private:
  TaskScript script_;
  Cursor cursor_;
};

}  // namespace

class ScriptedOrvoService::Client : public DeepResearchClient {
 public:
  Client(std::shared_ptr<ScriptedOrvoService> service, const core::Value& params)
      : DeepResearchClient(params), profiles_(service), tasks_(std::move(service)) {}

  ProfilesApi& profiles() override { return profiles_; }
  TasksApi& tasks() override { return tasks_; }

 private:
  class Profiles : public ProfilesApi {
   public:
    explicit Profiles(std::shared_ptr<ScriptedOrvoService> service)
        : service_(std::move(service)) {}
    asio::awaitable<ProfileResponse> get(std::string name) override {
      co_return co_await service_->get_profile(std::move(name));
    }

   private:
    std::shared_ptr<ScriptedOrvoService> service_;
  };

  class Tasks : public TasksApi {
   public:
    explicit Tasks(std::shared_ptr<ScriptedOrvoService> service) : service_(std::move(service)) {}
    asio::awaitable<CreatedTask> create(CreateTaskRequest request) override {
      co_return service_->create_task(std::move(request));
    }
    asio::awaitable<std::unique_ptr<TaskStream>> stream(std::string task_id) override {
      co_return service_->open_stream(task_id);
    }
    asio::awaitable<TaskStatusResponse> get_status(std::string task_id) override {
      co_return service_->next_status(task_id);
    }
    asio::awaitable<TaskResponse> get(std::string task_id) override {
      co_return service_->fetch(task_id);
    }

   private:
    std::shared_ptr<ScriptedOrvoService> service_;
  };

  Profiles profiles_;
  Tasks tasks_;
};

std::shared_ptr<ScriptedOrvoService> ScriptedOrvoService::create() {
  return std::shared_ptr<ScriptedOrvoService>(new ScriptedOrvoService());
}

ClientFactory ScriptedOrvoService::factory() {
  return [self = shared_from_this()](const core::Value& params) {
    {
      std::lock_guard lock(self->mutex_);
      self->client_params_.push_back(params);
    }
    return std::make_shared<Client>(self, params);
  };
}

void ScriptedOrvoService::set_profile(ProfileResponse profile) {
  std::lock_guard lock(mutex_);
  profile_ = std::move(profile);
}

void ScriptedOrvoService::set_profile_latency(std::chrono::milliseconds latency) {
  std::lock_guard lock(mutex_);
  profile_latency_ = latency;
}

void ScriptedOrvoService::fail_profile_requests(int count) {
  std::lock_guard lock(mutex_);
  profile_failures_ = count;
}

void ScriptedOrvoService::add_task(TaskScript script) {
  std::lock_guard lock(mutex_);
  scripts_.push_back(std::move(script));
}

asio::awaitable<ProfileResponse> ScriptedOrvoService::get_profile(std::string name) {
  std::chrono::milliseconds latency;
  {
    std::lock_guard lock(mutex_);
    profile_requests_.push_back(name);
    latency = profile_latency_;
  }
  if (latency.count() > 0) {
    asio::steady_timer timer(co_await asio::this_coro::executor, latency);
    co_await timer.async_wait(asio::use_awaitable);
  }
  std::lock_guard lock(mutex_);
  if (profile_failures_ > 0) {
    --profile_failures_;
    throw core::RuntimeError("Scripted profile failure.");
  }
  ProfileResponse profile = profile_;
  profile.name = std::move(name);
  co_return profile;
}

CreatedTask ScriptedOrvoService::create_task(CreateTaskRequest request) {
  std::lock_guard lock(mutex_);
  auto task = std::make_shared<Task>();
  if (!scripts_.empty()) {
    task->script = std::move(scripts_.front());
    scripts_.pop_front();
  }
  task->id = task->script.task_id.value_or("task-" + std::to_string(tasks_.size() + 1));
  tasks_.push_back(task);
  created_.push_back(std::move(request));
  return CreatedTask{.task_id = task->id};
}

std::shared_ptr<ScriptedOrvoService::Task> ScriptedOrvoService::task(
    const std::string& task_id) const {
  for (const auto& task : tasks_) {
    if (task->id == task_id) return task;
  }
  throw core::KeyError("No scripted task " + task_id + ".");
}

std::unique_ptr<TaskStream> ScriptedOrvoService::open_stream(const std::string& task_id) {
  std::lock_guard lock(mutex_);
  TaskScript script = task(task_id)->script;
  if (!script.blocking_stream) return std::make_unique<ScriptedStream>(std::move(script));
  auto shared_script = std::make_shared<const TaskScript>(std::move(script));
  auto cursor = std::make_shared<Cursor>();
  return std::make_unique<BlockingTaskStream>(
      [shared_script, cursor] { return step(*shared_script, *cursor); });
}

TaskStatusResponse ScriptedOrvoService::next_status(const std::string& task_id) {
  std::lock_guard lock(mutex_);
  status_requests_.push_back(task_id);
  auto found = task(task_id);
  const auto& statuses = found->script.statuses;
  if (statuses.empty()) return TaskStatusResponse{.status = "SUCCESS"};
  const std::size_t index = std::min(found->statuses_given++, statuses.size() - 1);
  return TaskStatusResponse{.status = statuses[index]};
}

TaskResponse ScriptedOrvoService::fetch(const std::string& task_id) {
  std::lock_guard lock(mutex_);
  fetches_.push_back(task_id);
  TaskResponse response = task(task_id)->script.result;
  response.task_id = task_id;
  return response;
}

std::vector<core::Value> ScriptedOrvoService::client_params() const {
  std::lock_guard lock(mutex_);
  return client_params_;
}

std::vector<std::string> ScriptedOrvoService::profile_requests() const {
  std::lock_guard lock(mutex_);
  return profile_requests_;
}

std::vector<CreateTaskRequest> ScriptedOrvoService::created_tasks() const {
  std::lock_guard lock(mutex_);
  return created_;
}

std::vector<std::string> ScriptedOrvoService::status_requests() const {
  std::lock_guard lock(mutex_);
  return status_requests_;
}

std::vector<std::string> ScriptedOrvoService::fetches() const {
  std::lock_guard lock(mutex_);
  return fetches_;
}

}  // namespace zelq::providers::orvo::testing
