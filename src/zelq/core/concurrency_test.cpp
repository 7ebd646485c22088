#include "zelq/core/concurrency.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;
using std::chrono_literals::operator""h;
using std::chrono_literals::operator""s;
using std::chrono_literals::operator""ms;

// A one-shot gate: wait() suspends until open() has been called.
class Gate {
 public:
  asio::awaitable<void> wait() {
    if (open_) co_return;
    ex_ = co_await asio::this_coro::executor;
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this](auto handler) { waiters_.emplace_back(std::move(handler)); }, asio::use_awaitable);
  }
  void open() {
    open_ = true;
    for (auto& waiter : waiters_) asio::post(ex_, std::move(waiter));
    waiters_.clear();
  }

 private:
  bool open_ = false;
  asio::any_io_executor ex_;
  std::vector<asio::any_completion_handler<void()>> waiters_;
};

// Not default-constructible, move-only: gather must cope with both.
struct Tagged {
  explicit Tagged(int v) : value(v) {}
  Tagged(Tagged&&) = default;
  Tagged& operator=(Tagged&&) = default;
  int value;
};

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::use_awaitable);
}

TEST(ParallelGather, RunsAllOpsAtOnceAndKeepsArgumentOrder) {
  constexpr int kOps = 4;
  int started = 0;
  Gate all_started;
  auto op = [&](int i) -> asio::awaitable<int> {
    if (++started == kOps) all_started.open();
    co_await all_started.wait();
    co_return i * 10;
  };
  std::vector<asio::awaitable<int>> ops;
  for (int i = 0; i < kOps; ++i) ops.push_back(op(i));
  EXPECT_EQ(run_sync(parallel_gather(std::move(ops))), (std::vector<int>{0, 10, 20, 30}));

  // Op i finishes only after op i+1 has: completion order is the reverse.
  std::vector<Gate> may_finish(kOps);
  std::vector<int> finished;
  auto reverse_op = [&](int i) -> asio::awaitable<Tagged> {
    if (i + 1 < kOps) co_await may_finish[i].wait();
    finished.push_back(i);
    if (i > 0) may_finish[i - 1].open();
    co_return Tagged(i + 100);
  };
  std::vector<asio::awaitable<Tagged>> tagged;
  for (int i = 0; i < kOps; ++i) tagged.push_back(reverse_op(i));
  auto results = run_sync(parallel_gather(std::move(tagged)));
  EXPECT_EQ(finished, (std::vector<int>{3, 2, 1, 0}));
  ASSERT_EQ(results.size(), 4u);
  for (int i = 0; i < kOps; ++i) EXPECT_EQ(results[i].value, i + 100);

  EXPECT_TRUE(run_sync(parallel_gather(std::vector<asio::awaitable<Tagged>>{})).empty());
  run_sync(parallel_gather(std::vector<asio::awaitable<void>>{}));
}

TEST(ParallelGather, FirstFailureInCompletionOrderAfterAllFinished) {
  bool late_failed = false;
  bool slow_done = false;
  auto late_failure = [&]() -> asio::awaitable<int> {
    for (int i = 0; i < 3; ++i)
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    late_failed = true;
    throw RuntimeError("late");
  };
  // A cancelled timer would throw operation_aborted and leave the flag unset.
  auto slow = [&]() -> asio::awaitable<int> {
    co_await sleep_for(5ms);
    slow_done = true;
    co_return 1;
  };
  auto early_failure = []() -> asio::awaitable<int> {
    throw ValueError("early");
    co_return 0;
  };
  std::vector<asio::awaitable<int>> ops;
  ops.push_back(late_failure());
  ops.push_back(slow());
  ops.push_back(early_failure());
  try {
    run_sync(parallel_gather(std::move(ops)));
    FAIL() << "expected ValueError";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "early");
  }
  EXPECT_TRUE(late_failed);
  EXPECT_TRUE(slow_done);

  // The same for ops without a result.
  int done = 0;
  auto ok = [&]() -> asio::awaitable<void> {
    co_await sleep_for(1ms);
    ++done;
  };
  auto bad = []() -> asio::awaitable<void> {
    throw KeyError("bad");
    co_return;
  };
  std::vector<asio::awaitable<void>> voids;
  voids.push_back(ok());
  voids.push_back(bad());
  voids.push_back(ok());
  EXPECT_THROW(run_sync(parallel_gather(std::move(voids))), KeyError);
  EXPECT_EQ(done, 2);
}

// Runs `aw` under a cancellation signal that is emitted once every ready
// handler has run (the ops are all waiting), and returns the failure.
template <class T>
std::exception_ptr cancel_while_waiting(asio::awaitable<T> aw) {
  asio::io_context context;
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(context, std::move(aw),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, auto...) {
                   done = true;
                   failure = e;
                 }));
  context.poll();
  EXPECT_FALSE(done);
  signal.emit(asio::cancellation_type::terminal);
  context.run();
  EXPECT_TRUE(done);
  return failure;
}

