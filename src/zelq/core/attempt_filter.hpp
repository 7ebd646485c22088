// Which failures of work at an outside service a new attempt may fix: the
// one rule of the retry policies above the transport's own retries.
#pragma once

#include <exception>

#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"

namespace zelq::core {

// The failures that no retry policy repeats, whatever its retry_if says
// (core::retry asks this first): a cancellation; an answer refused for going
// over a limit (OverLimit: a new attempt would be paid for and refused
// again); and a failure that left a run going on at the service
// (RunMayGoOnError: a new attempt would buy a second run).
inline bool is_never_retried(const std::exception_ptr& failure) {
  return is_cancellation(failure) || is_over_limit(failure) || is_run_left_going(failure);
}

// Whether a failed attempt is worth another one, for a retry policy's
// retry_if. What decides is where a failure comes from, not its kind alone.
//
// False for what is_never_retried() names; an `HttpError` whose status the
// transport has
// already retried (429, 5xx) or that cannot change on a retry (every other
// status below 500 but 408 and 409: 400, 401, 403, 404 and 422 among them);
// and an error on what the caller passed: ValueError (which covers an
// invalid URL and a malformed or missing key), TypeError, and
// AttributeError from a template that asks a value for an attribute. The
// callers check their arguments and settings before the first request, so
// such an error ends the call at once.
//
// True for an error on what a service sent, of any kind (it carries
// FromServiceData: a malformed or too deeply nested body or event, a wrong
// shape, a failed validation of a record), and for anything else: a run that
// failed at the service, a broken or silent stream, a time-out, a failing
// event handler.
//
// `HttpError` is the network layer's error type (net::HttpError, with
// status()): this layer does not see it, its callers instantiate the rule
// with it.
template <class HttpError>
bool is_worth_another_attempt(const std::exception_ptr& failure) {
  if (is_never_retried(failure)) return false;
  try {
    std::rethrow_exception(failure);
  } catch (const HttpError& error) {
    return error.status() == 408 || error.status() == 409;
  } catch (const FromServiceData&) {
    return true;
  } catch (const ValueError&) {
    return false;
  } catch (const TypeError&) {
    return false;
  } catch (const AttributeError&) {
    return false;
  } catch (...) {
    return true;
  }
}

}  // namespace zelq::core
