#include "zelq/core/clean_up.hpp"

#include <memory>
#include <optional>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"

namespace zelq::core::detail {

namespace asio = boost::asio;

namespace {

// Awaits `op` in a coroutine of its own on the caller's executor, listening
// on `to_op`, and rethrows its failure. The op has a cancellation state of
// its own: a cancellation of the caller marks the caller's state, and one
// that shared it would end the op's next await at once. The caller's
// cancellations reach this frame through the slot of its state, which the
// await below leaves free (the op listens on `to_op`) and clears when the
// caller resumes; each one calls on_stop(), which decides whether to pass it
// on.
template <class OnStop>
asio::awaitable<void> run_listening(asio::awaitable<void> op, asio::cancellation_signal& to_op,
                                    OnStop& on_stop) {
  const auto executor = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  asio::cancellation_slot caller = state.slot();
  if (caller.is_connected()) {
    caller.assign([&on_stop](asio::cancellation_type_t) { on_stop(); });
  }
  auto token = asio::bind_cancellation_slot(to_op.slot(), asio::use_awaitable);
  co_await asio::co_spawn(executor, std::move(op), token);
}

void pass(asio::cancellation_signal& to_op) { to_op.emit(asio::cancellation_type::terminal); }

// A first stop held back while a run is being named: it reaches the op once
// the run is named or ends, or once the hold has lasted its limit.
class HeldStop {
 public:
  HeldStop(asio::any_io_executor executor, asio::cancellation_signal& to_op, RunLedger& run)
      : timer_(std::move(executor)), to_op_(to_op), run_(run) {}
  ~HeldStop() {
    run_.on_settled(nullptr);
    timer_.cancel();
  }
  HeldStop(const HeldStop&) = delete;
  HeldStop& operator=(const HeldStop&) = delete;

  void hold(std::chrono::steady_clock::duration limit) {
    holding_ = true;
    run_.on_settled([this] { release(); });
    timer_.expires_after(limit);
    // The handler runs with an error once the timer is cancelled, possibly
    // after this object is gone: it reads nothing then.
    timer_.async_wait([this](boost::system::error_code error) {
      if (!error) release();
    });
  }
  // The stop passes now: the run was named or ended, the limit passed, or
  // another stop came.
  void release() {
    if (!holding_) return;
    holding_ = false;
    pass(to_op_);
  }
  bool holding() const { return holding_; }

 private:
  asio::steady_timer timer_;
  asio::cancellation_signal& to_op_;
  RunLedger& run_;
  bool holding_ = false;
};

// What one clean-up started alone shares with the caller that waits for it.
struct CleanUpState {
  explicit CleanUpState(const asio::any_io_executor& executor)
      : done(executor, std::chrono::steady_clock::time_point::max()) {}
  asio::steady_timer done;
  bool finished = false;
};

asio::awaitable<void> clean_up_alone(std::shared_ptr<CleanUpState> shared,
                                     asio::awaitable<void> clean_up,
                                     std::chrono::steady_clock::duration limit) {
  try {
    co_await with_timeout(std::move(clean_up), limit);
  } catch (...) {
    // The clean-up reports its own trouble.
  }
  shared->finished = true;
  shared->done.cancel();
}

asio::awaitable<void> wait_for(std::shared_ptr<CleanUpState> shared) {
  while (!shared->finished) {
    try {
      co_await shared->done.async_wait(asio::use_awaitable);
    } catch (const boost::system::system_error&) {
      if (!shared->finished) throw;
    }
  }
}

}  // namespace

asio::awaitable<std::exception_ptr> run_counted(asio::awaitable<void> op, int& stops,
                                                RunLedger* run,
                                                std::chrono::steady_clock::duration hold) {
  asio::cancellation_signal to_op;
  std::optional<HeldStop> held;
  if (run != nullptr) held.emplace(co_await asio::this_coro::executor, to_op, *run);
  // A second cancellation that lands while the op winds down is counted,
  // not lost.
  auto on_stop = [&] {
    ++stops;
    if (stops == 1 && held && run->naming()) {
      held->hold(hold);
    } else if (held && held->holding()) {
      held->release();
    } else {
      pass(to_op);
    }
  };
  std::exception_ptr failure;
  try {
    co_await run_listening(std::move(op), to_op, on_stop);
  } catch (...) {
    failure = std::current_exception();
  }
  co_return failure;
}

asio::awaitable<void> run_shielded(asio::awaitable<void> clean_up,
                                   std::chrono::steady_clock::duration limit, int ignored) {
  const auto executor = co_await asio::this_coro::executor;
  auto shared = std::make_shared<CleanUpState>(executor);
  // Spawned from this coroutine, on its executor: it first runs inside
  // co_spawn, so no stop can land before it starts. It owns what it needs
  // and may outlive the call.
  asio::co_spawn(executor, clean_up_alone(shared, std::move(clean_up), limit),
                 [](const std::exception_ptr&) {});
  if (ignored < 0) co_return;
  asio::cancellation_signal to_wait;
  auto on_stop = [&] {
    if (ignored == 0) {
      pass(to_wait);
    } else {
      --ignored;
    }
  };
  try {
    co_await run_listening(wait_for(shared), to_wait, on_stop);
  } catch (...) {
    // Left to end alone.
  }
}

std::exception_ptr after_clean_up(std::exception_ptr failure, bool cancelled,
                                  const RunLedger* run) {
  if (!cancelled) return failure;
  if (!is_cancellation(failure)) {
    failure = std::make_exception_ptr(
        boost::system::system_error(asio::error::operation_aborted, "clean-up after cancellation"));
  }
  return run == nullptr ? failure : run->reported(failure);
}

}  // namespace zelq::core::detail
