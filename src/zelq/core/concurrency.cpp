#include "zelq/core/concurrency.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

#include <fmt/format.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::core {

namespace asio = boost::asio;

namespace {

// Rethrows the first failure in completion order, if any.
void rethrow_first_failure(const std::vector<std::size_t>& completion_order,
                           const std::vector<std::exception_ptr>& failures) {
  for (std::size_t index : completion_order) {
    if (failures[index]) std::rethrow_exception(failures[index]);
  }
}

// Decides a finished race between an operation (index 0) and its timer
// (index 1).
void settle_race(std::size_t winner, const std::exception_ptr& op_failure,
                 const boost::system::error_code& timer_error, double limit_seconds) {
  // A timer that ended with an error was cancelled by our caller, not
  // expired: the op's own outcome is the answer then.
  if (winner == 1 && !timer_error) {
    throw TimeoutError(fmt::format("Operation timed out after {} seconds", limit_seconds));
  }
  if (op_failure) std::rethrow_exception(op_failure);
}

// Passes every cancellation that reaches `caller`, the slot of the awaiting
// coroutine's cancellation state, to `forward`, until the coroutine resumes
// (which clears the slot). The helpers await their parallel group with
// unforwarded(), leaving that slot to this: a parallel group passes on only
// the first cancellation it gets, and an op that runs a clean-up through the
// caller's first cancellation must still be reached by the second.
template <class Forward>
void forward_cancellations(asio::cancellation_slot caller, Forward forward) {
  if (caller.is_connected()) caller.assign(std::move(forward));
}

// co_spawn(ex, op, deferred) with `slot` as the op's cancellation slot,
// in place of the one its group hands it.
auto spawn_listening(const asio::any_io_executor& ex, asio::awaitable<void> op,
                     asio::cancellation_slot slot) {
  return asio::async_initiate<const asio::deferred_t&, void(std::exception_ptr)>(
      [ex, slot](auto handler, asio::awaitable<void> op) {
        asio::co_spawn(ex, std::move(op), asio::bind_cancellation_slot(slot, std::move(handler)));
      },
      asio::deferred, std::move(op));
}

// The completion token of a parallel group's wait whose cancellations come
// through forward_cancellations(): a slot that nothing emits on.
auto unforwarded() {
  return asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable);
}

}  // namespace

