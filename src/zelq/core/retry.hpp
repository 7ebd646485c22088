// Re-running a failing coroutine with exponential back-off.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/this_coro.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/core/value.hpp"

namespace zelq::core {

// What the retry loop says before it runs a failed attempt again.
struct RetryNotice {
  // The number of the attempt about to run, from 2.
  long long attempt = 2;
  // The attempts the policy allows in all (max_retries + 1).
  long long max_attempts = 2;
  // The failure of the attempt before, and its what() as one line
  // (one_line of describe_exception).
  std::exception_ptr failure{};
  std::string reason{};
  // The back-off in seconds before the attempt runs.
  double delay = 0;
};

// A retry policy.
//
// A call makes at most max_retries + 1 attempts. Before retry k (k counted
// from 0, so before attempt k + 2) it sleeps delay(k) =
// min(max_delay, base_delay * backoff_factor^k) seconds. `timeout` limits
// each attempt, in seconds; absent or 0 means no limit.
struct RetryConfig {
  int max_retries = 3;
  double base_delay = 1.0;
  double max_delay = 10.0;
  double backoff_factor = 2.0;
  std::optional<double> timeout = std::nullopt;
  // Whether a failure may be retried; a failure it rejects propagates at
  // once, unlogged. Empty: every failure but a cancellation. A cancellation
  // and an answer refused for going over a limit (OverLimit) are never
  // retried, whatever it says; neither is a failure that leaves a run going
  // (RunMayGoOnError).
  std::function<bool(const std::exception_ptr&)> retry_if{};
  // The delay in seconds a failure asks for (a server's Retry-After), used
  // instead of delay(k) when it returns a value. Empty: none.
  std::function<std::optional<double>(const std::exception_ptr&)> delay_hint{};
  // Awaited once a failed attempt is to be run again, after its warning and
  // before the back-off: to tell the caller that a new attempt begins. The
  // notice lives until the awaitable completes. Its failure ends the call
  // with that failure. Empty: nothing.
  std::function<boost::asio::awaitable<void>(const RetryNotice&)> before_retry{};
  // The run the attempts of this call create at a service, if they create
  // one. A failed attempt whose run the service accepted and that may still
  // be going on (run->blocks_new_create()) is never followed by another:
  // the call ends at once with RunMayGoOnError, the attempt's failure
  // nested, whatever retry_if says and whether or not attempts are left.
  // A cancellation still ends the call as itself. Null: none.
  std::shared_ptr<RunLedger> run{};

  // Throws ValueError naming the first bad field ("max_retries",
  // "base_delay", "max_delay", "backoff_factor", "timeout") when it is
  // negative or NaN; returns normally otherwise.
  void validate() const;

