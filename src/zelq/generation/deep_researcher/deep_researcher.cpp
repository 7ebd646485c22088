#include "zelq/generation/deep_researcher/deep_researcher.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "zelq/core/attempt_filter.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/retry_activity.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::generation::deep_researcher {

using core::Value;

namespace {

// The parameters of research(): a prompt variable of one of these names
// would repeat an argument of the call.
constexpr std::array<std::string_view, 5> kResearchArguments = {
    "query", "history", "extra_contents", "hyperparameters", "event_emitter"};

}  // namespace

BaseDeepResearcher::BaseDeepResearcher(std::string class_name, bool streamable)
    : streamable(streamable), class_name_(std::move(class_name)) {
  // Created now, as every researcher's constructor finishes with a logger.
  _logger();
}

boost::asio::awaitable<inference::LMOutput> BaseDeepResearcher::research(ResearchRequest) const {
  throw core::NotImplementedError();
  co_return inference::LMOutput{};
}

void BaseDeepResearcher::_check_prompt_variables(const core::Value& kwargs) const {
  if (kwargs.is_null()) return;
  if (!kwargs.is_object()) {
    throw core::TypeError("The prompt variables of `" + class_name_ +
                          ".research` must be an object, got " + core::py_repr(kwargs) + ".");
  }
  for (std::string_view name : kResearchArguments) {
    if (kwargs.contains(name)) {
      throw core::TypeError("`" + class_name_ + ".research` got multiple values for " +
                            core::py_repr(name) + ": the prompt variable " + core::py_repr(name) +
                            " clashes with the argument of the same name.");
    }
  }
}

void BaseDeepResearcher::_check_hyperparameters(
    const core::Value& hyperparameters, const std::vector<std::string>& reserved_keywords) const {
  if (hyperparameters.is_null()) return;
  if (!hyperparameters.is_object()) {
    throw core::TypeError("The hyperparameters of `" + class_name_ +
                          ".research` must be an object, got " + core::py_repr(hyperparameters) +
                          ".");
  }
  for (const std::string& name : reserved_keywords) {
    if (hyperparameters.contains(name)) {
      throw core::TypeError("`" + class_name_ + ".research` got multiple values for " +
                            core::py_repr(name) + ": the hyperparameter " + core::py_repr(name) +
                            " clashes with the request argument that the researcher sets itself.");
    }
  }
}

std::optional<std::vector<inference::MessageContent>>
BaseDeepResearcher::_filter_text_extra_contents(
    std::optional<std::vector<inference::MessageContent>> extra_contents) const {
  if (!extra_contents || extra_contents->empty()) return extra_contents;
  std::vector<inference::MessageContent> texts;
  std::vector<inference::MessageContent> unsupported;
  for (inference::MessageContent& item : *extra_contents) {
    (item.is_text() ? texts : unsupported).push_back(std::move(item));
  }
  if (!unsupported.empty()) {
    _logger()->warn("The `" + class_name_ +
                    "` currently only supports text extra contents. Ignoring unsupported extra "
                    "contents: " +
                    inference::repr(unsupported) + ".");
  }
  return texts;
}

ResearchCallPtr BaseDeepResearcher::_prepare_research(
    ResearchRequest request, const inference::PromptBuilder& prompt_builder,
    const ResearchFrontOptions& front) const {
  _check_prompt_variables(request.kwargs);
  _check_hyperparameters(request.hyperparameters, front.reserved_keywords);

  auto call = std::make_shared<ResearchCall>();
  const inference::PromptBuilder::FormatOptions format_options{
      .history = std::move(request.history),
      .extra_contents = _filter_text_extra_contents(std::move(request.extra_contents)),
      .query = std::move(request.query),
      .variables = request.kwargs.is_null() ? core::Value::object() : std::move(request.kwargs)};
  call->messages = prompt_builder.format(format_options);
  call->inputs = inference::AgnosticPromptFormatter().format(call->messages);
  call->config = overlay_hyperparameters(front.base_config, request.hyperparameters);
  call->event_emitter = std::move(request.event_emitter);
  return call;
}

core::Value overlay_hyperparameters(const core::Value& base, const core::Value& hyperparameters) {
  for (const core::Value* value : {&base, &hyperparameters}) {
    if (!value->is_null() && !value->is_object()) {
      throw core::TypeError("Only objects can be laid over a request configuration, got " +
                            core::py_repr(*value) + ".");
    }
  }
  core::Value config = base.is_null() ? core::Value::object() : base;
  if (hyperparameters.is_null()) return config;
  for (const auto& [key, value] : hyperparameters.items()) config[key] = value;
  return config;
}

Value seconds_value(std::optional<double> seconds) {
  if (!seconds) return nullptr;
  if (std::trunc(*seconds) == *seconds && std::fabs(*seconds) < 1e15) {
    return static_cast<std::int64_t>(*seconds);
  }
  return *seconds;
}

bool is_worth_another_attempt(const std::exception_ptr& failure) {
  return core::is_worth_another_attempt<net::HttpError>(failure);
}

core::RetryConfig research_retry_policy(core::RetryConfig policy,
                                        std::shared_ptr<core::EventEmitter> emitter) {
  if (!policy.retry_if) policy.retry_if = &is_worth_another_attempt;
  return inference::announce_retries(std::move(policy), std::move(emitter));
}

}  // namespace zelq::generation::deep_researcher