TEST(ParallelGather, CallerCancellationReachesEveryOpAndJoinsThem) {
  std::vector<bool> aborted(3, false);
  auto waiter = [&](int i) -> asio::awaitable<int> {
    try {
      co_await sleep_for(1h);
    } catch (const boost::system::system_error&) {
      aborted[i] = true;
      throw;
    }
    co_return i;
  };
  std::vector<asio::awaitable<int>> ops;
  for (int i = 0; i < 3; ++i) ops.push_back(waiter(i));
  EXPECT_TRUE(is_cancellation(cancel_while_waiting(parallel_gather(std::move(ops)))));
  EXPECT_EQ(aborted, (std::vector<bool>{true, true, true}));
}

// On a strand of an io_context run by several threads, the ops of one gather,
// and an op and its timer, finish on different threads. Each failure is read
// and freed by the caller; ThreadSanitizer reports it if a finishing op's
// thread can free an exception the caller has read without ordering.
TEST(ParallelGather, FailuresOnAStrandOfAThreadedContextAreReadAndFreedByTheCaller) {
  constexpr int kRounds = 300;
  asio::io_context io;
  auto fails = [](int n) -> asio::awaitable<int> {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    throw KeyError("missing " + std::to_string(n));
  };
  int read = 0;
  auto rounds = [&]() -> asio::awaitable<void> {
    for (int i = 0; i < kRounds; ++i) {
      std::vector<asio::awaitable<int>> ops;
      for (int op = 0; op < 4; ++op) ops.push_back(fails(i));
      try {
        co_await parallel_gather(std::move(ops));
      } catch (const KeyError& error) {
        read += std::string(error.what()) == "missing " + std::to_string(i);
      }
      try {
        co_await with_timeout(fails(i), 1h);
      } catch (const KeyError& error) {
        read += std::string(error.what()) == "missing " + std::to_string(i);
      }
    }
  };
  asio::co_spawn(asio::make_strand(io), rounds(), asio::detached);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&io] { io.run(); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(read, 2 * kRounds);
}

TEST(WithTimeout, TimesOutFailsFastAndReturnsValues) {
  bool op_cancelled = false;
  auto forever = [&]() -> asio::awaitable<int> {
    try {
      co_await sleep_for(1h);
    } catch (const boost::system::system_error&) {
      op_cancelled = true;
      throw;
    }
    co_return 1;
  };
  try {
    run_sync(with_timeout(forever(), 20ms));
    FAIL() << "expected TimeoutError";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "Operation timed out after 0.02 seconds");
  }
  EXPECT_TRUE(op_cancelled);

  // An immediate failure must not wait for the hour-long limit.
  auto fails = []() -> asio::awaitable<std::string> {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    throw ValueError("bad input");
  };
  EXPECT_THROW(run_sync(with_timeout(fails(), 1h)), ValueError);

  auto value = []() -> asio::awaitable<Tagged> {
    co_await sleep_for(1ms);
    co_return Tagged(7);
  };
  EXPECT_EQ(run_sync(with_timeout(value(), 1h)).value, 7);
  run_sync(with_timeout(sleep_for(1ms), std::chrono::duration<double>(3600.0)));
  EXPECT_THROW(run_sync(with_timeout(sleep_for(1h), std::chrono::duration<double>(0.01))),
               TimeoutError);
}

TEST(WithTimeout, CallerCancellationIsNotATimeout) {
  EXPECT_TRUE(is_cancellation(cancel_while_waiting(with_timeout(sleep_for(1h), 1h))));
}

TEST(Asyncify, RunsOnThePoolAndResumesOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  auto work = asyncify([](std::string& text, int n) {
    text += "!";  // changes the call's own copy only
    return std::make_pair(std::this_thread::get_id(), text + std::to_string(n));
  });
  std::string text = "hi";
  auto [worker, result] =
      run_sync([&]() -> asio::awaitable<std::pair<std::thread::id, std::string>> {
        auto out = co_await work(text, 3);
        EXPECT_EQ(std::this_thread::get_id(), caller);
        co_return out;
      }());
  EXPECT_NE(worker, caller);
  EXPECT_EQ(result, "hi!3");
  EXPECT_EQ(text, "hi");

  auto throws = asyncify([](int) -> int { throw KeyError("missing"); });
  EXPECT_THROW(run_sync(throws(1)), KeyError);
  int calls = 0;
  run_sync(asyncify([&calls] { ++calls; })());
  EXPECT_EQ(calls, 1);
}