  // The sleep in seconds before retry `retry_index` (0 for the first retry).
  double delay(int retry_index) const;
};

// The configuration form of a policy, for settings handed on inside a Value
// (an invoker configuration's "retry_config"): {"max_retries": 3,
// "base_delay": 1.0, "max_delay": 10.0, "backoff_factor": 2.0, "timeout":
// 3600.0} with "timeout" null when the policy has none.
Value retry_config_to_value(const RetryConfig& config);

// The policy of such a form: an object holding any of those keys (a missing
// key keeps its default; "timeout" null means none). Throws ValueError naming
// the key for an unknown key or a value of the wrong kind, or when `value` is
// not an object; and what RetryConfig::validate() throws.
RetryConfig retry_config_from_value(const Value& value);

namespace detail {

template <class A>
struct awaitable_value;
template <class T>
struct awaitable_value<boost::asio::awaitable<T>> {
  using type = T;
};

// The value type of the awaitable that func(args&...) returns.
template <class F, class... Args>
using retry_result_t = typename awaitable_value<std::invoke_result_t<F&, Args&...>>::type;

// Starts one attempt, under with_timeout() when the policy limits attempts.
template <class F, class... Args>
auto start_attempt(F& func, const RetryConfig& config, Args&... args) {
  auto attempt = std::invoke(func, args...);
  if (config.timeout && *config.timeout > 0) {
    return with_timeout(std::move(attempt), std::chrono::duration<double>(*config.timeout));
  }
  return attempt;
}

// Decides what follows the failure of attempt `attempt` (0-based): rethrows
// `failure` when it is a cancellation (operation_aborted), when `cancelled`
// (the caller's coroutine was cancelled), when it carries OverLimit or is a
// RunMayGoOnError, when config.retry_if rejects it or when it was the last
// allowed attempt; throws config.run->left_going(failure) when the attempt
// left a run that may go on; otherwise logs it and returns the
// notice of the next attempt, whose delay is the back-off in seconds
// (config.delay_hint's, when it names one). A reason equal to
// `previous_reason` (the attempt before's) is not quoted again.
RetryNotice next_attempt_or_rethrow(const RetryConfig& config, int attempt,
                                    const std::exception_ptr& failure, bool cancelled,
                                    std::string_view previous_reason = {});

// Awaits config.before_retry(notice) when it is set, then sleeps the
// notice's delay on a steady_timer of the caller's executor.
boost::asio::awaitable<void> back_off(const RetryConfig& config, RetryNotice notice);

}  // namespace detail

// Awaits func(args...) and returns its result; when an attempt fails, sleeps
// (see RetryConfig) and awaits func(args...) again, up to
// config.max_retries + 1 attempts in all. `func` may be any callable
// (including a member function pointer followed by the object) returning
// boost::asio::awaitable<R>.
//
// Arguments: `func` and `args` are copied into this coroutine's frame, and
// every attempt gets the SAME objects as lvalues: a func taking Foo& or
// const std::shared_ptr<X>& sees identical objects, and changes made by one
// attempt are seen by the next. They live until this call completes.
//
// Throws: ValueError from config.validate() before the first attempt; the
// last attempt's failure, unchanged (the same exception object), when every
// attempt has failed. With a timeout, an attempt that overruns it fails with
// TimeoutError, which is retried like any other failure.
//
// Cancellation is never retried: when an attempt fails with system_error
// operation_aborted, or the calling coroutine has been cancelled, that
// failure is rethrown at once; so is a failure that carries OverLimit, and a
// RunMayGoOnError. With config.run, an attempt that leaves a run that may be
// going on at the service ends the call with RunMayGoOnError (see
// RetryConfig::run), never with another create, and a cancellation during
// a back-off carries the run's report nested (run_report_of). A
// cancellation during a back-off sleep ends the call with system_error
// operation_aborted.
//
// Each failed attempt is logged as one warning line on the library logger
// "retry": "Attempt 1/4 failed: <reason>. Retrying in 1 seconds." with the
// failure's what() as one line (core::one_line); "Attempt 2/4 failed for
// the same reason. Retrying in 2 seconds." when the reason repeats the
// attempt before's; "Attempt 4/4 failed. Giving up." for the last, whose
// failure the caller receives in full. A server's answer quoted in a
// failure is so logged once.
template <class F, class... Args>
boost::asio::awaitable<detail::retry_result_t<F, Args...>> retry(F func, RetryConfig config,
                                                                 Args... args) {
  config.validate();
  std::string previous_reason;
  for (int attempt = 0;; ++attempt) {
    std::exception_ptr failure;
    try {
      if constexpr (std::is_void_v<detail::retry_result_t<F, Args...>>) {
        co_await detail::start_attempt(func, config, args...);
        co_return;
      } else {
        co_return co_await detail::start_attempt(func, config, args...);
      }
    } catch (...) {
      failure = std::current_exception();
    }
    // Read the state before the next co_await of an awaitable, which would
    // throw operation_aborted in place of the attempt's failure.
    auto state = co_await boost::asio::this_coro::cancellation_state;
    const bool cancelled = state.cancelled() != boost::asio::cancellation_type::none;
    RetryNotice notice =
        detail::next_attempt_or_rethrow(config, attempt, failure, cancelled, previous_reason);
    previous_reason = notice.reason;
    std::exception_ptr stopped;
    try {
      co_await detail::back_off(config, std::move(notice));
    } catch (...) {
      stopped = std::current_exception();
    }
    // A stop during the pause says what became of the run, as a stop of an
    // attempt does.
    if (stopped) std::rethrow_exception(config.run ? config.run->reported(stopped) : stopped);
  }
}

}  // namespace zelq::core
