#include "zelq/generation/response_synthesizer/response_synthesizer.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/refine_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/stuff_synthesis_strategy.hpp"

namespace zelq::generation::response_synthesizer {
namespace {

// Inside the members, "strategy" names the data member, not the namespace.
using strategy::SynthesisContext;

// The parameters of ResponseSynthesizer::synthesize, which a key of its
// kwargs may not repeat.
constexpr std::array<std::string_view, 8> kParameterNames = {
    "self",          "query",           "chunks",        "history",
    "extra_contents", "hyperparameters", "event_emitter", "max_lm_calls"};

void check_no_repeated_parameter(const core::Value& kwargs) {
  if (!kwargs.is_object()) return;
  for (const auto& [key, value] : kwargs.items()) {
    if (std::find(kParameterNames.begin(), kParameterNames.end(), key) != kParameterNames.end()) {
      // Python words the bound instance as a positional argument.
      const char* kind = key == "self" ? "argument " : "keyword argument ";
      throw core::TypeError("ResponseSynthesizer.synthesize() got multiple values for " +
                            std::string(kind) + core::py_repr(key));
    }
  }
}

// Runs the strategy on the context; both live in this frame.
boost::asio::awaitable<core::Value> run_strategy(StrategyPtr strategy, SynthesisContext context) {
  auto call = strategy->synthesize(context);
  co_return co_await std::move(call);
}

}  // namespace

namespace detail {

StrategyPtr make_stuff_strategy(StuffOptions&& options) {
  return std::make_shared<strategy::StuffSynthesisStrategy>(strategy::StuffSynthesisStrategyOptions{
      .lm_request_processor = std::move(options.lm_request_processor),
      .chunks_repacker = std::move(options.chunks_repacker),
      .extractor_func = std::move(options.extractor_func),
      .lm_invoker = std::move(options.lm_invoker),
      .fallback_lms = std::move(options.fallback_lms),
      .prompt_builder = std::move(options.prompt_builder)});
}

StrategyPtr make_map_reduce_strategy(MapReduceOptions&& options) {
  return std::make_shared<strategy::MapReduceSynthesisStrategy>(
      strategy::MapReduceSynthesisStrategyOptions{
          .map_lm_request_processor = std::move(options.map_lm_request_processor),
          .reduce_lm_request_processor = std::move(options.reduce_lm_request_processor),
          .chunks_repacker = std::move(options.chunks_repacker),
          .extractor_func = std::move(options.extractor_func),
          .batch_size = options.batch_size,
          .max_iterations = options.max_iterations,
          .map_lm_invoker = std::move(options.map_lm_invoker),
          .reduce_lm_invoker = std::move(options.reduce_lm_invoker),
          .map_fallback_lms = std::move(options.map_fallback_lms),
          .reduce_fallback_lms = std::move(options.reduce_fallback_lms),
          .map_prompt_builder = std::move(options.map_prompt_builder),
          .reduce_prompt_builder = std::move(options.reduce_prompt_builder)});
}

StrategyPtr make_refine_strategy(RefineOptions&& options) {
  return std::make_shared<strategy::RefineSynthesisStrategy>(
      strategy::RefineSynthesisStrategyOptions{
          .lm_request_processor = std::move(options.lm_request_processor),
          .chunks_repacker = nullptr,
          .batch_size = options.batch_size,
          .extractor_func = std::move(options.extractor_func),
          .stream_drafts = options.stream_drafts,
          .lm_invoker = std::move(options.lm_invoker),
          .fallback_lms = std::move(options.fallback_lms),
          .prompt_builder = std::move(options.prompt_builder)});
}

StrategyPtr make_static_list_strategy(StaticListOptions&& options) {
  return std::make_shared<strategy::StaticListSynthesisStrategy>(
      strategy::StaticListSynthesisStrategyOptions{.format_response_func =
                                                       std::move(options.format_response_func)});
}

}  // namespace detail

ResponseSynthesizer::ResponseSynthesizer(StrategyPtr strategy, bool streamable)
    : strategy_(std::move(strategy)), streamable_(streamable) {}

boost::asio::awaitable<core::Value> ResponseSynthesizer::synthesize() const {
  return synthesize(SynthesizeOptions{});
}

boost::asio::awaitable<core::Value> ResponseSynthesizer::synthesize(
    SynthesizeOptions options) const {
  check_no_repeated_parameter(options.kwargs);
  if (!strategy_) throw core::TypeError("The response synthesizer has no strategy.");
  SynthesisContext context{
      .query = options.query.value_or(""),
      .chunks = options.chunks,
      .history = std::move(options.history),
      .extra_contents = std::move(options.extra_contents),
      .hyperparameters = std::move(options.hyperparameters),
      .event_emitter = streamable_ ? options.event_emitter : nullptr,
      .max_lm_calls = options.max_lm_calls,
      .kwargs = options.kwargs.is_null() ? core::Value::object() : std::move(options.kwargs)};
  context.validate();
  const auto format_input = [this, &options] {
    core::Value input = core::Value::object();
    input["query"] = options.query ? core::Value(*options.query) : core::Value(nullptr);
    return _format_input_event(input);
  };
  const auto format_output = [this](const core::Value& output) {
    return _format_output_event(output);
  };
  auto run = _run_main(format_input, run_strategy(strategy_, std::move(context)), format_output);
  co_return co_await std::move(run);
}

std::string ResponseSynthesizer::_format_input_event(const core::Value& input_dict) const {
  core::Value query = nullptr;
  if (input_dict.is_object()) {
    if (auto it = input_dict.find("query"); it != input_dict.end()) query = *it;
  }
  return core::start_prefix(*this) + "Processing query: " + core::py_repr(query);
}

std::string ResponseSynthesizer::_format_output_event(const core::Value& output) const {
  return core::finished_prefix(*this) + "Successfully synthesized response:\n" +
         core::py_repr(output);
}

}  // namespace zelq::generation::response_synthesizer
