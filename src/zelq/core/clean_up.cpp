#include "zelq/core/clean_up.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"

namespace zelq::core::detail {

namespace asio = boost::asio;

namespace {

// Awaits `op` in a coroutine of its own on the caller's executor and
// rethrows its failure. The op has a cancellation state of its own: a
// cancellation of the caller marks the caller's state, and one that shared
// it would end the op's next await at once. The caller's cancellations
// reach this frame through the slot of its state, which the await below
// leaves free (the op listens on `to_op`) and clears when the caller
// resumes; each one is passed on to the op when pass() says so.
template <class Pass>
asio::awaitable<void> run_listening(asio::awaitable<void> op, Pass pass) {
  const auto executor = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  asio::cancellation_signal to_op;
  asio::cancellation_slot caller = state.slot();
  if (caller.is_connected()) {
    caller.assign([&to_op, &pass](asio::cancellation_type_t) {
      if (pass()) to_op.emit(asio::cancellation_type::terminal);
    });
  }
  auto token = asio::bind_cancellation_slot(to_op.slot(), asio::use_awaitable);
  co_await asio::co_spawn(executor, std::move(op), token);
}

}  // namespace

asio::awaitable<void> run_counted(asio::awaitable<void> op, int& stops) {
  // A second cancellation that lands while the op winds down is counted,
  // not lost.
  co_await run_listening(std::move(op), [&stops] {
    ++stops;
    return true;
  });
}

asio::awaitable<void> run_shielded(asio::awaitable<void> clean_up,
                                   std::chrono::steady_clock::duration limit, int ignored) {
  try {
    co_await run_listening(with_timeout(std::move(clean_up), limit), [&ignored] {
      if (ignored == 0) return true;
      --ignored;
      return false;
    });
  } catch (...) {
    // The clean-up reports its own trouble.
  }
}

}  // namespace zelq::core::detail
