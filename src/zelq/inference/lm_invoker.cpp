#include "zelq/inference/lm_invoker.hpp"

#include <algorithm>
#include <exception>
#include <map>
#include <mutex>

#include <boost/asio/error.hpp>
#include <fmt/format.h>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"

namespace zelq::inference {
namespace {

// Starts with the built-in providers, so that no static initialiser (which a
// static-library link could drop) is needed to register them.
struct ProviderRegistry {
  std::mutex mutex;
  std::map<std::string, LMInvokerFactory, std::less<>> factories{
      {std::string(providers::openai::PROVIDER_NAME), &providers::openai::make_openai_lm_invoker}};
};

ProviderRegistry& provider_registry() {
  static ProviderRegistry registry;
  return registry;
}

LMInvokerFactory find_factory(const ModelId& id, const std::string& shown_id) {
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
                         core::py_repr(shown_id) +
                         "; registered providers: " + (known.empty() ? "none" : known) + ".");
}

}  // namespace

void LMPrompt::build(const PromptBuildOptions& options) {
  core::Value key_defaults = core::Value::object();
  const core::Value& kwargs = options.prompt_builder_kwargs;
  if (!kwargs.is_null() && !kwargs.is_object()) {
    throw core::TypeError("prompt_builder_kwargs must be an object, got " + core::py_repr(kwargs) +
                          ".");
  }
  if (kwargs.is_object()) {
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
      if (it.key() != "key_defaults") {
        throw core::TypeError("PromptBuilder got an unexpected keyword argument " +
                              core::py_repr(it.key()));
      }
      key_defaults = it.value();
    }
  }
  prompt_builder =
      PromptBuilder(options.system_template, options.user_template, std::move(key_defaults));
}

bool LMPrompt::is_configured() const noexcept {
  return !prompt_builder.system_template().empty() || !prompt_builder.user_template().empty();
}

boost::asio::awaitable<LMOutput> BaseLMInvoker::invoke(std::vector<Message> messages,
                                                       LMInvokeOptions options) {
  if (options.hyperparameters.is_null()) options.hyperparameters = core::Value::object();
  if (!options.hyperparameters.is_object()) {
    throw core::ValueError("The hyperparameters must be an object, got " +
                           core::py_repr(options.hyperparameters) + ".");
  }
  if (!options.response_schema) options.response_schema = response_schema;
  if (options.prompt_variables.is_null()) options.prompt_variables = core::Value::object();
  co_return co_await _invoke(std::move(messages), std::move(options));
}

boost::asio::awaitable<LMOutput> invoke_with_fallbacks(std::vector<LMInvokerPtr> cascade,
                                                       std::vector<Message> messages,
                                                       LMInvokeOptions options,
                                                       std::optional<int> max_calls,
                                                       std::string label) {
  if (cascade.empty()) throw core::ValueError("No LM invoker to call for " + label + ".");
  if (max_calls && *max_calls < 1) {
    throw core::ValueError("max_calls must be at least 1, got " + std::to_string(*max_calls) + ".");
  }
  std::size_t limit = cascade.size();
  if (max_calls) limit = std::min(limit, static_cast<std::size_t>(*max_calls));
  std::exception_ptr failure;
  for (std::size_t i = 0; i < limit; ++i) {
    try {
      co_return co_await cascade[i]->invoke(messages, options);
    } catch (...) {
      failure = std::current_exception();
    }
    if (core::is_cancellation(failure)) std::rethrow_exception(failure);
    if (i + 1 < limit) {
      core::LoggerManager()
          .get_logger("LMComponent")
          ->warn(fmt::format("LM invoker {} of {} for {} failed: {}. Trying the next one.", i + 1,
                             cascade.size(), label, core::describe_exception(failure)));
    }
  }
  std::rethrow_exception(failure);
}

boost::asio::awaitable<LMOutput> BaseLMInvoker::invoke(std::vector<Message> messages) {
  return invoke(std::move(messages), LMInvokeOptions{});
}

void register_lm_provider(std::string name, LMInvokerFactory factory) {
  if (name.empty() || name.find('/') != std::string::npos) {
    throw core::ValueError("Invalid model provider name " + core::py_repr(name) +
                           ": it must be non-empty and hold no '/'.");
  }
  if (!factory)
    throw core::ValueError("The factory of provider " + core::py_repr(name) + " is empty.");
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

LMInvokerPtr build_lm_invoker(const ModelIdArg& model_id, core::Value credentials,
                              core::Value config) {
  const ModelId id = to_model_id(model_id);
  if (config.is_null()) config = core::Value::object();
  if (!config.is_object()) {
    throw core::ValueError("The LM invoker config for " + core::py_repr(id.to_string()) +
                           " must be an object, got " + core::py_repr(config) + ".");
  }
  std::optional<core::Value> schema;
  if (auto it = config.find("response_schema"); it != config.end() && !it->is_null()) {
    if (!it->is_object()) {
      throw core::ValueError("The response_schema for " + core::py_repr(id.to_string()) +
                             " must be a JSON Schema object, got " + core::py_repr(*it) + ".");
    }
    schema = *it;
  }
  LMInvokerFactory factory = find_factory(id, id.to_string());
  LMInvokerPtr invoker = factory(id, credentials, config);
  if (!invoker) {
    throw core::RuntimeError("The factory of provider " + core::py_repr(id.provider) +
                             " returned no invoker for " + core::py_repr(id.to_string()) + ".");
  }
  if (schema) invoker->response_schema = std::move(schema);
  return invoker;
}

}  // namespace zelq::inference
