// Structured concurrency helpers for Asio coroutines: gathering awaitables,
// per-operation deadlines, running blocking calls off the event loop, and
// running an awaitable to completion from plain code.
//
// The executor a helper is awaited on must run one handler at a time: an
// io_context run by one thread, or a strand. On an io_context run by several
// threads without a strand, ops of one gather would run at once on different
// threads, and Asio's parallel group may read its list of ops after the
// waiting frame resumed and freed it.
//
// Every helper joins the work it starts: when one of these coroutines
// completes (normally, by an error or by cancellation), nothing it spawned is
// still running. Two exceptions: a blocking call behind asyncify(), which
// cannot be interrupted (its caller may leave, and the call then runs to its
// end on the pool, owning its own state); and a clean-up of with_clean_up()
// (clean_up.hpp) whose caller was stopped twice, which asks a service to
// stop a run and goes on alone, owning what it needs, within its limit.
//
// Every coroutine these helpers spawn is spawned from a coroutine running on
// the executor it is spawned onto, so it first runs inside co_spawn itself:
// no cancellation can reach it before it has started. (With Boost 1.81, one
// that did, on a coroutine spawned from outside its executor, would make
// co_spawn's closing step throw out of the executor's run(); see the
// README on spawning a call.)
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace zelq::core {

namespace detail {

// Awaits `op` and stores its result in `slot`. The helpers below run results
// through such slots, owned by the frame that joins the child, rather than
// through co_spawn's result path: that path needs a default-constructible T
// and, with GCC 12, moving the result there trips -Wmaybe-uninitialized.
template <class T>
boost::asio::awaitable<void> store_into(boost::asio::awaitable<T> op, std::optional<T>& slot) {
  slot.emplace(co_await std::move(op));
}

// Converts a limit in seconds to a timer duration. Throws ValueError for NaN;
// negative limits become zero, huge ones are capped at about a century.
std::chrono::steady_clock::duration timer_duration(double seconds);

// Races `op` against a timer of `limit`; see with_timeout().
boost::asio::awaitable<void> race_timer(boost::asio::awaitable<void> op,
                                        std::chrono::steady_clock::duration limit,
                                        double limit_seconds);

// The process-wide pool behind asyncify(), created on first use with
// max(2, hardware concurrency) threads and joined at process exit.
boost::asio::thread_pool& shared_thread_pool();

template <class F, class... Args>
using blocking_result_t = std::remove_cvref_t<std::invoke_result_t<F&, Args&...>>;

// One blocking call, shared by the pool thread that runs it and the
// coroutine that awaits it; whichever lets go last destroys it, so the call,
// its arguments and its outcome are the job's own, and a caller may leave
// while the call still runs.
class BlockingJob {
 public:
  BlockingJob() = default;
  BlockingJob(const BlockingJob&) = delete;
  BlockingJob& operator=(const BlockingJob&) = delete;
  virtual ~BlockingJob() = default;

  // On the pool: makes the call and stores its result or failure.
  virtual void run() noexcept = 0;

  // The awaiting side; defined with the code that waits.
  struct Waiter;
  std::mutex mutex;
  // Set while a caller waits for the job; guarded by `mutex`.
  Waiter* waiter = nullptr;
  // Set by run() when the call threw.
  std::exception_ptr failure;
};

template <class R>
struct BlockingOutcome {
  std::optional<R> result;
};
template <>
struct BlockingOutcome<void> {};

template <class F, class... Args>
class BlockingCall final : public BlockingJob,
                           public BlockingOutcome<blocking_result_t<F, Args...>> {
 public:
  explicit BlockingCall(F f, Args... args) : f_(std::move(f)), args_(std::move(args)...) {}

  void run() noexcept override {
    try {
      if constexpr (std::is_void_v<blocking_result_t<F, Args...>>) {
        std::apply(f_, args_);
      } else {
        this->result.emplace(std::apply(f_, args_));
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }

 private:
  F f_;
  std::tuple<Args...> args_;
};

// Starts `job` on the shared pool and waits until it has run. Cancellation
// ends the wait at once (system_error with operation_aborted), and the job
// then runs on without a caller. A caller cancelled before the call does not
// start the job. The job wakes its caller only while the caller waits, by a
// post to the caller's executor: nothing of the caller is touched or
// destroyed on the pool after it left.
boost::asio::awaitable<void> await_blocking_job(std::shared_ptr<BlockingJob> job);

// Runs f(args...) on the shared pool; see asyncify().
template <class F, class... Args>
boost::asio::awaitable<blocking_result_t<F, Args...>> run_blocking(F f, Args... args) {
  auto job = std::make_shared<BlockingCall<F, Args...>>(std::move(f), std::move(args)...);
  co_await await_blocking_job(job);
  if (job->failure) std::rethrow_exception(job->failure);
  if constexpr (!std::is_void_v<blocking_result_t<F, Args...>>) {
    co_return std::move(*job->result);
  }
}

}  // namespace detail

// Runs all `ops` at once on the caller's executor and returns once every one
// has finished. The typed overload returns their results in argument order
// (not completion order); T need not be default-constructible or copyable.
// An empty input finishes at once (an empty vector).
//
// Failure: when an op throws, the others are NOT cancelled; the call waits
// until every op has finished, then rethrows the first failure in completion
// order (the exception object itself). Later failures are dropped.
//
// Cancellation: every cancellation of the calling coroutine (each one, not
// only the first) is forwarded to every op; the call still waits for all of
// them to finish and then rethrows the first failure (typically system_error
// with operation_aborted), or returns normally if every op ignored it. No op ever outlives the
// call. Anything the ops refer to must outlive the co_await of this call.
boost::asio::awaitable<void> parallel_gather(std::vector<boost::asio::awaitable<void>> ops);

template <class T>
requires(!std::is_void_v<T>) boost::asio::awaitable<std::vector<T>> parallel_gather(
    std::vector<boost::asio::awaitable<T>> ops) {
  std::vector<std::optional<T>> slots(ops.size());
  std::vector<boost::asio::awaitable<void>> stores;
  stores.reserve(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    stores.push_back(detail::store_into(std::move(ops[i]), slots[i]));
  }
  co_await parallel_gather(std::move(stores));
  std::vector<T> results;
  results.reserve(slots.size());
  for (auto& slot : slots) results.push_back(std::move(*slot));
  co_return results;
}

// Runs `op` on the caller's executor under a deadline of `limit` and returns
// its result.
//
// Throws: the op's own failure as soon as it happens (the deadline does not
// delay it); TimeoutError("Operation timed out after <limit> seconds", the
// limit written as a plain decimal such as 0.2) when the limit passes first,
// after the op has been cancelled and has finished; ValueError when the limit
// is NaN. A zero or negative limit times out at once unless the op has
// already completed.
//
// Cancellation: the deadline cancels the op once; every cancellation of the
// calling coroutine, before the deadline or after it, is forwarded to the op
// (so that an op that runs a clean-up through one cancellation can still be
// ended by the next). A cancellation of the caller before the deadline ends
// the wait for it: the result is then the op's own outcome (usually its
// operation_aborted failure), never a TimeoutError. The op must respond to
// cancellation for the deadline to end it promptly; it is always joined
// before this returns.
template <class T, class Rep, class Period>
requires(!std::is_void_v<T>) boost::asio::awaitable<T> with_timeout(
    boost::asio::awaitable<T> op, std::chrono::duration<Rep, Period> limit) {
  const double seconds = std::chrono::duration<double>(limit).count();
  std::optional<T> slot;
  co_await detail::race_timer(detail::store_into(std::move(op), slot),
                              detail::timer_duration(seconds), seconds);
  co_return std::move(*slot);
}

// As above, for an op without a result.
template <class Rep, class Period>
boost::asio::awaitable<void> with_timeout(boost::asio::awaitable<void> op,
                                          std::chrono::duration<Rep, Period> limit) {
  const double seconds = std::chrono::duration<double>(limit).count();
  return detail::race_timer(std::move(op), detail::timer_duration(seconds), seconds);
}

// Wraps a blocking callable. The returned callable g, called as
// g(args...), copies `f` and the arguments (arguments are always taken by
// value, so f's reference parameters refer to those copies) and returns an
// awaitable that runs f(args...) on the library's shared thread pool, then
// resumes the awaiting coroutine on its own executor with f's result
// (decayed to a value) or rethrows f's exception.
//
// F must be copyable. The pool is the only set of threads the library starts;
// f must be safe to run on another thread.
//
// Cancellation (and so with_timeout()) ends the wait at once: the await
// throws system_error with operation_aborted while f, which cannot be
// interrupted, runs on to its end on the pool. The call owns its copies of f
// and the arguments, and its late result or exception is dropped; whatever
// else f refers to must stay valid until f returns (hold it by shared
// pointer). A call whose caller was already cancelled does not run at all
// (the await throws the same error).
template <class F>
auto asyncify(F f) {
  return [f = std::move(f)]<class... Args>(Args... args) {
    return detail::run_blocking(f, std::move(args)...);
  };
}

// Runs `aw` to completion on a private io_context in the calling thread and
// returns its result or rethrows its failure (the exception object itself).
// Blocks the caller until `aw` has finished, forever if it never does; do not
// call it from a coroutine or from a handler of another io_context.
void run_sync(boost::asio::awaitable<void> aw);

template <class T>
requires(!std::is_void_v<T>) T run_sync(boost::asio::awaitable<T> aw) {
  std::optional<T> slot;
  run_sync(detail::store_into(std::move(aw), slot));
  return std::move(*slot);
}

}  // namespace zelq::core
