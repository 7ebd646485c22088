// GoogleDeepResearcher: deep research with one of Google's deep-research
// agents, through the interactions API of the Google client.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/native_tool.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/providers/google/interactions_client.hpp"

namespace zelq::generation::deep_researcher::google_deep_researcher {

inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE = "";
inline constexpr std::string_view DEFAULT_USER_TEMPLATE = "{query}";
// Seconds: the time-out of the default retry policy.
inline constexpr int DEFAULT_TIMEOUT = 3600;
// Every agent name begins with it (case-sensitive).
inline constexpr std::string_view DEEP_RESEARCH_AGENT_PREFIX = "deep-research-";
// From the policy's time-out in seconds to the client's in milliseconds.
inline constexpr int SECONDS_TO_MILLISECONDS = 1000;
// Seconds between two status polls: without progress, and after a stream
// that ended before its interaction did.
inline constexpr double DEFAULT_STATUS_CHECK_INTERVAL = 10.0;

// The request options of the research with progress: {"background": true,
// "stream": true, "agent_config": {"type": "deep-research",
// "thinking_summaries": "auto"}}. Built once; never modified.
const core::Value& DEEP_RESEARCH_CONFIG();

// Keys of client parameters, of the request configuration and of tool
// records.
struct Key {
  static constexpr std::string_view ALLOWED_TOOLS = "allowed_tools";
  static constexpr std::string_view BACKGROUND = "background";
  static constexpr std::string_view DATA_STORES = "data_stores";
  static constexpr std::string_view EXTRA_PARAMS = "extra_params";
  static constexpr std::string_view FILE_SEARCH_STORE_NAMES = "file_search_store_names";
  static constexpr std::string_view HTTP_OPTIONS = "http_options";
  static constexpr std::string_view NAME = "name";
  static constexpr std::string_view URL = "url";
  static constexpr std::string_view TIMEOUT = "timeout";
  static constexpr std::string_view TOOLS = "tools";
  static constexpr std::string_view TYPE = "type";
};

// The tool types of the interactions API.
struct InputType {
  static constexpr std::string_view CODE_EXECUTION = "code_execution";
  static constexpr std::string_view FILE_SEARCH = "file_search";
  static constexpr std::string_view GOOGLE_SEARCH = "google_search";
  static constexpr std::string_view MCP_SERVER = "mcp_server";
};

// The event and delta types of the interactions stream.
struct OutputType {
  static constexpr std::string_view DELTA = "content.delta";
  static constexpr std::string_view THINKING = "thought_summary";
  static constexpr std::string_view TEXT = "text";
};

// Waits `seconds` on the awaiting coroutine's executor; cancellation ends
// the wait with operation_aborted.
using Sleeper = std::function<boost::asio::awaitable<void>(double seconds)>;

// Options of the GoogleDeepResearcher constructor, in parameter order, then
// the seams of tests.
struct GoogleDeepResearcherOptions {
  // The deep research agent; must begin with DEEP_RESEARCH_AGENT_PREFIX.
  std::string agent_name = "deep-research-preview-04-2026";
  // The API key; nullopt or empty leaves the client to read GEMINI_API_KEY,
  // then GOOGLE_API_KEY.
  std::optional<std::string> api_key{};
  // nullopt gives PromptBuilder(DEFAULT_SYSTEM_TEMPLATE,
  // DEFAULT_USER_TEMPLATE).
  std::optional<inference::PromptBuilder> prompt_builder{};
  // nullopt gives a policy with a time-out of DEFAULT_TIMEOUT seconds. Its
  // time-out is also the client's and the request's time-out.
  std::optional<core::RetryConfig> retry_config{};
  std::optional<std::vector<inference::NativeTool>> tools{};
  // Stored on the instance; events are sent whenever a call passes an
  // emitter.
  bool streamable = true;
  // True: a streamed interaction with thought summaries; false: a
  // background interaction polled until it ends.
  bool show_progress = true;
  // Seconds between two status polls; finite and >= 0.
  double status_check_interval = DEFAULT_STATUS_CHECK_INTERVAL;
  // Deprecated: data stores, added as one data-store tool after `tools`.
  std::optional<std::vector<inference::AttachmentStore>> data_stores{};
  // Builds the client of each research call (all of its attempts use it)
  // from client_params; empty: the HTTP client
  // (providers::google::make_http_interactions_client).
  providers::google::InteractionsClientFactory client_factory{};
  // The wait between two status polls; empty: core::sleep_for.
  Sleeper sleep{};
};

// A deep researcher on Google's deep-research agents. With progress it
// creates a streamed background interaction and turns every thought summary
// into a thinking block and every piece of answer text into a response
// block (each piece a block of its own); without progress it creates a
// background interaction, polls it until it completes and sends each output
// text as a response block. A stream that ends before the interaction's
// completion event is followed by polling until the interaction ends; one
// without answer text takes the interaction's outputs, and an interaction
// that completed without any gives an output without text (with a
// warning), not a failure. One client serves all attempts of a call; each
// attempt creates a new interaction, and an attempt that ends without its
// result (an error, the caller's cancellation, the policy's time-out)
// first cancels its interaction at the service unless the service has
// reported it ended (completed, failed, cancelled, incomplete or over its
// budget), so that no call leaves more than one interaction running. That
// cancel request runs on through the caller's first cancellation or
// deadline and ends at the next one, or after core::CLEAN_UP_TIME_LIMIT
// (core::with_clean_up); a caller cancelled so gets its cancellation or
// time-out, never the attempt's failure. Immutable after construction;
// research calls may run at once.
class GoogleDeepResearcher : public BaseDeepResearcher {
 public:
  // Builds the researcher, in this order: checks the agent name (ValueError
  // "The agent name must be a deep research agent. Invalid agent name:
  // 'x'.") and the status interval (ValueError), takes the prompt builder,
  // the retry policy and the client parameters, logs the info line on the
  // interactions API being in beta (every construction), adds the
  // deprecated data stores as a tool (with a warning), and builds the
  // request configuration, converting each tool (ValueError "Unsupported
  // tool type: ..." or "`GoogleDeepResearcher` only supports Google data
  // stores."; ValueError for a malformed data store). Nothing is kept when
  // it throws.
  explicit GoogleDeepResearcher(GoogleDeepResearcherOptions options = {});

