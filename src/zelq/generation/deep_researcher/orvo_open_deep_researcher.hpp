// OrvoOpenDeepResearcher: deep research at the Orvo Open Deep Research
// service, through the application's Orvo client
// (zelq/providers/orvo/orvo_client.hpp).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/event_block.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/native_tool.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/providers/orvo/orvo_client.hpp"

namespace zelq::core {
class AsyncSemaphore;
}

namespace zelq::generation::deep_researcher::orvo_open_deep_researcher {

inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE = "";
inline constexpr std::string_view DEFAULT_USER_TEMPLATE = "{query}";
// Seconds; the time-out of the default retry policy.
inline constexpr int DEFAULT_TIMEOUT = 3600;
inline constexpr std::string_view DEFAULT_BASE_URL = providers::orvo::DEFAULT_BASE_URL;
// Seconds between two status requests once a task's stream has ended.
inline constexpr double RETRIEVE_RESULT_STATUS_CHECK_INTERVAL = 1.0;

// Keys of the service's requests, client parameters and stream values.
struct Key {
  static constexpr std::string_view ALLOWED_TOOLS = "allowed_tools";
  static constexpr std::string_view API_CONFIG = "api_config";
  static constexpr std::string_view API_KEY = "api_key";
  static constexpr std::string_view BASE_URL = "base_url";
  static constexpr std::string_view CONFIG = "config";
  static constexpr std::string_view CONTENT = "content";
  static constexpr std::string_view EVENT_TYPE = "event_type";
  static constexpr std::string_view EXTRA_PARAMS = "extra_params";
  static constexpr std::string_view MCP_CONFIG = "mcp_config";
  static constexpr std::string_view MESSAGE = "message";
  static constexpr std::string_view METADATA = "metadata";
  static constexpr std::string_view NAME = "name";
  static constexpr std::string_view SOURCES = "sources";
  static constexpr std::string_view TIMEOUT = "timeout";
  static constexpr std::string_view URL = "url";
  static constexpr std::string_view VALUE = "value";
};

// The final states of a task.
enum class TaskStatus { FAILURE, SUCCESS, REVOKED };

// "FAILURE", "SUCCESS" or "REVOKED".
std::string_view to_string(TaskStatus status);
// The member whose text is exactly `text`; nullopt for any other status
// (a task still running).
std::optional<TaskStatus> parse_task_status(std::string_view text);

// Waits `seconds` between two status requests; the default is
// core::sleep_for on the caller's executor. Cancellation must end the wait.
using StatusCheckSleep = std::function<boost::asio::awaitable<void>(double seconds)>;

struct OrvoOpenDeepResearcherOptions {
  // The research profile: one of the service's "TONGYI-OPENROUTER",
  // "TONGYI", "GPTR-QUICK", "GPTR-DEEP", or a custom profile of the service.
  std::string profile = "GPTR-QUICK";
  // The service's API key; none (or empty) lets the client take its own
  // (ORVOODR_API_KEY).
  std::optional<std::string> api_key{};
  // The service's base URL; none (or empty) means DEFAULT_BASE_URL.
  std::optional<std::string> base_url{};
  // None means a builder of DEFAULT_SYSTEM_TEMPLATE and DEFAULT_USER_TEMPLATE.
  std::optional<inference::PromptBuilder> prompt_builder{};
  // None means RetryConfig{.timeout = DEFAULT_TIMEOUT}.
  std::optional<core::RetryConfig> retry_config{};
  // MCP server tools only; none or empty means the profile's default MCP
  // configuration. Each tool's kwargs: "name" (required text), "url",
  // "allowed_tools", "extra_params" (an object, or a list of [key, value]
  // pairs).
  std::optional<std::vector<inference::NativeTool>> tools{};
  // The service-specific API configuration: an object, or null for the
  // profile's default.
  core::Value api_config = nullptr;
  // Stored for callers; events are sent whenever a call passes an emitter.
  bool streamable = true;
  // Builds the clients; empty means the factory registered with
  // providers::orvo::register_client_factory.
  providers::orvo::ClientFactory client_factory{};
  // The wait between status requests; empty means core::sleep_for.
  StatusCheckSleep status_check_sleep{};
};

// The buffer one stream keeps: the thinking block and the response block
// (writers of their events to the call's emitter), the thinking collected
// in the open thinking block and the answer text collected since the last
// flush. The two kinds of block keep their own ids, so a response text
// inside a thinking block opens a block of its own and each block ends
// under its own id.
struct BlockBuffer {
  BlockBuffer(std::shared_ptr<core::EventEmitter> emitter, net::Quoting quoting)
      : thinking_block(emitter, inference::BlockKind::THINKING),
        response_block(std::move(emitter), inference::BlockKind::RESPONSE),
        quoting(std::move(quoting)) {}

