// The research contract of every deep researcher, and the research front the
// researchers share.
//
// A deep researcher hands one research request to an outside service and
// returns one LMOutput (answer text, thinking parts, citations), sending
// thinking, activity and response events to the caller's emitter while the
// request runs.
//
// The research front, for researchers that build their own request:
//
//   BaseDeepResearcher::_research_front(request, prompt_builder,
//                                       retry_config, front, attempt)
//
// runs once per research call, in this order, all before the first attempt:
//   1. checks the request: kwargs (prompt variables) and hyperparameters
//      must be objects or null (TypeError);
//      a prompt variable named like a research argument ("query", "history",
//      "extra_contents", "hyperparameters", "event_emitter") and a
//      hyperparameter named like one of `front.reserved_keywords` (the
//      request keywords the researcher sets itself, such as "input" and
//      "agent") are TypeErrors naming the key;
//   2. keeps only the text extra contents, logging one warning naming the
//      class and the ignored items when any are dropped ("The `<Class>`
//      currently only supports text extra contents. Ignoring unsupported
//      extra contents: [<repr>, ...].");
//   3. builds the messages with the prompt builder (history, the kept extra
//      contents, "query" and the prompt variables) and formats them into
//      one request text (AgnosticPromptFormatter);
//   4. lays the hyperparameters over `front.base_config` in a new object:
//      the base entries in their order, a hyperparameter of an existing key
//      replacing that value in place, new keys after them in the caller's
//      order. An empty base gives a copy of the hyperparameters;
//   5. awaits core::retry(attempt, research_retry_policy(retry_config,
//      emitter), call) with one immutable ResearchCall shared by every
//      attempt, and returns its result.
// A researcher keeps further per-call state that attempts share (a run id,
// its service client) in its attempt callable, by shared pointer.
// _prepare_research runs steps 1 to 4 alone and _retry_research step 5, for
// researchers that need the call values differently.
//
// Retries: one layer per failure. The service clients' net::ApiClient
// retries what a new request can fix (429 and 5xx answers, after the
// server's Retry-After); the research policy retries attempts, that is, new
// or continued runs at the service, and only for failures a new attempt may
// fix (is_worth_another_attempt): never the 429/5xx the client has already
// retried, a refusal that cannot change, an invalid URL or key, an argument
// error or a cancellation. What the caller passed is checked before the
// first request; an error on what a service sent (a malformed or too deeply
// nested body or event, a wrong shape, a record that fails validation) is a
// failed attempt like any other, whatever its kind. Each retry logs one warning line ("Attempt 1/4
// failed: <reason>. Retrying in 1 seconds.") and, with an emitter, sends an
// activity event RetryActivity before the new attempt's events.
//
// Runs at the service: an attempt that ends without its result never
// leaves the run it started going while another starts. Either the next
// attempt continues that run (Parallel, Orvo) or the attempt asks the
// service to stop it before its failure leaves (Google; OpenAI in its
// invoker), the caller's cancellation and the policy's time-out included.
//
// An adapter whose service takes "input" and "agent" from it, with a stored
// configuration `_config`:
//
//   boost::asio::awaitable<inference::LMOutput> MyResearcher::research(
//       ResearchRequest request) const {
//     ResearchFrontOptions front{.reserved_keywords = {"input", "agent"},
//                                .base_config = _config};
//     auto attempt = [this](ResearchCallPtr call) { return _research(std::move(call)); };
//     co_return co_await _research_front(std::move(request), prompt_builder, retry_config,
//                                        std::move(front), std::move(attempt));
//   }
//
// (`front` is a named local: GCC 12 mishandles braced temporaries inside a
// co_await expression.)
//
// Layout of a researcher module: its constants (DEFAULT_TIMEOUT, Key, ...)
// live in a namespace named after the module
// (deep_researcher::google_deep_researcher), so that the modules' constants
// of the same name do not clash, and the class is named in deep_researcher
// with a using-declaration; the umbrella header
// zelq/generation/deep_researcher.hpp includes the module's header.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/component.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/event_block.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/retry_activity.hpp"