  // Researches the request at the agent and returns the output of the
  // attempt that succeeded: thinking and answer text (with progress) or the
  // output texts (without). The request configuration of the call is the
  // stored one with the hyperparameters laid over it; "timeout" in it is
  // the client's time-out of the request, in seconds.
  //
  // Throws before any request: TypeError for kwargs or hyperparameters
  // that are not objects, a prompt variable named like a research argument,
  // a hyperparameter "input" or "agent"; what the prompt builder throws;
  // what the client factory throws (ValueError for a malformed or missing
  // key, an invalid base URL). Then the last
  // attempt's failure under the retry policy (see research_retry_policy):
  // the client's errors, RuntimeError "Research failed with status:
  // 'failed'." (with the service's reason after a colon when it gives one)
  // for an interaction that ended otherwise than completed, the emitter's
  // errors. A stream whose body ends without answer text is no error: it
  // gives an output with its thinking only (or empty) and a warning; when
  // it named its interaction, the interaction's outputs are read first.
  // Cancellation propagates after the running interaction has been asked
  // to stop. The researcher must outlive the returned awaitable.
  boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const override;

  // The request configuration for `tools`: "timeout" (the policy's seconds,
  // or null), then DEEP_RESEARCH_CONFIG's entries with progress or
  // "background" true without, then "tools" (each tool converted) when
  // there are tools. Throws what _format_native_tool throws.
  core::Value _build_config(const std::vector<inference::NativeTool>& tools) const;

  // The interactions tool record of `tool`. Throws ValueError "Unsupported
  // tool type: <NativeToolType: n>." for a type outside NativeToolType,
  // "`GoogleDeepResearcher` only supports Google data stores." for a data
  // store of another provider, and ValueError naming a malformed data
  // store. The tool is not changed.
  static core::Value _format_native_tool(const inference::NativeTool& tool);

  const std::string agent_name;
  const inference::PromptBuilder prompt_builder;
  const core::RetryConfig retry_config;
  // {"api_key": key (only when a non-empty key was given), "http_options":
  // {"timeout": milliseconds or null}}.
  const core::Value client_params;

