// The client of the Orvo Open Deep Research service, as an interface.
//
// The service runs each research request as a task under a named profile
// (a preset kept at the service with default "api_config" and "mcp_config"
// settings) and streams the task's events while it runs. Its HTTP wire is
// not published, so this library ships no HTTP client: the application
// registers a ClientFactory that builds its own DeepResearchClient, and
// OrvoOpenDeepResearcher creates its clients through that factory. Tests use
// the scripted fake in zelq/providers/orvo/testing/.
//
// Every call is an awaitable run on the caller's executor. A client built
// around a blocking SDK runs each call off the loop (zelq::core::asyncify);
// BlockingTaskStream does that for an event iterator.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::providers::orvo {

// The base URL a client is given when the researcher is given none. The
// application's client may map it to the service's actual endpoint.
inline constexpr std::string_view DEFAULT_BASE_URL = "https://odr.orvo.ai";

// The environment variable a client reads its API key from when it is given
// none. This library reads no environment variable for Orvo itself.
inline constexpr std::string_view API_KEY_ENV = "ORVOODR_API_KEY";

// A profile as the service keeps it. Either setting may be null (the
// profile has no default for it).
struct ProfileResponse {
  std::string name{};
  core::Value api_config = nullptr;
  core::Value mcp_config = nullptr;
};

// What tasks.create sends: the request text, the profile, and the further
// request settings (an object: "api_config", "mcp_config", then any other
// per-call options, in order).
struct CreateTaskRequest {
  std::string query{};
  std::string profile{};
  core::Value options = core::Value::object();
};

// A created task.
struct CreatedTask {
  std::string task_id{};
};

// One event of a task's stream: its type text ("thinking_start", "thinking",
// "thinking_end", "activity", "response", "reference", ...) and its value
// (an object with "message" or "sources", or a plain value).
struct StreamEvent {
  std::string event_type{};
  core::Value value = nullptr;

  bool operator==(const StreamEvent&) const = default;
};

// The answer to a status request: the task's status text ("SUCCESS",
// "FAILURE" and "REVOKED" are final; the service may report others while
// the task runs).
struct TaskStatusResponse {
  std::string status{};
};

// A fetched task: its status and its data (null or an object whose
// "result" is the final answer text).
struct TaskResponse {
  std::string task_id{};
  std::string status{};
  core::Value data = nullptr;
};

// The events of one task, in order.
class TaskStream {
 public:
  virtual ~TaskStream() = default;

  // The next event, or nullopt once the stream has ended (and on every call
  // after that). Throws the client's errors. Only one call may be in flight
  // at a time; the stream must outlive it. Cancellation: what the client
  // does with it is the client's; a step already running off the loop may
  // finish and its event is then dropped.
  virtual boost::asio::awaitable<std::optional<StreamEvent>> next() = 0;
};

// A TaskStream over a blocking iterator: each step runs `next_blocking` once
// on the library's pool (asyncify), one step at a time, so the caller's
// loop never blocks. `next_blocking` returns the next event or nullopt at
// the end; its exceptions reach the awaiting caller. Whatever it captures is
// kept alive by the stream and by a step still running after its caller was
// cancelled. Steps never overlap: a next() after a cancelled one runs its
// step only once the earlier step has returned (whose event is dropped).
class BlockingTaskStream : public TaskStream {
 public:
  using Step = std::function<std::optional<StreamEvent>()>;

  // Throws ValueError when `next_blocking` is empty.
  explicit BlockingTaskStream(Step next_blocking);

  boost::asio::awaitable<std::optional<StreamEvent>> next() override;

 private:
  struct Iterator;
  std::shared_ptr<Iterator> iterator_;
};

// profiles.* of the client.
class ProfilesApi {
 public:
  virtual ~ProfilesApi() = default;
  // The profile named `name`. Throws the client's errors (an unknown
  // profile among them).
  virtual boost::asio::awaitable<ProfileResponse> get(std::string name) = 0;
};

// tasks.* of the client.
class TasksApi {
 public:
  virtual ~TasksApi() = default;
  // Creates a task and returns its id.
  virtual boost::asio::awaitable<CreatedTask> create(CreateTaskRequest request) = 0;
  // Opens the event stream of task `task_id`. The stream may be read while
  // the task runs.
  virtual boost::asio::awaitable<std::unique_ptr<TaskStream>> stream(std::string task_id) = 0;
  // The task's current status.
  virtual boost::asio::awaitable<TaskStatusResponse> get_status(std::string task_id) = 0;
  // The task with its data.
  virtual boost::asio::awaitable<TaskResponse> get(std::string task_id) = 0;
};

// One client of the service. The researcher holds it by shared pointer for
// the whole of the call that created it; its calls throw the client's own
// errors, which the researcher propagates unchanged.
class DeepResearchClient : public net::QuotingHolder {
 public:
  virtual ~DeepResearchClient() = default;
  virtual ProfilesApi& profiles() = 0;
  virtual TasksApi& tasks() = 0;

  // quoting() (net::QuotingHolder) shows the texts of the service: task
  // ids, statuses, event values.

 protected:
  // A client that a factory builds from client parameters passes them here:
  // its texts then mask their "api_key", else the key in ORVOODR_API_KEY
  // (the key such a client sends). Without parameters, the key in the
  // environment is masked.
  explicit DeepResearchClient(const core::Value& client_params = nullptr);
  // A client that knows the key it sends.
  explicit DeepResearchClient(net::Quoting quoting) : QuotingHolder(std::move(quoting)) {}
};

// Builds a client from the researcher's client parameters, an object with
// "base_url" (text), then "api_key" (text, only when the researcher was
// given one; otherwise the client takes the key from ORVOODR_API_KEY) and
// "timeout" (seconds, only when the researcher's retry policy has one). May
// throw; the researcher propagates the error. Called on the caller's
// executor thread; must be safe to call from several threads when the
// application runs researchers on several.
using ClientFactory = std::function<std::shared_ptr<DeepResearchClient>(const core::Value&)>;

// Registers the application's client factory for the whole process,
// replacing any earlier one; an empty factory removes it. Thread-safe.
void register_client_factory(ClientFactory factory);

// The registered factory, or an empty one when none is registered.
// Thread-safe.
ClientFactory registered_client_factory();

// True when `name` is the text of a UUID (8-4-4-4-12 hexadecimal digits,
// either case), which marks an MCP server registered at the service
// beforehand rather than one given inline.
bool is_uuid_key(std::string_view name);

}  // namespace zelq::providers::orvo
