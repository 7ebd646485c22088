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

bool has_templates(const PromptBuilder& builder) {
  return !builder.system_template().empty() || !builder.user_template().empty();
}

// The prompt builder of every declared slot: the one given, or one of the
// slot's default templates, computed before anything changes so that a bad
// default template changes nothing.
LMPromptSlots slot_prompts(const LMSlots& declared, const LMPromptSlots& given) {
  LMPromptSlots prompts;
  for (const auto& [slot, spec] : declared) {
    const PromptBuilder* builder = given.find(slot);
    if (builder && has_templates(*builder)) {
      prompts.insert_or_assign(slot, *builder);
      continue;
    }
    if (!spec.default_system_template && !spec.default_user_template) {
      throw core::ValueError("No prompt given for LM slot " + core::py_repr(slot) +
                             ", and the component declares no default templates for it: give "
                             "the component a prompt builder for this slot.");
    }
    prompts.insert_or_assign(
        slot, PromptBuilder(spec.default_system_template.value_or(""),
                            spec.default_user_template.value_or(""),
                            builder ? builder->key_defaults() : core::Value::object()));
  }
  return prompts;
}

// Throws ValueError when `slots` names a slot without an invoker.
template <class T>
void check_known(const SlotMap<T>& slots, const LMInvokerSlots& invokers, std::string_view what) {
  for (const auto& [slot, value] : slots) {
    if (!invokers.contains(slot)) {
      throw core::ValueError(std::string(what) + " given for slot " + core::py_repr(slot) +
                             ", which has no LM invoker.");
    }
  }
}

void check_schemas(const LMSchemaSlots& schemas) {
  for (const auto& [slot, schema] : schemas) {
    if (!schema.is_object()) {
      throw core::ValueError("The response schema of slot " + core::py_repr(slot) +
                             " must be a JSON Schema object, got " + core::py_repr(schema) + ".");
    }
  }
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
  check_known(fallbacks, invokers, "Fallback LM invokers");
  for (const auto& [slot, list] : fallbacks) {
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

const PromptBuilder& LMComponent::_prompt_builder(std::string_view slot) const {
  return prompt_builders_slot_.at(slot);
}

std::optional<core::Value> LMComponent::_response_schema(std::string_view slot) const {
  (void)prompt_builders_slot_.at(slot);  // KeyError for an unknown slot
  if (const core::Value* schema = response_schemas_slot_.find(slot)) return *schema;
  return std::nullopt;
}

void LMComponent::_init_lm_component(LMInvokerPtr lm_invoker,
                                     std::vector<LMInvokerPtr> fallback_lms,
                                     std::optional<PromptBuilder> prompt_builder,
                                     std::optional<core::Value> response_schema) {
  const std::string slot(DEFAULT_SLOT);
  LMPromptSlots prompts;
  if (prompt_builder) prompts.insert_or_assign(slot, std::move(*prompt_builder));
  LMSchemaSlots schemas;
  if (response_schema && !response_schema->is_null()) {
    schemas.insert_or_assign(slot, std::move(*response_schema));
  }
  _init_lm_component(LMInvokerSlots{{slot, std::move(lm_invoker)}},
                     LMFallbackSlots{{slot, std::move(fallback_lms)}}, std::move(prompts),
                     std::move(schemas));
}

void LMComponent::_init_lm_component(LMInvokerSlots lm_invoker, LMFallbackSlots fallback_lms,
                                     LMPromptSlots prompt_builders,
                                     LMSchemaSlots response_schemas) {
  const LMSlots declared = declared_slots();
  check_slots(declared, lm_invoker, fallback_lms);
  check_known(prompt_builders, lm_invoker, "A prompt builder");
  check_known(response_schemas, lm_invoker, "A response schema");
  check_schemas(response_schemas);
  LMPromptSlots prompts = slot_prompts(declared, prompt_builders);
  lm_invokers_slot_ = std::move(lm_invoker);
  fallback_lms_slot_ = std::move(fallback_lms);
  prompt_builders_slot_ = std::move(prompts);
  response_schemas_slot_ = std::move(response_schemas);
}

std::optional<core::Value> LMComponent::config_response_schema(const core::Value& config) {
  if (!config.is_object()) return std::nullopt;
  auto it = config.find("response_schema");
  if (it == config.end() || it->is_null()) return std::nullopt;
  if (!it->is_object()) {
    throw core::ValueError("The response_schema must be a JSON Schema object, got " +
                           core::py_repr(*it) + ".");
  }
  return *it;
}

void LMComponent::_apply_config(const std::optional<std::string>& system_template,
                                const std::optional<std::string>& user_template,
                                std::optional<core::Value> response_schema) {
  const std::string slot(DEFAULT_SLOT);
  if (system_template || user_template) {
    const PromptBuilder& current = prompt_builders_slot_.at(slot);
    prompt_builders_slot_.insert_or_assign(
        slot,
        PromptBuilder(system_template.value_or(current.system_template()),
                      user_template.value_or(current.user_template()), current.key_defaults()));
  }
  if (response_schema) response_schemas_slot_.insert_or_assign(slot, std::move(*response_schema));
}

boost::asio::awaitable<LMOutput> LMComponent::_invoke_lm(InvokeLMOptions options) const {
  const LMInvokerPtr invoker = lm_invokers_slot_.at(options.slot);
  const PromptBuilder& prompt_builder = prompt_builders_slot_.at(options.slot);
  if (options.max_calls && *options.max_calls < 1) {
    throw core::ValueError("max_calls must be at least 1, got " +
                           std::to_string(*options.max_calls) + ".");
  }
  if (!options.hyperparameters.is_null() && !options.hyperparameters.is_object()) {
    throw core::ValueError("The hyperparameters must be an object, got " +
                           core::py_repr(options.hyperparameters) + ".");
  }
  if (options.variables.is_null()) options.variables = core::Value::object();
  std::vector<Message> messages = prompt_builder.format({.history = options.history,
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
                                 .response_schema = _response_schema(options.slot),
                                 .event_emitter = std::move(options.event_emitter),
                                 .prompt_variables = std::move(recorded)};
  std::string label = "slot " + core::py_repr(options.slot);
  auto call = invoke_with_fallbacks(std::move(cascade), std::move(messages),
                                    std::move(invoke_options), options.max_calls, std::move(label));
  co_return co_await std::move(call);
}

core::Value LMComponent::_parse_structured_output(const LMOutput& output, std::size_t max_memory) {
  return parse_structured_output(output, max_memory);
}

}  // namespace zelq::inference
