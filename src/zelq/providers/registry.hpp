// build_lm_invoker and the registry of model providers behind it, seeded with
// the built-in providers; the model-id conveniences of the inference layer
// bound to it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "zelq/core/value.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::providers {

// Registers (or replaces) the factory of provider `name`, the provider part
// of model ids. Throws zelq::core::ValueError for a name that is empty or
// holds '/', or an empty factory. Thread-safe.
void register_lm_provider(std::string name, inference::LMInvokerFactory factory);

// Removes a registration (a built-in provider too); false when there was
// none. Thread-safe.
bool unregister_lm_provider(std::string_view name);

// Builds a new invoker for `model_id` ("provider/name" or a ModelId) through
// the registered factory of its provider. The registry starts with the
// built-in providers ("openai"), seeded when it is first used, not by static
// initialisers. The config goes to the factory as it is; its
// "response_schema", a JSON Schema object, is checked here and becomes the
// new invoker's response_schema() (the factory hands it to the invoker's
// constructor: an invoker is not changed once built).
// Throws zelq::core::ValueError naming the value for a model id without a
// provider part, an unknown provider (listing the registered ones), a config
// that is neither null nor an object, or a response_schema that is not an
// object; zelq::core::RuntimeError when a factory returns no invoker; and
// whatever the factory throws.
inference::LMInvokerPtr build_lm_invoker(const inference::ModelIdArg& model_id,
                                         core::Value credentials = nullptr,
                                         core::Value config = nullptr);

// LMComponent::from_config with build_lm_invoker: the component for a model
// id, `Derived(invoker, args...)`. Throws what that throws.
template <class Derived, class... Args>
std::unique_ptr<Derived> from_config(inference::FromConfigOptions options, Args&&... args) {
  return inference::LMComponent::from_config<Derived>(&build_lm_invoker, std::move(options),
                                                      std::forward<Args>(args)...);
}

// UsesLM::with_structured_output with build_lm_invoker. Throws what that
// throws.
template <class Derived, class... Args>
std::unique_ptr<Derived> with_structured_output(inference::WithStructuredOutputOptions options,
                                                Args&&... args) {
  return inference::UsesLM::with_structured_output<Derived>(&build_lm_invoker, std::move(options),
                                                            std::forward<Args>(args)...);
}

}  // namespace zelq::providers
