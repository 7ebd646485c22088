#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"

#include <array>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/object_index.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/inference/prompt_builder.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

// The keywords _invoke_lm takes besides the prompt variables.
constexpr std::array<std::string_view, 7> RESERVED_KEYWORDS = {
    "history", "extra_contents", "hyperparameters", "event_emitter", "max_calls", "slot", "query"};

// The context's kwargs, then the call's own: a name in both keeps the
// context's position and takes the call's value. Linear in the names.
core::Value merge_kwargs(const core::Value& context_kwargs, const core::Value& call_kwargs) {
  core::Value merged = core::Value::object();
  core::ObjectBuilder builder(merged);
  for (const core::Value* source : {&context_kwargs, &call_kwargs}) {
    if (source->is_null()) continue;
    if (!source->is_object()) {
      throw core::TypeError("The prompt variables must be a mapping, got " +
                            core::py_repr(*source) + ".");
    }
    for (auto it = source->begin(); it != source->end(); ++it) builder[it.key()] = it.value();
  }
  return merged;
}

// `variables` are the checked prompt variables, all keys of the slot's
// prompt; one that repeats a keyword of the invocation would be given twice.
void check_reserved(const core::Value& variables) {
  for (auto it = variables.begin(); it != variables.end(); ++it) {
    for (std::string_view reserved : RESERVED_KEYWORDS) {
      if (it.key() == reserved) {
        throw core::TypeError("_invoke_lm() got multiple values for keyword argument " +
                              core::py_repr(reserved));
      }
    }
  }
}

}  // namespace

boost::asio::awaitable<core::Value> BaseSynthesisStrategy::synthesize(SynthesisContext&) const {
  throw core::NotImplementedError();
  co_return core::Value();
}

core::Value BaseSynthesisStrategy::_default_extractor_func(const inference::LMOutput& output) {
  return core::Value(output.text());
}

const inference::LMComponent& BaseSynthesisStrategy::lm_component() const {
  const auto* component = dynamic_cast<const inference::LMComponent*>(this);
  if (component == nullptr) {
    throw core::TypeError(class_name() +
                          " does not derive from LMComponent and cannot invoke a language model.");
  }
  return *component;
}

boost::asio::awaitable<inference::LMOutput> BaseSynthesisStrategy::_synthesize_with_lm(
    SynthesisContext& synthesis_context) const {
  return _synthesize_with_lm(synthesis_context, LMSynthesisOptions{});
}

boost::asio::awaitable<inference::LMOutput> BaseSynthesisStrategy::_synthesize_with_lm(
    SynthesisContext& synthesis_context, LMSynthesisOptions options) const {
  if (synthesis_context.query.empty()) {
    throw core::ValueError("The `query` parameter is required for LM-based synthesis strategies.");
  }
  const inference::LMComponent& lm = lm_component();
  const core::Value merged = merge_kwargs(synthesis_context.kwargs, options.kwargs);
  core::Value variables = core::Value::object();
  if (!merged.empty()) {
    const inference::PromptBuilder& builder = lm._prompt_builder(options.slot);
    for (auto it = merged.begin(); it != merged.end(); ++it) {
      std::optional<core::Value> checked =
          validate_variable(builder, it.key(), synthesis_context.key_repr(it.key()), it.value());
      if (checked) variables[it.key()] = std::move(*checked);
    }
    check_reserved(variables);
  }
  inference::InvokeLMOptions invoke{.slot = std::move(options.slot),
                                    .query = synthesis_context.query,
                                    .history = synthesis_context.history,
                                    .extra_contents = synthesis_context.extra_contents,
                                    .hyperparameters = synthesis_context.hyperparameters,
                                    .event_emitter = synthesis_context.event_emitter,
                                    .max_calls = synthesis_context.max_lm_calls,
                                    .variables = std::move(variables)};
  auto call = lm._invoke_lm(std::move(invoke));
  co_return co_await std::move(call);
}

std::optional<core::Value> BaseSynthesisStrategy::_validate_prompt_variable(
    std::string_view key, const core::Value& value, std::string_view slot) const {
  const auto& builder = lm_component()._prompt_builder(slot);
  return validate_variable(builder, key, core::py_repr(key), value);
}

std::optional<core::Value> BaseSynthesisStrategy::_validate_prompt_variable(
    SynthesisPromptKey key, const core::Value& value, std::string_view slot) const {
  const auto& builder = lm_component()._prompt_builder(slot);
  return validate_variable(builder, key.value(), key.repr(), value);
}

std::optional<core::Value> BaseSynthesisStrategy::validate_variable(
    const inference::PromptBuilder& builder, std::string_view key, const std::string& printed_key,
    const core::Value& value) const {
  const core::Value& key_defaults = builder.key_defaults();
  if (!builder.prompt_key_set().contains(key)) {
    if (core::py_truthy(value)) {
      _logger()->warn("The " + printed_key +
                      " key is not present in the prompt builder. Ignoring the value.");
    }
    return std::nullopt;
  }
  if (core::py_truthy(value)) return value;
  core::Value replacement("");
  if (key_defaults.is_object()) {
    auto found = key_defaults.find(key);
    if (found != key_defaults.end() && core::py_truthy(*found)) replacement = *found;
  }
  _logger()->warn("The " + printed_key +
                  " key is empty. Assigning default value: " + core::py_repr(replacement) + ".");
  return replacement;
}

}  // namespace zelq::generation::response_synthesizer::strategy
