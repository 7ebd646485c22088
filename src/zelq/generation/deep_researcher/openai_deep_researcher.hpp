// OpenAIDeepResearcher: deep research with an OpenAI deep-research model,
// through the inference library's OpenAI invoker and a request processor.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/native_tool.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"

// Each researcher's module keeps its constants in a namespace named after the
// module; the researcher class is also named in deep_researcher itself.
namespace zelq::generation::deep_researcher::openai_deep_researcher {

inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE = "";
inline constexpr std::string_view DEFAULT_USER_TEMPLATE = "{query}";
// Seconds: the time-out of the default retry policy.
inline constexpr int DEFAULT_TIMEOUT = 3600;
// Every accepted model name ends with it (case-sensitive).
inline constexpr std::string_view DEEP_RESEARCH_MODEL_SUFFIX = "-deep-research";
// The tools deep-research models need; the constructor adds each one the
// caller's tools lack, in this order.
inline constexpr std::array<inference::NativeToolType, 2> REQUIRED_NATIVE_TOOLS = {
    inference::NativeToolType::CODE_INTERPRETER, inference::NativeToolType::WEB_SEARCH};
// Hyperparameters that would replace what the OpenAI invoker sends itself.
inline constexpr std::array<std::string_view, 4> RESERVED_HYPERPARAMETERS = {
    "model", "input", "stream", "background"};

// Options of the OpenAIDeepResearcher constructor, in parameter order.
struct OpenAIDeepResearcherOptions {
  // The model; the constructor refuses a name without
  // DEEP_RESEARCH_MODEL_SUFFIX.
  std::string model_name = "o4-mini-deep-research";
  // The invoker's credentials; nullopt hands null credentials on (the
  // provider then finds the key itself).
  std::optional<std::string> api_key{};
  // Turns query, history, extra contents and prompt variables into
  // messages; nullopt gives PromptBuilder(DEFAULT_SYSTEM_TEMPLATE,
  // DEFAULT_USER_TEMPLATE).
  std::optional<inference::PromptBuilder> prompt_builder{};
  // The invoker's retry policy, its time-out per attempt; nullopt gives a
  // policy with a time-out of DEFAULT_TIMEOUT seconds.
  std::optional<core::RetryConfig> retry_config{};
  // Native tools the model may use; complete_tools adds the required ones
  // that are missing.
  std::optional<std::vector<inference::NativeTool>> tools{};
  // Stored on the instance; the emitter of a call is handed on either way.
  bool streamable = true;
};

// The caller's tools in order, unchanged, followed by a tool built from the
// type alone for each type of REQUIRED_NATIVE_TOOLS that no caller's tool
// has. Throws TypeError naming the item when a tool is not a well-formed
// native tool (a type outside NativeToolType, kwargs that are not an object
// or that hold "type").
std::vector<inference::NativeTool> complete_tools(
    const std::optional<std::vector<inference::NativeTool>>& tools);

// The configuration the researcher builds its invoker with, exactly these
// entries in this order: "tools" (each tool's NativeTool::to_value()),
// "thinking" (true) and "retry_config" (core::retry_config_to_value).
core::Value invoker_config(const std::vector<inference::NativeTool>& tools,
                           const core::RetryConfig& retry_config);

// A deep researcher on OpenAI deep-research models, reached through the
// inference library: the invoker that build_lm_invoker("openai/<model>",
// api_key, config) makes, paired with the prompt builder in one request
// processor. A research call hands everything to that processor, which
// builds the prompt, applies the retry policy and time-out, streams to the
// emitter and builds the output; this class adds no events, retries or
// filtering of its own. The invoker's policy retries what the researchers'
// policies retry and, with an emitter, announces each new attempt with a
// retry activity (providers::openai::invoke_responses). Immutable after
// construction; research calls may run at once.
class OpenAIDeepResearcher : public BaseDeepResearcher {
 public:
  // Builds the researcher, in this order: checks the model name (ValueError
  // "The model name must be a deep research model. Invalid model name:
  // 'o4-mini'."), completes the tools (complete_tools, TypeError), takes the
  // retry policy and the invoker configuration, the prompt builder, the
  // invoker and the request processor. Throws those errors and what
  // build_lm_invoker and LMRequestProcessor throw; nothing is built then.
  explicit OpenAIDeepResearcher(OpenAIDeepResearcherOptions options = {});

  // Researches through the request processor and returns its output
  // unchanged: process() with the prompt variables "query" then the
  // request's kwargs, and the history, extra contents (all kinds, nothing
  // dropped), hyperparameters and emitter as given. The hyperparameters
  // are the invoker's per-call settings of this call only.
  //
  // Throws before any request: TypeError for kwargs or hyperparameters that
  // are not objects (or null), a prompt variable named like a research
  // argument, or a hyperparameter of RESERVED_HYPERPARAMETERS. Then whatever
  // process() throws, the last failure under the retry policy included. A
  // blank query is no error: the prompt may take its request from other
  // variables. The researcher must outlive the returned awaitable;
  // cancellation propagates and stops the request.
  boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const override;

  // Built by the constructor from the prompt builder and the invoker; every
  // research call goes through it. Never null.
  const inference::LMRequestProcessorPtr lm_request_processor;

 protected:
  // For a class derived from this one: `class_name` is its own name.
  OpenAIDeepResearcher(OpenAIDeepResearcherOptions options, std::string class_name);
};

}  // namespace zelq::generation::deep_researcher::openai_deep_researcher

namespace zelq::generation::deep_researcher {
using openai_deep_researcher::OpenAIDeepResearcher;
using openai_deep_researcher::OpenAIDeepResearcherOptions;
}  // namespace zelq::generation::deep_researcher