// Callers on four threads share one asyncified callable; each result is
// built on a pool thread and read by its caller, so ThreadSanitizer sees any
// hand-over without ordering.
TEST(Asyncify, ServesCallersOnManyThreads) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 25;
  auto squares = asyncify([](std::vector<long> numbers) {
    for (long& n : numbers) n *= n;
    return numbers;
  });
  std::vector<long> sums(kThreads, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&squares, &sums, t] {
      const auto body = [&squares, t]() -> asio::awaitable<long> {
        long sum = 0;
        for (int i = 0; i < kCalls; ++i) {
          std::vector<long> numbers{t, i};
          const std::vector<long> squared = co_await squares(std::move(numbers));
          sum += squared.at(0) + squared.at(1);
        }
        co_return sum;
      };
      sums[t] = run_sync(body());
    });
  }
  for (auto& caller : callers) caller.join();
  long squares_below = 0;
  for (int i = 0; i < kCalls; ++i) squares_below += static_cast<long>(i) * i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(sums[t], kCalls * t * t + squares_below) << t;
}

// A failure made on the pool is read by its caller and then freed: the
// caller, not the pool thread, must hold the last reference to it, or
// ThreadSanitizer sees the pool free what the caller read without ordering
// (the exception's own count lives in the uninstrumented runtime).
TEST(Asyncify, CallersReadAndFreeTheirFailures) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  auto fails = asyncify([](int n) -> int { throw KeyError("missing " + std::to_string(n)); });
  std::vector<int> read(kThreads, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&fails, &read, t] {
      for (int i = 0; i < kCalls; ++i) {
        try {
          run_sync(fails(i));
        } catch (const KeyError& error) {
          read[t] += std::string(error.what()) == "missing " + std::to_string(i);
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(read[t], kCalls) << t;
}

// A one-shot latch for code on other threads. wait() gives up after two
// seconds (and says so), so a broken implementation fails instead of hanging.
class Latch {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 2s, [this] { return open_; });
  }
  bool is_open() {
    std::lock_guard lock(mutex_);
    return open_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A blocking call that hangs on the pool until the test lets it go. Its
// argument opens `job_gone_` when the pool drops the job that owns it.
class HungCall {
 public:
  std::shared_ptr<Latch> started = std::make_shared<Latch>();
  std::shared_ptr<Latch> let_go = std::make_shared<Latch>();
  std::shared_ptr<Latch> returned = std::make_shared<Latch>();

  asio::awaitable<std::string> start() const {
    struct OpensWhenDropped {
      std::shared_ptr<Latch> latch;
      ~OpensWhenDropped() { latch->open(); }
    };
    auto hang = asyncify([started = started, let_go = let_go,
                          returned = returned](const std::shared_ptr<OpensWhenDropped>&) {
      started->open();
      let_go->wait();
      returned->open();
      return std::string("late");
    });
    return hang(std::make_shared<OpensWhenDropped>(OpensWhenDropped{job_gone_}));
  }

  // Lets the call return, and waits until the pool has dropped its job: the
  // late result meets a caller that has left, and ASan sees what it touches.
  void finish() {
    let_go->open();
    EXPECT_TRUE(job_gone_->wait());
  }

 private:
  std::shared_ptr<Latch> job_gone_ = std::make_shared<Latch>();
};

TEST(Asyncify, TimeoutLeavesAHungCallAtOnce) {
  HungCall hung;
  const auto start = std::chrono::steady_clock::now();
  try {
    run_sync(with_timeout(hung.start(), 100ms));
    FAIL() << "expected TimeoutError";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "Operation timed out after 0.1 seconds");
  }
  EXPECT_FALSE(hung.returned->is_open());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  hung.finish();
}

// The caller runs on its own thread; the test cancels it through a signal
// emitted on the caller's executor while the call hangs on the pool.
TEST(Asyncify, CancellationFromAnotherThreadLeavesAHungCallAtOnce) {
  HungCall hung;
  asio::io_context io;
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  asio::co_spawn(io, hung.start(),
                 asio::bind_cancellation_slot(
                     signal.slot(), [&](std::exception_ptr e, std::string) { failure = e; }));
  std::thread caller([&io] { io.run(); });
  EXPECT_TRUE(hung.started->wait());
  asio::post(io, [&signal] { signal.emit(asio::cancellation_type::terminal); });
  caller.join();
  EXPECT_TRUE(is_cancellation(failure));
  EXPECT_FALSE(hung.returned->is_open());
  hung.finish();

  // A caller cancelled before it asks does not start the call.
  HungCall never;
  EXPECT_TRUE(is_cancellation(cancel_while_waiting([&]() -> asio::awaitable<std::string> {
    try {
      co_await sleep_for(1h);
    } catch (const boost::system::system_error&) {
    }
    co_return co_await never.start();
  }())));
  EXPECT_FALSE(never.started->is_open());
}

}  // namespace
}  // namespace zelq::core
