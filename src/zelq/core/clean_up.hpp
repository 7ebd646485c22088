// Clean-up after an operation that ended without its result, the caller's
// cancellation and a time-out included: the one place that lets a coroutine
// that has been cancelled still await its clean-up (asking a service to stop
// what the operation started there) before the failure leaves.
#pragma once

#include <exception>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::core {

// Awaits `op` and returns its result. When `op` fails, awaits clean_up()
// (a callable returning boost::asio::awaitable<void>) before the failure
// propagates.
//
// When the awaiting coroutine has been cancelled (by its caller, or by
// with_timeout), the clean-up runs under a fresh cancellation state still
// connected to the caller's cancellation slot: it runs to its end unless it
// is cancelled once more, which ends it at once. The failure that
// propagates then is a cancellation (operation_aborted): op's own failure
// when it is one, else a new one, so that a cancelled call is never taken
// for a failure worth retrying.
//
// A failure of the clean-up itself is dropped: the clean-up reports its own
// trouble (a log line) and op's failure is what the caller learns. `op`
// and `clean_up` are kept in this coroutine's frame until it completes.
template <class T, class CleanUp>
boost::asio::awaitable<T> with_clean_up(boost::asio::awaitable<T> op, CleanUp clean_up) {
  namespace asio = boost::asio;
  std::exception_ptr failure;
  try {
    co_return co_await std::move(op);
  } catch (...) {
    failure = std::current_exception();
  }
  // Only this_coro queries until the state is fresh: awaiting anything else
  // in a cancelled coroutine throws at once.
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  const bool cancelled = state.cancelled() != asio::cancellation_type::none;
  if (cancelled) co_await asio::this_coro::reset_cancellation_state();
  try {
    co_await clean_up();
  } catch (...) {
  }
  if (cancelled && !is_cancellation(failure)) {
    failure = std::make_exception_ptr(
        boost::system::system_error(asio::error::operation_aborted, "clean-up after cancellation"));
  }
  std::rethrow_exception(failure);
}

}  // namespace zelq::core
