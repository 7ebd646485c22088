#include "zelq/inference/lm_invoker.hpp"

#include <algorithm>
#include <exception>

#include <boost/asio/error.hpp>
#include <fmt/format.h>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {
namespace {

std::optional<core::Value> checked_schema(std::optional<core::Value> schema) {
  if (!schema || schema->is_null()) return std::nullopt;
  if (!schema->is_object()) {
    throw core::ValueError(
        "The response_schema of an LM invoker must be a JSON Schema object, got " +
        core::py_repr(*schema) + ".");
  }
  return schema;
}

}  // namespace

BaseLMInvoker::BaseLMInvoker(std::optional<core::Value> response_schema)
    : response_schema_(checked_schema(std::move(response_schema))) {}

boost::asio::awaitable<LMOutput> BaseLMInvoker::invoke(std::vector<Message> messages,
                                                       LMInvokeOptions options) {
  if (options.hyperparameters.is_null()) options.hyperparameters = core::Value::object();
  if (!options.hyperparameters.is_object()) {
    throw core::ValueError("The hyperparameters must be an object, got " +
                           core::py_repr(options.hyperparameters) + ".");
  }
  if (!options.response_schema) options.response_schema = response_schema_;
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
          ->warn("LM invoker " + std::to_string(i + 1) + " of " + std::to_string(cascade.size()) +
                 " for " + label + " failed: " + core::describe_exception(failure) +
                 ". Trying the next one.");
    }
  }
  std::rethrow_exception(failure);
}

boost::asio::awaitable<LMOutput> BaseLMInvoker::invoke(std::vector<Message> messages) {
  return invoke(std::move(messages), LMInvokeOptions{});
}

LMInvokerPtr build_with(const LMInvokerBuilder& build, const ModelIdArg& model_id,
                        core::Value credentials, core::Value config) {
  const std::string shown = to_model_id(model_id).to_string();
  if (!build) {
    throw core::ValueError("No LM invoker builder given to build " + core::py_repr(shown) + ".");
  }
  LMInvokerPtr invoker = build(model_id, std::move(credentials), std::move(config));
  if (!invoker) {
    throw core::ValueError("The LM invoker builder returned no invoker for " +
                           core::py_repr(shown) + ".");
  }
  return invoker;
}

}  // namespace zelq::inference
