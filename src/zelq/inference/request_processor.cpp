#include "zelq/inference/request_processor.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {

LMRequestProcessor::LMRequestProcessor(PromptBuilder prompt_builder, LMInvokerPtr lm_invoker,
                                       std::vector<LMInvokerPtr> fallback_lms,
                                       std::optional<core::Value> response_schema)
    : prompt_builder_(std::move(prompt_builder)),
      lm_invoker_(std::move(lm_invoker)),
      fallback_lms_(std::move(fallback_lms)) {
  if (response_schema && !response_schema->is_null()) {
    if (!response_schema->is_object()) {
      throw core::ValueError(
          "The response_schema of LMRequestProcessor must be a JSON Schema "
          "object, got " +
          core::py_repr(*response_schema) + ".");
    }
    response_schema_ = std::move(response_schema);
  }
  if (!lm_invoker_) throw core::ValueError("LMRequestProcessor needs an LM invoker, got null.");
  for (std::size_t i = 0; i < fallback_lms_.size(); ++i) {
    if (!fallback_lms_[i]) {
      throw core::ValueError("Fallback LM invoker " + std::to_string(i) +
                             " of LMRequestProcessor is null.");
    }
  }
}

boost::asio::awaitable<LMOutput> LMRequestProcessor::process(core::Value variables,
                                                             ProcessOptions options) const {
  if (!options.hyperparameters.is_null() && !options.hyperparameters.is_object()) {
    throw core::ValueError("The hyperparameters must be an object, got " +
                           core::py_repr(options.hyperparameters) + ".");
  }
  if (variables.is_null()) variables = core::Value::object();
  // Named locals, not temporaries inside the co_await: GCC 12 mishandles
  // braced temporaries there.
  const PromptBuilder::FormatOptions format_options{
      .history = std::move(options.history),
      .extra_contents = std::move(options.extra_contents),
      .query = std::nullopt,
      .variables = variables};
  std::vector<Message> messages = prompt_builder_.format(format_options);
  std::vector<LMInvokerPtr> cascade{lm_invoker_};
  cascade.insert(cascade.end(), fallback_lms_.begin(), fallback_lms_.end());
  LMInvokeOptions invoke_options{.hyperparameters = std::move(options.hyperparameters),
                                 .response_schema = response_schema_,
                                 .event_emitter = std::move(options.event_emitter),
                                 .prompt_variables = std::move(variables)};
  auto call = invoke_with_fallbacks(std::move(cascade), std::move(messages),
                                    std::move(invoke_options), std::nullopt, "LMRequestProcessor");
  co_return co_await std::move(call);
}

boost::asio::awaitable<LMOutput> LMRequestProcessor::process(core::Value variables) const {
  return process(std::move(variables), ProcessOptions{});
}

std::pair<LMInvokerPtr, std::vector<LMInvokerPtr>> LMRequestProcessor::to_lm_invoker_cascade()
    const {
  return {lm_invoker_, fallback_lms_};
}

core::Value UsesLM::_parse_structured_output(const LMOutput& output, std::string_view key,
                                             core::Value default_value, std::size_t max_memory) {
  core::Value structured = parse_structured_output(output, max_memory);
  if (structured.is_object()) {
    if (auto it = structured.find(std::string(key)); it != structured.end()) return *it;
  }
  return default_value;
}

LMRequestProcessorPtr UsesLM::make_structured_processor(const LMInvokerBuilder& build,
                                                        WithStructuredOutputOptions options) {
  if (!options.response_schema.is_object()) {
    throw core::ValueError("The response_schema must be a JSON Schema object, got " +
                           core::py_repr(options.response_schema) + ".");
  }
  core::Value config = options.config.is_null() ? core::Value::object() : options.config;
  if (!config.is_object()) {
    throw core::ValueError("The LM invoker config must be an object, got " + core::py_repr(config) +
                           ".");
  }
  config["response_schema"] = options.response_schema;
  PromptBuilder prompt_builder(std::move(options.system_template),
                               std::move(options.user_template));
  LMInvokerPtr invoker =
      build_with(build, options.model_id, std::move(options.credentials), std::move(config));
  return std::make_shared<LMRequestProcessor>(std::move(prompt_builder), std::move(invoker),
                                              std::vector<LMInvokerPtr>{},
                                              std::move(options.response_schema));
}

}  // namespace zelq::inference
