// The request side of OpenAI's Responses API ("{base_url}/responses"), which
// serves the deep-research models and every request with provider-side
// tools: the invoker settings that lead there, the tools, the input and the
// body of one background, streamed response.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/native_tool.hpp"

namespace zelq::providers::openai {

// The configuration keys of an OpenAI invoker that concern the Responses
// API: "tools", "thinking" and "retry_config".
const std::vector<std::string_view>& responses_config_keys();

// What an invoker's configuration says about its Responses requests.
struct ResponsesSettings {
  // The provider-side tools, each already in its Responses form (see
  // responses_tool). Non-empty tools send every request to the Responses API.
  core::Value tools = core::Value::array();
  // Asks for reasoning summaries ("reasoning": {"summary": "auto"}), which
  // arrive as thinking.
  bool thinking = false;
  // The policy every invocation runs under: each attempt is a new response,
  // limited to retry_config.timeout seconds. nullopt: one attempt, no limit
  // (the HTTP retries of 429 and 5xx answers happen either way, in the API
  // client; without its own retry_if the policy never retries them again,
  // nor a refusal such as 400, 401, 403, 404 or 422).
  std::optional<core::RetryConfig> retry_config{};

  // Reads "tools" (a list of native tools: a type text such as
  // "web_search", or an object {"type": ..., settings...}), "thinking" (a
  // bool) and "retry_config" (the form of core::retry_config_to_value) from
  // `config` (an object or null); other keys are ignored. Throws
  // zelq::core::ValueError "Invalid OpenAI setting '<key>': ..." naming the
  // key, the item and what is wrong.
  static ResponsesSettings from_config(const core::Value& config);
};

// True when invocations of `model_name` with `settings` go to the Responses
// API: a deep-research model ("...deep-research", dated variants included)
// or configured tools.
bool uses_responses_api(std::string_view model_name, const ResponsesSettings& settings);

// The Responses form of one native tool:
//   web search       -> {"type": "web_search_preview", settings...}
//   code interpreter -> {"type": "code_interpreter", "container": {"type":
//                        "auto"}, settings...}
//   MCP server       -> {"type": "mcp", "server_label": name, "server_url":
//                        url, "require_approval": "never", "allowed_tools"}
//   data store       -> {"type": "file_search", "vector_store_ids": [...]}
// The entries of the tool's "extra_params" object come last, replacing
// entries of the same name. Throws zelq::core::ValueError saying what is
// missing: an MCP server without a "name" or "url" text, a data store without
// OpenAI stores.
core::Value responses_tool(const inference::NativeTool& tool);

// The "input" list ({"role", "content"} per user and assistant message; the
// content a text when the message holds only texts, else "input_text",
// "input_image" and "input_file" parts) and, through `instructions`, the
// system messages' texts joined by "\n\n". Throws zelq::core::ValueError
// naming the message and item for an attachment outside a user message or
// one without a Responses form.
core::Value responses_input(const std::vector<inference::Message>& messages,
                            std::string& instructions);

// One invocation's request: the body to POST and the policy to run it under.
struct ResponsesCall {
  core::Value body = core::Value::object();
  std::optional<core::RetryConfig> retry_config{};
};

// The request of one invocation: "model", "instructions" (when any),
// "input", "tools" (when any), "reasoning" (with thinking), then the
// hyperparameters, then "background": true and "stream": true. The
// hyperparameters override the settings for this call only:
//   "tools" replaces the tools (native tools, or tools already in their
//           Responses form, which are sent as given);
//   "thinking" (bool) switches the reasoning summaries;
//   "reasoning" (an object) is merged over {"summary": "auto"} when
//           thinking is on;
//   "retry_config" (an object) replaces the policy and "timeout" (seconds,
//           or null for none) its per-attempt limit; neither is sent;
//   any other key is a field of the body, in the caller's order.
// Throws zelq::core::ValueError before any request for "model", "input",
// "background" or "stream" (set by the invoker), a bad tool, a malformed
// "thinking", "retry_config" or "timeout", and what responses_input throws.
ResponsesCall responses_call(const std::string& model,
                             const std::vector<inference::Message>& messages,
                             const core::Value& hyperparameters,
                             const ResponsesSettings& settings);

}  // namespace zelq::providers::openai
