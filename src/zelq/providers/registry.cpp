#include "zelq/providers/registry.hpp"

#include <map>
#include <mutex>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"

namespace zelq::providers {
namespace {

using inference::LMInvokerFactory;
using inference::LMInvokerPtr;
using inference::ModelId;

using Factories = std::map<std::string, LMInvokerFactory, std::less<>>;

// The built-in providers, listed here rather than registered by static
// initialisers in their own libraries (which a static link could drop).
Factories builtin_providers() {
  Factories factories;
  factories.emplace(std::string(openai::PROVIDER_NAME), &openai::make_openai_lm_invoker);
  return factories;
}

struct ProviderRegistry {
  std::mutex mutex;
  Factories factories = builtin_providers();
};

// Seeded on first use (thread-safe function-local static).
ProviderRegistry& provider_registry() {
  static ProviderRegistry registry;
  return registry;
}

LMInvokerFactory find_factory(const ModelId& id) {
  auto& registry = provider_registry();
  std::lock_guard lock(registry.mutex);
  if (auto it = registry.factories.find(id.provider); it != registry.factories.end()) {
    return it->second;
  }
  std::string known;
  for (const auto& [name, factory] : registry.factories) {
    known += (known.empty() ? "" : ", ") + core::py_repr(name);
  }
  throw core::ValueError("Unknown model provider " + core::py_repr(id.provider) + " in model id " +
                         core::py_repr(id.to_string()) +
                         "; registered providers: " + (known.empty() ? "none" : known) + ".");
}

}  // namespace

void register_lm_provider(std::string name, LMInvokerFactory factory) {
  if (name.empty() || name.find('/') != std::string::npos) {
    throw core::ValueError("Invalid model provider name " + core::py_repr(name) +
                           ": it must be non-empty and hold no '/'.");
  }
  if (!factory) {
    throw core::ValueError("The factory of provider " + core::py_repr(name) + " is empty.");
  }
  auto& registry = provider_registry();
  std::lock_guard lock(registry.mutex);
  registry.factories.insert_or_assign(std::move(name), std::move(factory));
}

bool unregister_lm_provider(std::string_view name) {
  auto& registry = provider_registry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.factories.find(name);
  if (it == registry.factories.end()) return false;
  registry.factories.erase(it);
  return true;
}

LMInvokerPtr build_lm_invoker(const inference::ModelIdArg& model_id, core::Value credentials,
                              core::Value config) {
  const ModelId id = inference::to_model_id(model_id);
  if (config.is_null()) config = core::Value::object();
  if (!config.is_object()) {
    throw core::ValueError("The LM invoker config for " + core::py_repr(id.to_string()) +
                           " must be an object, got " + core::py_repr(config) + ".");
  }
  if (auto it = config.find("response_schema"); it != config.end() && !it->is_null()) {
    if (!it->is_object()) {
      throw core::ValueError("The response_schema for " + core::py_repr(id.to_string()) +
                             " must be a JSON Schema object, got " + core::py_repr(*it) + ".");
    }
  }
  LMInvokerFactory factory = find_factory(id);
  LMInvokerPtr invoker = factory(id, credentials, config);
  if (!invoker) {
    throw core::RuntimeError("The factory of provider " + core::py_repr(id.provider) +
                             " returned no invoker for " + core::py_repr(id.to_string()) + ".");
  }
  return invoker;
}

}  // namespace zelq::providers
