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

// Waits until `shared` (a CleanUpState or an OpTask) has finished: its
// `done` timer is cancelled then.
template <class Shared>
asio::awaitable<void> wait_for(std::shared_ptr<Shared> shared) {
  while (!shared->finished) {
    try {
      co_await shared->done.async_wait(asio::use_awaitable);
    } catch (const boost::system::system_error&) {
      if (!shared->finished) throw;
    }
  }
}

// An op run by run_counted, shared by the coroutine that runs it and the
// caller that awaits it: the caller may leave it running.
struct OpTask {
  OpTask(const asio::any_io_executor& executor, std::chrono::steady_clock::duration limit)
      : done(executor, std::chrono::steady_clock::time_point::max()), limit(limit) {}
  asio::cancellation_signal to_op;
  asio::steady_timer done;
  std::chrono::steady_clock::duration limit;
  // Declared after `to_op`, which it emits on.
  std::optional<HeldStop> held;
  bool finished = false;
  std::exception_ptr failure;
  // Set when the caller left: the clean-up the task runs once the op ends.
  CleanUpLater later;
};

asio::awaitable<void> run_task(std::shared_ptr<OpTask> task, asio::awaitable<void> op) {
  const auto executor = co_await asio::this_coro::executor;
  try {
    auto token = asio::bind_cancellation_slot(task->to_op.slot(), asio::use_awaitable);
    co_await asio::co_spawn(executor, std::move(op), token);
  } catch (...) {
    task->failure = std::current_exception();
  }
  task->finished = true;
  task->held.reset();
  task->done.cancel();
  if (task->failure && task->later) {
    // The caller left while the run was being named: the cancel is ours.
    co_await clean_up_alone(std::make_shared<CleanUpState>(executor), task->later(), task->limit);
  }
}

}  // namespace

asio::awaitable<Counted> run_counted(asio::awaitable<void> op, int& stops,
                                     std::shared_ptr<RunLedger> run,
                                     std::chrono::steady_clock::duration hold, CleanUpLater later) {
  const auto executor = co_await asio::this_coro::executor;
  auto task = std::make_shared<OpTask>(executor, hold);
  if (run) task->held.emplace(executor, task->to_op, *run);
  // Spawned from this coroutine, on its executor: it first runs inside
  // co_spawn, so no stop can land before it starts. It owns the op.
  asio::co_spawn(executor, run_task(task, std::move(op)), [](const std::exception_ptr&) {});
  asio::cancellation_signal to_wait;
  bool left = false;
  // A second cancellation that lands while the op winds down is counted,
  // not lost.
  auto on_stop = [&] {
    ++stops;
    if (task->finished) return;
    HeldStop* held = task->held ? &*task->held : nullptr;
    if (stops == 1 && held != nullptr && run->naming()) {
      held->hold(hold);
    } else if (held != nullptr && held->holding() && later) {
      // The caller goes; the op goes on until its run is named.
      task->later = later;
      left = true;
      pass(to_wait);
    } else if (held != nullptr && held->holding()) {
      held->release();
    } else {
      pass(task->to_op);
    }
  };
  try {
    co_await run_listening(wait_for(task), to_wait, on_stop);
  } catch (...) {
    // Only a caller that left stops waiting before the op ends.
  }
  // Once the caller left, the task owns the clean-up, whenever the op ends.
  if (left) {
    co_return Counted{std::make_exception_ptr(boost::system::system_error(
                          asio::error::operation_aborted, "left to name its run alone")),
                      true};
  }
  co_return Counted{task->failure, false};
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
