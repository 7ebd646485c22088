#include "zelq/inference/lm_component.hpp"

#include <algorithm>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {
namespace detail {

void throw_unknown_slot(std::string_view slot, const std::vector<std::string>& known) {
  std::string names;
  for (const auto& name : known) names += (names.empty() ? "" : ", ") + core::py_repr(name);
  throw core::KeyError("Unknown LM slot " + core::py_repr(slot) +
                       "; known slots: " + (names.empty() ? "none" : names) + ".");
}

void throw_repeated_slot(std::string_view slot) {
  throw core::ValueError("LM slot " + core::py_repr(slot) + " is given twice.");
}

}  // namespace detail

namespace {

// The new prompt of each slot whose invoker has none, computed before
// anything changes so that a bad default template changes nothing.
std::vector<std::pair<LMInvokerPtr, PromptBuilder>> default_prompts(
    const LMSlots& declared, const LMInvokerSlots& invokers) {
  std::vector<std::pair<LMInvokerPtr, PromptBuilder>> prompts;
  for (const auto& [slot, spec] : declared) {
    const LMInvokerPtr& invoker = invokers.at(slot);
    if (invoker->prompt.is_configured()) continue;
    if (!spec.default_system_template && !spec.default_user_template) {
      throw core::ValueError("The LM invoker of slot " + core::py_repr(slot) +
                             " has no prompt: configure it with prompt.build() first, since the "
                             "component declares no default templates for this slot.");
    }
    prompts.emplace_back(invoker, PromptBuilder(spec.default_system_template.value_or(""),
                                                spec.default_user_template.value_or("")));
  }
  return prompts;
}

void check_slots(const LMSlots& declared, const LMInvokerSlots& invokers,
                 const LMFallbackSlots& fallbacks) {
  std::vector<std::string> names;
  for (const auto& [slot, spec] : declared) {
    names.push_back(slot);
    if (!invokers.contains(slot)) {
      throw core::ValueError("No LM invoker given for slot " + core::py_repr(slot) + ".");
    }
  }
  for (const auto& [slot, invoker] : invokers) {
    if (std::find(names.begin(), names.end(), slot) == names.end()) {
      std::string known;
      for (const auto& name : names) known += (known.empty() ? "" : ", ") + core::py_repr(name);
      throw core::ValueError("LM invoker given for undeclared slot " + core::py_repr(slot) +
                             "; declared slots: " + known + ".");
    }
    if (!invoker)
      throw core::ValueError("The LM invoker of slot " + core::py_repr(slot) + " is null.");
  }
  for (const auto& [slot, list] : fallbacks) {
    if (!invokers.contains(slot)) {
      throw core::ValueError("Fallback LM invokers given for slot " + core::py_repr(slot) +
                             ", which has no LM invoker.");
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!list[i]) {
        throw core::ValueError("Fallback LM invoker " + std::to_string(i) + " of slot " +
                               core::py_repr(slot) + " is null.");
      }
    }
  }
}

}  // namespace

LMSlots LMComponent::declared_slots() const {
  LMSlots slots = lm_slots();
  if (!slots.empty()) return slots;
  slots.emplace_back(std::string(DEFAULT_SLOT),
                     LMComponentSlot{.prompt_vars = prompt_vars(),
                                     .default_system_template = default_system_template(),
                                     .default_user_template = default_user_template()});
  return slots;
}

LMInvokerPtr LMComponent::lm_invoker() const {
  const LMInvokerPtr* invoker = lm_invokers_slot_.find(DEFAULT_SLOT);
  return invoker ? *invoker : nullptr;
}

std::vector<LMInvokerPtr> LMComponent::fallback_lms() const {
  const auto* fallbacks = fallback_lms_slot_.find(DEFAULT_SLOT);
  return fallbacks ? *fallbacks : std::vector<LMInvokerPtr>{};
}

void LMComponent::_init_lm_component(LMInvokerPtr lm_invoker,
                                     std::vector<LMInvokerPtr> fallback_lms) {
  _init_lm_component(LMInvokerSlots{{std::string(DEFAULT_SLOT), std::move(lm_invoker)}},
                     LMFallbackSlots{{std::string(DEFAULT_SLOT), std::move(fallback_lms)}});
}

void LMComponent::_init_lm_component(LMInvokerSlots lm_invoker, LMFallbackSlots fallback_lms) {
  const LMSlots declared = declared_slots();
  check_slots(declared, lm_invoker, fallback_lms);
  for (auto& [invoker, builder] : default_prompts(declared, lm_invoker)) {
    invoker->prompt.prompt_builder = std::move(builder);
  }
  lm_invokers_slot_ = std::move(lm_invoker);
  fallback_lms_slot_ = std::move(fallback_lms);
}

void LMComponent::_override_default_templates(const std::optional<std::string>& system_template,
                                              const std::optional<std::string>& user_template) {
  if (!system_template && !user_template) return;
  const LMInvokerPtr& invoker = lm_invokers_slot_.at(DEFAULT_SLOT);
  const PromptBuilder& current = invoker->prompt.prompt_builder;
  invoker->prompt.prompt_builder =
      PromptBuilder(system_template.value_or(current.system_template()),
                    user_template.value_or(current.user_template()), current.key_defaults());
}

boost::asio::awaitable<LMOutput> LMComponent::_invoke_lm(InvokeLMOptions options) const {
  const LMInvokerPtr invoker = lm_invokers_slot_.at(options.slot);
  if (options.max_calls && *options.max_calls < 1) {
    throw core::ValueError("max_calls must be at least 1, got " +
                           std::to_string(*options.max_calls) + ".");
  }
  if (!options.hyperparameters.is_null() && !options.hyperparameters.is_object()) {
    throw core::ValueError("The hyperparameters must be an object, got " +
                           core::py_repr(options.hyperparameters) + ".");
  }
  if (options.variables.is_null()) options.variables = core::Value::object();
  std::vector<Message> messages =
      invoker->prompt.prompt_builder.format({.history = options.history,
                                             .extra_contents = options.extra_contents,
                                             .query = options.query,
                                             .variables = options.variables});

  core::Value recorded = core::Value::object();
  if (options.query) recorded["query"] = *options.query;
  for (auto it = options.variables.begin(); it != options.variables.end(); ++it) {
    recorded[it.key()] = it.value();
  }
  std::vector<LMInvokerPtr> cascade{invoker};
  if (const auto* fallbacks = fallback_lms_slot_.find(options.slot)) {
    cascade.insert(cascade.end(), fallbacks->begin(), fallbacks->end());
  }
  // Named locals, not temporaries inside the co_await: GCC 12 mishandles
  // braced temporaries there.
  LMInvokeOptions invoke_options{.hyperparameters = std::move(options.hyperparameters),
                                 .response_schema = std::nullopt,
                                 .event_emitter = std::move(options.event_emitter),
                                 .prompt_variables = std::move(recorded)};
  std::string label = "slot " + core::py_repr(options.slot);
  auto call = invoke_with_fallbacks(std::move(cascade), std::move(messages),
                                    std::move(invoke_options), options.max_calls, std::move(label));
  co_return co_await std::move(call);
}

core::Value LMComponent::_parse_structured_output(const LMOutput& output) {
  return parse_structured_output(output);
}

}  // namespace zelq::inference