namespace zelq::generation::deep_researcher {

// One research call.
//
// GCC 12 caution: do not write a braced ResearchRequest temporary inside a
// co_await expression; GCC 12 destroys it twice. Build it in a named local.
struct ResearchRequest {
  // The query to research, the prompt variable "query". It may be blank:
  // a prompt builder may take its request from other variables.
  std::string query{};
  // Earlier messages, placed before the query's message by the prompt
  // builder; nullopt for none.
  std::optional<std::vector<inference::Message>> history{};
  // Contents added to the query's message; each researcher says what it
  // does with the non-text ones. nullopt for none.
  std::optional<std::vector<inference::MessageContent>> extra_contents{};
  // Request options of this call only, laid over the researcher's own
  // configuration: an object, or null for none.
  core::Value hyperparameters = nullptr;
  // Receives the thinking, activity and response events of the call as
  // they arrive; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // Further prompt variables for the prompt builder: an object (null counts
  // as empty).
  core::Value kwargs = core::Value::object();
};

// What the research front settles once per call; every attempt of the call
// receives the same object.
struct ResearchCall {
  // The prompt builder's messages.
  std::vector<inference::Message> messages{};
  // The messages formatted into the one request text.
  std::string inputs{};
  // The base configuration with the hyperparameters laid over it (an
  // object).
  core::Value config = core::Value::object();
  // The caller's emitter, unchanged (null: send nothing).
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // The run the call's attempts create at the service, kept across them:
  // the retry policy asks it before another attempt (core::RetryConfig::run),
  // and the attempts of a service that creates runs keep it.
  std::shared_ptr<core::RunLedger> run = std::make_shared<core::RunLedger>();
};

using ResearchCallPtr = std::shared_ptr<const ResearchCall>;

// How one researcher uses the research front.
struct ResearchFrontOptions {
  // Request keywords the researcher passes to its service itself; a
  // hyperparameter with one of these names is a TypeError.
  std::vector<std::string> reserved_keywords{};
  // The stored request configuration the hyperparameters are laid over (an
  // object; an empty one makes the call's config a copy of the
  // hyperparameters).
  core::Value base_config = core::Value::object();
};

// One block of one text (inference/event_block.hpp), as the researchers
// send a thinking part or an answer.
using inference::BlockKind;
using inference::emit_block;

// Seconds as a request configuration holds them: an integer when whole
// (3600), else the fraction (2.5); null for none.
core::Value seconds_value(std::optional<double> seconds);

// Whether a failed research attempt is worth another one: the researchers'
// retry_if, core::is_worth_another_attempt with net::HttpError (see there:
// never a cancellation, an argument error, an invalid URL or key, an HTTP
// status the client has already retried or that cannot change; always an
// error on what the service sent). A run the
// service reports failed or no longer knows comes as the client's own
// error, not as an HttpError, and is worth another attempt.
bool is_worth_another_attempt(const std::exception_ptr& failure);

// The activity sent before a new attempt (inference/retry_activity.hpp).
using inference::RetryActivity;

// `policy` as a research call runs it: retry_if is is_worth_another_attempt
// unless the policy brings its own; with an emitter, before_retry also
// sends an activity event of RetryActivity (inference::announce_retries).
// Throws nothing.
core::RetryConfig research_retry_policy(core::RetryConfig policy,
                                        std::shared_ptr<core::EventEmitter> emitter);

// The base of every deep researcher: names the logger after the concrete
// class and holds the research front (see the top of this file) that the
// researchers building their own request share. Concrete researchers
// override research(); the instance is configured by its constructor and
// only read by research calls, so one researcher may serve several calls at
// once.
class BaseDeepResearcher : public core::Component {
 public:
  // Stored for callers; no researcher reads it: events go to a call's
  // emitter whenever the call passes one.
  bool streamable = true;

  // The name of the instance's own class, given to the constructor.
  std::string class_name() const final { return class_name_; }