namespace detail {

std::chrono::steady_clock::duration timer_duration(double seconds) {
  if (std::isnan(seconds)) throw ValueError("The timeout limit must be a number, got nan");
  // A century is "never" for a deadline and keeps the conversion in range.
  constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
  seconds = std::clamp(seconds, 0.0, kMaxSeconds);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

asio::thread_pool& shared_thread_pool() {
  static asio::thread_pool pool(std::max(2u, std::thread::hardware_concurrency()));
  return pool;
}

// A channel on the caller's executor, in the awaiting frame: the job wakes
// the caller by sending on it, which posts the caller's resumption to its own
// executor. The message carries the pool's reference to the job, so that the
// caller, never the pool, destroys a job whose outcome it read. Only the
// frame destroys the channel.
struct BlockingJob::Waiter {
  explicit Waiter(const asio::any_io_executor& executor) : wake(executor, 1) {}

  asio::experimental::concurrent_channel<void(boost::system::error_code,
                                              std::shared_ptr<BlockingJob>)>
      wake;
};

namespace {

// Makes `waiter` the job's caller for the life of this object, which the
// awaiting frame declares after the waiter: however the frame ends, the job
// forgets the waiter before the channel goes.
class WaiterRegistration {
 public:
  WaiterRegistration(BlockingJob& job, BlockingJob::Waiter& waiter) : job_(job) {
    std::lock_guard lock(job_.mutex);
    job_.waiter = &waiter;
  }
  WaiterRegistration(const WaiterRegistration&) = delete;
  WaiterRegistration& operator=(const WaiterRegistration&) = delete;
  ~WaiterRegistration() {
    std::lock_guard lock(job_.mutex);
    job_.waiter = nullptr;
  }

 private:
  BlockingJob& job_;
};

// On the pool: runs the job, then wakes its caller if one still waits. The
// send happens under the job's mutex, so the caller's channel (and its
// context) cannot go away meanwhile. The send hands the pool's reference to
// the caller: the outcome (an exception object shared with the caller's
// copies of it) is released on the caller's thread, never here after the
// caller read it. The caller's own reference keeps the job alive until its
// registration, which takes the mutex, has seen this unlock.
void run_job(std::shared_ptr<BlockingJob> job) noexcept {
  job->run();
  BlockingJob& ran = *job;
  std::lock_guard lock(ran.mutex);
  if (ran.waiter) ran.waiter->wake.try_send(boost::system::error_code{}, std::move(job));
}

}  // namespace

asio::awaitable<void> await_blocking_job(std::shared_ptr<BlockingJob> job) {
  const auto cancelled = (co_await asio::this_coro::cancellation_state).cancelled();
  const bool throw_if_cancelled = co_await asio::this_coro::throw_if_cancelled();
  if (cancelled != asio::cancellation_type::none && throw_if_cancelled) {
    throw boost::system::system_error(asio::error::operation_aborted);
  }
  BlockingJob::Waiter waiter(co_await asio::this_coro::executor);
  WaiterRegistration registration(*job, waiter);
  asio::post(shared_thread_pool(), [job]() mutable { run_job(std::move(job)); });
  // A wake-up and a cancellation may meet: the cancellation wins, and the
  // job's outcome is dropped with the job.
  const auto [error, handed_over] =
      co_await waiter.wake.async_receive(asio::as_tuple(asio::use_awaitable));
  if (error) throw boost::system::system_error(asio::error::operation_aborted);
}

asio::awaitable<void> race_timer(asio::awaitable<void> op,
                                 std::chrono::steady_clock::duration limit, double limit_seconds) {
  auto ex = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  asio::steady_timer timer(ex, limit);
  // The op listens on a signal of its own: the deadline, then every
  // cancellation of the caller, which also ends the wait for the deadline.
  asio::cancellation_signal to_op;
  auto deadline = timer.async_wait(asio::deferred([&to_op](boost::system::error_code error) {
    if (!error) to_op.emit(asio::cancellation_type::terminal);
    return asio::deferred.values(error);
  }));
  forward_cancellations(state.slot(), [&timer, &to_op](asio::cancellation_type_t type) {
    timer.cancel();
    to_op.emit(type);
  });
  auto [order, op_failure, timer_error] =
      co_await asio::experimental::make_parallel_group(
          spawn_listening(ex, std::move(op), to_op.slot()), std::move(deadline))
          .async_wait(asio::experimental::wait_for_one(), unforwarded());
  settle_race(order[0], op_failure, timer_error, limit_seconds);
}

}  // namespace detail

asio::awaitable<void> parallel_gather(std::vector<asio::awaitable<void>> ops) {
  if (ops.empty()) co_return;
  auto ex = co_await asio::this_coro::executor;
  const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  // Each op listens on a signal of its own, which every cancellation of the
  // caller reaches.
  std::vector<asio::cancellation_signal> to_ops(ops.size());
  forward_cancellations(state.slot(), [&to_ops](asio::cancellation_type_t type) {
    for (auto& to_op : to_ops) to_op.emit(type);
  });
  using Spawned = decltype(spawn_listening(ex, std::declval<asio::awaitable<void>>(),
                                           std::declval<asio::cancellation_slot>()));
  std::vector<Spawned> group;
  group.reserve(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    group.push_back(spawn_listening(ex, std::move(ops[i]), to_ops[i].slot()));
  }
  auto [order, failures] = co_await asio::experimental::make_parallel_group(std::move(group))
                               .async_wait(asio::experimental::wait_for_all(), unforwarded());
  rethrow_first_failure(order, failures);
}

void run_sync(asio::awaitable<void> aw) {
  asio::io_context context;
  std::exception_ptr failure;
  asio::co_spawn(context, std::move(aw), [&](std::exception_ptr e) { failure = e; });
  context.run();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace zelq::core