  inference::EventBlockWriter thinking_block;
  std::string thinking{};
  inference::EventBlockWriter response_block;
  std::string text{};
  // How the stream's client shows the service's values in errors.
  net::Quoting quoting;
};

// The task of one research call, shared by its attempts: an attempt that
// finds one continues it (reads its stream again, asks its status, fetches
// it) rather than creating another. Cleared when the task ended "FAILURE"
// or "REVOKED", so that the next attempt creates a new one.
struct TaskState {
  std::optional<std::string> task_id{};
};

// Hands a research request to the Orvo Open Deep Research service as a task
// under the researcher's profile, sends the task's stream to the caller's
// emitter as thinking, activity and response events, and returns the answer
// with its thinking and citations.
//
// A research call builds the request text once, then runs attempts under
// the retry policy (see research_retry_policy). The first attempt builds
// the request configuration (the "api_config" and "mcp_config" given at
// construction, else the profile's defaults, fetched once per researcher)
// and creates a task; every attempt creates a client, reads the task's
// events to the end, then asks for the task's status every
// RETRIEVE_RESULT_STATUS_CHECK_INTERVAL seconds until it is final and
// fetches the task. An attempt after a failed one continues the same task
// (its stream is read again from where the service starts it, and its
// events are sent again), so that a call never has two tasks running; only
// a task that ended "FAILURE" or "REVOKED" is followed by a new one. The
// client has no call to stop a task, so a call that ends without the
// result leaves its one task to the service. The fetched result text
// becomes the answer only when the stream brought no answer text. A task
// that ends "FAILURE" or "REVOKED" fails the attempt. The status requests
// stop, with a TimeoutError, once the waits between them add up to the
// retry policy's time-out; with no time-out the researcher asks until the
// service answers with a final status (or the caller cancels).
//
// Several calls may run at once on one researcher; they share only the
// cached profile, whose fetch is guarded by an asynchronous lock.
class OrvoOpenDeepResearcher : public BaseDeepResearcher {
 public:
  using Options = OrvoOpenDeepResearcherOptions;

  // Throws, in this order: ValueError "The `OrvoOpenDeepResearcher` only
  // supports MCP server native tools." when a tool is not an MCP server
  // tool; MissingPackageError when no client factory is given or registered;
  // TypeError when `api_config` is neither an object nor null; what
  // _format_mcp_config throws; what RetryConfig::validate throws.
  explicit OrvoOpenDeepResearcher(Options options);
  OrvoOpenDeepResearcher();

  // The research profile name, sent with every task.
  const std::string profile;
  // The named arguments of every client: "base_url", then "api_key" when
  // given, then "timeout" when the retry policy has one.
  const core::Value client_params;
  const inference::PromptBuilder prompt_builder;
  const core::RetryConfig retry_config;

  // Researches `request.query` and returns the output of the attempt that
  // succeeded. Throws before any attempt: TypeError for a prompt variable
  // named like a research argument, for a hyperparameter named "query" or
  // "profile", and for kwargs or hyperparameters that are not objects; what
  // the prompt builder throws.
  // Then the last attempt's failure: the client's errors, RuntimeError for a
  // task ended "FAILURE" or "REVOKED", TimeoutError from the status requests
  // or the retry policy; TypeError for a thinking or response message the
  // service sent that is not text, ValidationError for a citation source
  // whose content, metadata or score has the wrong kind (errors on what the
  // service sent: retried like any failed attempt). Events of failed
  // attempts stay sent. The researcher
  // must outlive the awaitable; cancellation is never retried and
  // propagates.
  boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const override;

  // The cached profile, fetched at the first call with `name` and kept for
  // every later call whatever name it passes. Concurrent first calls queue
  // on a lock; only the first fetches (logging "Fetching default profile
  // config for '<name>'."), the others find the cache filled. Throws the
  // client's errors; a failed fetch leaves the cache empty, so the next
  // call fetches again. Cancellation while queued leaves the queue.
  boost::asio::awaitable<providers::orvo::ProfileResponse> get_profile(std::string name) const;