  // Researches `request.query` and returns the output of the service: the
  // answer text, thinking parts and citations. Throws what each researcher
  // documents. The researcher must outlive the returned awaitable;
  // cancellation propagates (events already sent stay sent).
  //
  // The base form throws NotImplementedError (without a message) when
  // awaited.
  virtual boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const = 0;

 protected:
  // `class_name` is the most derived class's name ("GoogleDeepResearcher");
  // the logger is named after it. A class derived from a researcher passes
  // its own name on. Throws nothing.
  explicit BaseDeepResearcher(std::string class_name, bool streamable = true);

  BaseDeepResearcher(const BaseDeepResearcher&) = default;
  BaseDeepResearcher& operator=(const BaseDeepResearcher&) = default;

  // Steps 1 to 4 of the research front (see the top of this file) for
  // `request`. Throws TypeError for kwargs or hyperparameters that are not
  // objects (or null) and for a clashing prompt variable or hyperparameter;
  // what PromptBuilder::format throws.
  // Logs the extra-contents warning on the class's logger.
  ResearchCallPtr _prepare_research(ResearchRequest request,
                                    const inference::PromptBuilder& prompt_builder,
                                    const ResearchFrontOptions& front) const;

  // The whole research front: _prepare_research, then `attempt` (a callable
  // taking a ResearchCallPtr and returning awaitable<LMOutput>) under
  // `retry_config`, each attempt with the same ResearchCall. Returns the
  // output of the attempt that succeeds. Throws the errors of
  // _prepare_research before any attempt (never retried); then the last
  // attempt's failure, unchanged. The attempt callable is kept in the
  // call's frame until it completes, and so is what it captures.
  // Cancellation is never retried and propagates.
  template <class Attempt>
  boost::asio::awaitable<inference::LMOutput> _research_front(
      ResearchRequest request, inference::PromptBuilder prompt_builder,
      core::RetryConfig retry_config, ResearchFrontOptions front, Attempt attempt) const {
    ResearchCallPtr call = _prepare_research(std::move(request), prompt_builder, front);
    co_return co_await _retry_research(std::move(attempt), std::move(retry_config),
                                       std::move(call));
  }

  // Step 5 of the research front alone: attempt(call) under
  // research_retry_policy(retry_config, call->event_emitter), whose run is
  // call->run. Throws the last attempt's failure, unchanged, or the
  // emitter's failure while it announces a retry; RunMayGoOnError when an
  // attempt failed while the run the service accepted may be going on.
  template <class Attempt>
  static boost::asio::awaitable<inference::LMOutput> _retry_research(Attempt attempt,
                                                                     core::RetryConfig retry_config,
                                                                     ResearchCallPtr call) {
    core::RetryConfig policy = research_retry_policy(std::move(retry_config), call->event_emitter);
    policy.run = call->run;
    co_return co_await core::retry(std::move(attempt), std::move(policy), std::move(call));
  }

  // Throws TypeError when `kwargs` is not an object or null, or holds a key
  // named like a research argument ("query", "history", "extra_contents",
  // "hyperparameters", "event_emitter").
  void _check_prompt_variables(const core::Value& kwargs) const;

  // Throws TypeError when `hyperparameters` is not an object or null, or
  // holds a key of `reserved_keywords`.
  void _check_hyperparameters(const core::Value& hyperparameters,
                              const std::vector<std::string>& reserved_keywords) const;

  // The text items of `extra_contents` in order (nullopt and an empty list
  // come back unchanged). When any item is dropped, logs one warning on the
  // class's logger naming the class and the dropped items in order.
  std::optional<std::vector<inference::MessageContent>> _filter_text_extra_contents(
      std::optional<std::vector<inference::MessageContent>> extra_contents) const;

 private:
  std::string class_name_;
};

// A new object: the entries of `base` in order, then those of
// `hyperparameters` (null counts as empty), a key already present replacing
// the value in place. Throws TypeError when either is neither an object nor
// null.
core::Value overlay_hyperparameters(const core::Value& base, const core::Value& hyperparameters);

}  // namespace zelq::generation::deep_researcher
