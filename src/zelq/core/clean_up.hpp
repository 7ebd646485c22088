// Clean-up after an operation that ended without its result, the caller's
// cancellation and a time-out included: the one place that lets a coroutine
// that has been cancelled still await its clean-up (asking a service to stop
// what the operation started there) before the failure leaves.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"

namespace zelq::core {

// The longest a clean-up runs. It is above the limits the services set on
// their own cancel requests (10 seconds and the connect time), so that such a
// request ends with its own time-out and says so; it bounds what those limits
// do not (a cancel request retried after 5xx answers, a client without a
// limit) while a cancelled caller waits.
inline constexpr std::chrono::seconds CLEAN_UP_TIME_LIMIT{30};

namespace detail {

// The clean-up of an op that its caller left while the op's run was being
// named: makes the clean-up's awaitable, which owns what it needs.
using CleanUpLater = std::function<boost::asio::awaitable<void>()>;

// How an op awaited by run_counted ended for its caller.
struct Counted {
  // op's failure (null when it succeeded); a cancellation when the caller
  // left it.
  std::exception_ptr failure;
  // The caller left the op running: the op's task stops it once its run is
  // named and then runs the clean-up itself.
  bool left = false;
};

// Awaits `op` in a coroutine of its own on the caller's executor (`op` owns
// what it needs, or outlives this await), passes it every cancellation of
// the caller and counts them in `stops` (which must outlive the await).
// With `run`, a first cancellation that lands while the run is being named
// (its create sent, no name yet) is held back until the run is named or
// ends, or `hold` has passed, so that the clean-up can cancel it. A second
// one passes at once, but when the first is still held and `later` is set
// it leaves `op` running alone: the held stop still reaches it once the run
// is named, and its task then runs later() within `hold`, in place of the
// caller. The caller must not throw when cancelled
// (this_coro::throw_if_cancelled(false)) while it awaits this.
boost::asio::awaitable<Counted> run_counted(boost::asio::awaitable<void> op, int& stops,
                                            std::shared_ptr<RunLedger> run,
                                            std::chrono::steady_clock::duration hold,
                                            CleanUpLater later);

// Starts `clean_up` in a coroutine that owns it, on the caller's executor,
// under a deadline of `limit`, and drops its failure. The caller waits for
// it to end until `ignored` cancellations of the caller have passed and
// another lands, then leaves it to end alone; with `ignored` below 0 the
// caller does not wait at all. A cancellation that passes is still recorded
// in the caller's cancellation state. The same condition on the caller.
boost::asio::awaitable<void> run_shielded(boost::asio::awaitable<void> clean_up,
                                          std::chrono::steady_clock::duration limit, int ignored);

// The failure a call ends with after its clean-up: `failure` when the caller
// was not cancelled; else a cancellation (operation_aborted: `failure` when
// it is one, else a new one), carrying `run`'s report nested when there is a
// run.
std::exception_ptr after_clean_up(std::exception_ptr failure, bool cancelled, const RunLedger* run);

// Awaits `op` and keeps its result in `slot`, which the op's task shares:
// the caller may have left when it completes.
template <class T>
boost::asio::awaitable<void> store_shared(boost::asio::awaitable<T> op,
                                          std::shared_ptr<std::optional<T>> slot) {
  slot->emplace(co_await std::move(op));
}
inline boost::asio::awaitable<void> store_shared(
    boost::asio::awaitable<void> op, std::shared_ptr<std::optional<std::monostate>> slot) {
  co_await std::move(op);
  slot->emplace();
}

}  // namespace detail

// Awaits `op` and returns its result. When `op` fails, starts clean_up() (a
// callable returning boost::asio::awaitable<void> that owns what it needs:
// it may outlive this call) and awaits it before the failure propagates.
//
// Every cancellation of the caller counts, whenever it lands: while `op`
// runs (each one reaches op), before the clean-up starts or while it runs.
// The first (the caller's own, or with_timeout's deadline) lets the clean-up
// run to its end; after the second the call ends at once and the clean-up,
// started all the same, goes on alone until it ends or `limit` has passed.
// A caller cancelled before this began does not start `op`. When the
// caller was cancelled, at any point, the failure that propagates is a
// cancellation (operation_aborted): op's own failure when it is one, else a
// new one, so that a cancelled call is never taken for a failure worth
// retrying (and with_timeout reports its time-out).
//
// With `run`, the ledger of the run `op` creates at a service: a first
// cancellation that lands while its create is unanswered or its run not
// yet named is held back from `op` until the service names the run (or it
// ends, or `limit` has passed), so that the clean-up can cancel the run it
// names. A second one ends the call at once; when the first was still held,
// `op` goes on alone until the run is named and its own task then runs the
// clean-up, so `op` and clean_up (copied) must own what they need. A
// cancelled caller's cancellation carries the run's RunReport nested
// (run_report_of), as it stands when the call ends.
//
// A failure of the clean-up itself is dropped: the clean-up reports its own
// trouble (a log line) and op's failure is what the caller learns. `op`
// runs in a coroutine of its own on the caller's executor; `op` is kept
// until this coroutine completes.
template <class T, class CleanUp>
boost::asio::awaitable<T> with_clean_up(
    boost::asio::awaitable<T> op, CleanUp clean_up, std::shared_ptr<RunLedger> run,
    std::chrono::steady_clock::duration limit = CLEAN_UP_TIME_LIMIT) {
  namespace asio = boost::asio;
  // Only this_coro queries until the coroutine no longer throws when
  // cancelled: awaiting anything else in a cancelled coroutine throws at once.
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  const bool throws = co_await asio::this_coro::throw_if_cancelled();
  co_await asio::this_coro::throw_if_cancelled(false);
  int stops = state.cancelled() != asio::cancellation_type::none ? 1 : 0;
  using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  auto result = std::make_shared<std::optional<Stored>>();
  std::exception_ptr failure;
  bool left = false;
  if (stops == 0) {
    detail::CleanUpLater later;
    if (run) later = [clean_up] { return clean_up(); };
    detail::Counted counted = co_await detail::run_counted(
        detail::store_shared(std::move(op), result), stops, run, limit, std::move(later));
    failure = std::move(counted.failure);
    left = counted.left;
  } else {
    failure = std::make_exception_ptr(
        boost::system::system_error(asio::error::operation_aborted, "cancelled before it began"));
  }
  if (!failure) {
    co_await asio::this_coro::throw_if_cancelled(throws);
    if constexpr (std::is_void_v<T>) {
      co_return;
    } else {
      co_return std::move(**result);
    }
  }
  if (!left) co_await detail::run_shielded(clean_up(), limit, 1 - stops);
  co_await asio::this_coro::throw_if_cancelled(throws);
  const asio::cancellation_state after = co_await asio::this_coro::cancellation_state;
  const bool cancelled = stops > 0 || after.cancelled() != asio::cancellation_type::none;
  std::rethrow_exception(detail::after_clean_up(std::move(failure), cancelled, run.get()));
}

// The same without a run.
template <class T, class CleanUp>
boost::asio::awaitable<T> with_clean_up(
    boost::asio::awaitable<T> op, CleanUp clean_up,
    std::chrono::steady_clock::duration limit = CLEAN_UP_TIME_LIMIT) {
  return with_clean_up(std::move(op), std::move(clean_up), std::shared_ptr<RunLedger>(), limit);
}

}  // namespace zelq::core