 protected:
  // For classes derived from this one: `class_name` names their logger.
  OrvoOpenDeepResearcher(std::string class_name, Options options);

  // The "mcp_config" value of `tools`: per tool, under its "name", the record
  // {"url" (when non-empty), "allowed_tools" (when non-empty), then the
  // entries of "extra_params"}, wrapped as {"config": record} when the name
  // is a UUID key. A later tool of the same name replaces an earlier one.
  // Throws KeyError for a tool without "name", TypeError for a name that is
  // not text or "extra_params" that is neither an object nor a list of
  // [key, value] pairs.
  static core::Value _format_mcp_config(const std::vector<inference::NativeTool>& tools);

  // One attempt: request configuration and task unless `state` holds one,
  // client, stream, status, result. Forgets the task when it ended
  // "FAILURE" or "REVOKED".
  boost::asio::awaitable<inference::LMOutput> _research(ResearchCallPtr call,
                                                        std::shared_ptr<TaskState> state) const;

  // "api_config" and "mcp_config" (hyperparameter, else constructor value,
  // else the profile's default, each tested for null), then the other
  // hyperparameters in order. Logs the deprecation warning when a
  // hyperparameter supplies either. Never changes `hyperparameters`.
  boost::asio::awaitable<core::Value> _build_request_config(core::Value hyperparameters) const;

  // Reads the stream of `task_id` to its end and returns its output.
  boost::asio::awaitable<inference::LMOutput> _process_task_stream(
      std::shared_ptr<providers::orvo::DeepResearchClient> client, std::string task_id,
      std::shared_ptr<core::EventEmitter> event_emitter) const;

  // Asks for the status until final, then fetches the task into `output`.
  boost::asio::awaitable<void> _retrieve_result(
      std::shared_ptr<providers::orvo::DeepResearchClient> client, std::string task_id,
      std::shared_ptr<inference::LMOutput> output) const;

  // Event dispatch: one service event into the buffer, the output and the
  // emitter (null sends nothing).
  boost::asio::awaitable<void> _process_event(providers::orvo::StreamEvent event,
                                              std::shared_ptr<BlockBuffer> buffer,
                                              std::shared_ptr<inference::LMOutput> output,
                                              std::shared_ptr<core::EventEmitter> emitter) const;
  boost::asio::awaitable<void> _process_thinking_start(
      std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<core::EventEmitter> emitter) const;
  boost::asio::awaitable<void> _process_thinking_delta(
      core::Value message, std::shared_ptr<BlockBuffer> buffer,
      std::shared_ptr<core::EventEmitter> emitter) const;
  boost::asio::awaitable<void> _process_thinking_end(
      std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<inference::LMOutput> output,
      std::shared_ptr<core::EventEmitter> emitter) const;
  boost::asio::awaitable<void> _process_text_delta(
      core::Value message, std::shared_ptr<BlockBuffer> buffer,
      std::shared_ptr<core::EventEmitter> emitter) const;
  boost::asio::awaitable<void> _flush_text_buffer(
      std::shared_ptr<BlockBuffer> buffer, std::shared_ptr<inference::LMOutput> output,
      std::shared_ptr<core::EventEmitter> emitter) const;
  // The sources of a reference value as citations (no events).
  void _process_citation(const core::Value& value, inference::LMOutput& output,
                         const net::Quoting& quoting) const;

 private:
  struct ProfileCache {
    std::shared_ptr<core::AsyncSemaphore> lock;
    std::mutex mutex;
    std::optional<providers::orvo::ProfileResponse> profile;
  };

  // A client of the factory, which quotes the service's texts with every key
  // the researcher knows (given, environment, the client's).
  std::shared_ptr<providers::orvo::DeepResearchClient> _make_client() const;
  std::optional<providers::orvo::ProfileResponse> _cached_profile() const;

  core::Value _builtin_config;
  providers::orvo::ClientFactory client_factory_;
  StatusCheckSleep status_check_sleep_;
  std::shared_ptr<ProfileCache> profile_cache_;
};

}  // namespace zelq::generation::deep_researcher::orvo_open_deep_researcher

namespace zelq::generation::deep_researcher {
using orvo_open_deep_researcher::OrvoOpenDeepResearcher;
}  // namespace zelq::generation::deep_researcher
