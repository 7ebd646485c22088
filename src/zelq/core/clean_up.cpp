#include "zelq/core/clean_up.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"

namespace zelq::core::detail {

namespace asio = boost::asio;

asio::awaitable<void> run_counted(asio::awaitable<void> op, int& stops) {
  const auto executor = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  // The op listens on a signal of its own, as the clean-up does below: the
  // caller's slot, left free by the await, sees every cancellation, and a
  // second one that lands while the op winds down is counted, not lost.
  asio::cancellation_signal to_op;
  asio::cancellation_slot caller = state.slot();
  if (caller.is_connected()) {
    caller.assign([&to_op, &stops](asio::cancellation_type_t type) {
      ++stops;
      to_op.emit(type);
    });
  }
  auto token = asio::bind_cancellation_slot(to_op.slot(), asio::use_awaitable);
  co_await asio::co_spawn(executor, std::move(op), token);
}

asio::awaitable<void> run_shielded(asio::awaitable<void> clean_up,
                                   std::chrono::steady_clock::duration limit, int ignored) {
  const auto executor = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  // The clean-up runs in a coroutine of its own, with a cancellation state of
  // its own: a cancellation of the caller marks the caller's state, and one
  // that shared it would end the clean-up's next await at once. The caller's
  // cancellations reach this frame through the slot of its state, which the
  // await below leaves free (its op listens on `stop`) and clears when the
  // caller resumes.
  asio::cancellation_signal stop;
  asio::cancellation_slot caller = state.slot();
  if (caller.is_connected()) {
    caller.assign([&stop, &ignored](asio::cancellation_type_t) {
      if (ignored > 0) {
        --ignored;
        return;
      }
      stop.emit(asio::cancellation_type::terminal);
    });
  }
  auto limited = with_timeout(std::move(clean_up), limit);
  auto token = asio::bind_cancellation_slot(stop.slot(), asio::as_tuple(asio::use_awaitable));
  co_await asio::co_spawn(executor, std::move(limited), token);
}

}  // namespace zelq::core::detail