  bool _show_progress() const noexcept { return show_progress_; }
  double _status_check_interval() const noexcept { return status_check_interval_; }
  const core::Value& _config() const noexcept { return config_; }

 protected:
  // For a class derived from this one: `class_name` is its own name.
  GoogleDeepResearcher(GoogleDeepResearcherOptions options, std::string class_name);

 private:
  using ClientPtr = providers::google::InteractionsClientPtr;
  using EmitterPtr = std::shared_ptr<core::EventEmitter>;
  // What an attempt knows of the interaction it created: its id once
  // named, and whether the service reported it ended; both kept in the
  // call's ledger too (name(), end()).
  struct Run {
    std::string id{};
    bool ended = false;
    std::shared_ptr<core::RunLedger> ledger = std::make_shared<core::RunLedger>();

    void name(std::string named, const net::Quoting& quoting) {
      if (!id.empty() || named.empty()) return;
      id = std::move(named);
      ledger->named(id, quoting.quoted(id));
    }
    void end() {
      ended = true;
      ledger->ended();
    }
  };
  using RunPtr = std::shared_ptr<Run>;

  // One attempt with the call's client: with progress (streamed) or by
  // status polling, as show_progress says. Its failure, the caller's
  // cancellation and the policy's time-out included, cancels the
  // interaction it created unless it has ended.
  boost::asio::awaitable<inference::LMOutput> _attempt(ClientPtr client,
                                                       ResearchCallPtr call) const;
  boost::asio::awaitable<inference::LMOutput> _streamed_attempt(ClientPtr client,
                                                                ResearchCallPtr call,
                                                                RunPtr run) const;
  boost::asio::awaitable<inference::LMOutput> _polled_attempt(ClientPtr client,
                                                              ResearchCallPtr call,
                                                              RunPtr run) const;
  // Hands one event to its step; changes `output` before it returns.
  boost::asio::awaitable<void> _process_event(const providers::google::InteractionsClient& client,
                                              const providers::google::InteractionEvent& event,
                                              inference::LMOutput& output,
                                              const EmitterPtr& emitter) const;
  // After a stream that ended: done when it ended with the interaction's
  // completion and brought answer text; else waits for the interaction to
  // end and takes its outputs when the stream brought no text (none at
  // all: a warning, and `output` stays without text). A stream that never
  // named its interaction is done too, with a warning when it brought no
  // text.
  boost::asio::awaitable<void> _finish_stream(ClientPtr client, RunPtr run,
                                              inference::LMOutput& output,
                                              EmitterPtr emitter) const;
  // Polls interaction `run->id` every status_check_interval seconds while it
  // is queued or in progress; returns the record once it completed. Throws
  // RuntimeError "Research failed with status: '<status>'[: <the service's
  // reason>]." for any other status. Marks the run ended for a status of
  // an ended interaction.
  boost::asio::awaitable<providers::google::Interaction> _wait_for_completion(ClientPtr client,
                                                                              RunPtr run) const;
  // Follows the interaction a streamed create answered with its record
  // instead of a stream: polls it until it ends and returns its outputs.
  boost::asio::awaitable<inference::LMOutput> _follow_record(ClientPtr client,
                                                             providers::google::Interaction record,
                                                             RunPtr run, EmitterPtr emitter) const;
  // A client of the factory (or the HTTP client), which quotes the service's
  // texts with every key the researcher knows (given, environment, the
  // client's).
  ClientPtr _make_client() const;
  providers::google::CreateInteractionRequest _create_request(const ResearchCall& call) const;
  // Creates the interaction of an attempt of `call`.
  boost::asio::awaitable<providers::google::CreateInteractionResult> _create(ClientPtr client,
                                                                             ResearchCallPtr call,
                                                                             RunPtr run) const;

  bool show_progress_;
  double status_check_interval_;
  core::Value config_;
  providers::google::InteractionsClientFactory client_factory_;
  Sleeper sleep_;
};

}  // namespace zelq::generation::deep_researcher::google_deep_researcher

namespace zelq::generation::deep_researcher {
using google_deep_researcher::GoogleDeepResearcher;
using google_deep_researcher::GoogleDeepResearcherOptions;
}  // namespace zelq::generation::deep_researcher
