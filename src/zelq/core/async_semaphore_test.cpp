#include "zelq/core/async_semaphore.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;
using Permit = AsyncSemaphore::Permit;

// Takes a permit, notes its number in `order`, and holds the permit until
// the test hands it back through `held`.
asio::awaitable<void> take(std::shared_ptr<AsyncSemaphore> semaphore, int number,
                           std::vector<int>& order, std::vector<Permit>& held) {
  Permit permit = co_await semaphore->acquire();
  order.push_back(number);
  held.push_back(std::move(permit));
}

TEST(AsyncSemaphoreTest, ServesWaitersInArrivalOrder) {
  asio::io_context io;
  auto semaphore = AsyncSemaphore::create(2);
  std::vector<int> order;
  std::vector<Permit> held;
  for (int i = 0; i < 6; ++i) asio::co_spawn(io, take(semaphore, i, order, held), asio::detached);
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
  EXPECT_EQ(semaphore->waiting(), 4u);
  EXPECT_EQ(semaphore->available(), 0u);

  // A newcomer queues behind the waiters even while a permit is in hand-over.
  held[1].release();
  asio::co_spawn(io, take(semaphore, 6, order, held), asio::detached);
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  held.erase(held.begin(), held.begin() + 2);  // releases 0 (1 is empty)
  held.erase(held.begin());                    // releases 2
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  held.clear();
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
  held.clear();
  EXPECT_EQ(semaphore->available(), 2u);
  EXPECT_EQ(semaphore->waiting(), 0u);
  EXPECT_THROW(AsyncSemaphore::create(0), core::ValueError);
}

// try_acquire takes a free permit only when nobody waits, and never queues.
TEST(AsyncSemaphoreTest, TryAcquireNeverOvertakesAWaiter) {
  asio::io_context io;
  auto semaphore = AsyncSemaphore::create(2);
  std::optional<Permit> first = semaphore->try_acquire();
  std::optional<Permit> second = semaphore->try_acquire();
  ASSERT_TRUE(first && *first && second && *second);
  EXPECT_EQ(semaphore->try_acquire(), std::nullopt);
  EXPECT_EQ(semaphore->waiting(), 0u);
  std::vector<int> order;
  std::vector<Permit> held;
  asio::co_spawn(io, take(semaphore, 0, order, held), asio::detached);
  io.poll();
  EXPECT_EQ(semaphore->waiting(), 1u);
  // The released permit is the waiter's, not the newcomer's.
  first->release();
  EXPECT_EQ(semaphore->try_acquire(), std::nullopt);
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0}));
  second.reset();
  std::optional<Permit> third = semaphore->try_acquire();
  EXPECT_TRUE(third && *third);
  EXPECT_EQ(semaphore->available(), 0u);
  third.reset();
  held.clear();
  EXPECT_EQ(semaphore->available(), 2u);
}

TEST(AsyncSemaphoreTest, CancelledWaiterLeavesTheQueue) {
  asio::io_context io;
  auto semaphore = AsyncSemaphore::create(1);
  std::vector<int> order;
  std::vector<Permit> held;
  asio::co_spawn(io, take(semaphore, 0, order, held), asio::detached);
  io.poll();
  // Waiter 1 is cancelled while it waits: it must leave the queue.
  asio::cancellation_signal cancel;
  std::vector<int> cancelled_order;
  std::vector<Permit> cancelled_held;
  bool aborted = false;
  asio::co_spawn(io, take(semaphore, 1, cancelled_order, cancelled_held),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error) {
                   try {
                     if (error) std::rethrow_exception(error);
                   } catch (const boost::system::system_error& e) {
                     aborted = e.code() == asio::error::operation_aborted;
                   }
                 }));
  asio::co_spawn(io, take(semaphore, 2, order, held), asio::detached);
  io.restart();
  io.poll();
  EXPECT_EQ(semaphore->waiting(), 2u);
  cancel.emit(asio::cancellation_type::terminal);
  io.restart();
  io.poll();
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(cancelled_order.empty());
  EXPECT_EQ(semaphore->waiting(), 1u);
  held.clear();
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{0, 2}));
  held.clear();
  EXPECT_EQ(semaphore->available(), 1u);

  // A grant to a waiter whose io_context never runs again (and is then
  // destroyed) is passed on, not lost.
  {
    std::vector<int> other_order;
    std::vector<Permit> other_held;
    asio::io_context other;
    asio::co_spawn(other, take(semaphore, 3, other_order, other_held), asio::detached);
    asio::co_spawn(other, take(semaphore, 4, other_order, other_held), asio::detached);
    other.poll();
    EXPECT_EQ(other_order, std::vector<int>{3});
    EXPECT_EQ(semaphore->waiting(), 1u);
    other_held.clear();
    EXPECT_EQ(semaphore->waiting(), 0u);
    EXPECT_EQ(semaphore->available(), 0u);
  }
  EXPECT_EQ(semaphore->available(), 1u);
}

// Many coroutines on four threads and on io_contexts of their own threads
// share one semaphore. The plain counter is guarded by the permits alone, so
// ThreadSanitizer reports a race if a permit is ever held twice or handed
// over without ordering.
TEST(AsyncSemaphoreTest, GuardsStateAcrossThreads) {
  constexpr int kPerExecutor = 50;
  auto semaphore = AsyncSemaphore::create(2);
  auto exclusive = AsyncSemaphore::create(1);
  std::atomic<int> holders{0};
  std::atomic<int> most_holders{0};
  long guarded = 0;
  const auto work = [&]() -> asio::awaitable<void> {
    for (int round = 0; round < 2; ++round) {
      Permit permit = co_await semaphore->acquire();
      const int now = ++holders;
      int seen = most_holders.load();
      while (now > seen && !most_holders.compare_exchange_weak(seen, now)) {
      }
      Permit only = co_await exclusive->acquire();
      ++guarded;
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      ++guarded;
      only.release();
      --holders;
    }
  };
  asio::thread_pool pool(4);
  std::vector<std::thread> loners;
  for (int i = 0; i < kPerExecutor; ++i) asio::co_spawn(pool, work, asio::detached);
  for (int t = 0; t < 2; ++t) {
    loners.emplace_back([&] {
      asio::io_context io;
      for (int i = 0; i < kPerExecutor; ++i) asio::co_spawn(io, work, asio::detached);
      io.run();
    });
  }
  for (auto& thread : loners) thread.join();
  pool.join();
  EXPECT_EQ(guarded, 3 * kPerExecutor * 2 * 2);
  EXPECT_LE(most_holders.load(), 2);
  EXPECT_EQ(semaphore->available(), 2u);
  EXPECT_EQ(exclusive->available(), 1u);
  EXPECT_EQ(semaphore->waiting(), 0u);
}

// Set by a thread that should stay inside a post to a ProbedExecutor until
// the waiter's io_context is gone (or 100 ms have passed).
thread_local const std::future<void>* hold_in_post = nullptr;

// Runs handlers on an io_context, never inline; a post from a thread with
// `hold_in_post` set returns only once that io_context is gone. It holds a
// releasing thread inside its hand-over while the waiter's thread finishes,
// which is otherwise a window of a few instructions. (A semaphore that hands
// over under its lock keeps the waiter from finishing meanwhile: the post
// then gives up after 100 ms.)
class ProbedExecutor {
 public:
  explicit ProbedExecutor(asio::io_context& io)
      : inner_(asio::require(io.get_executor(), asio::execution::blocking.never)) {}

  asio::execution_context& query(asio::execution::context_t) const noexcept {
    return asio::query(inner_, asio::execution::context);
  }
  static constexpr asio::execution::blocking_t query(asio::execution::blocking_t) noexcept {
    return asio::execution::blocking.never;
  }
  ProbedExecutor require(asio::execution::blocking_t::never_t) const { return *this; }
  template <class F>
  void execute(F f) const {
    inner_.execute(std::move(f));
    if (hold_in_post) hold_in_post->wait_for(std::chrono::milliseconds(100));
  }
  bool operator==(const ProbedExecutor&) const noexcept = default;

 private:
  decltype(asio::require(std::declval<asio::io_context::executor_type>(),
                         asio::execution::blocking.never)) inner_;
};

// A waiter on an io_context whose thread finishes right after the waiter has
// its permit: the releasing thread, still inside its hand-over, must not be
// left holding anything of that context (ASan/UBSan report it if it is).
TEST(AsyncSemaphoreTest, ReleaseOutlivesTheWaitersContext) {
  auto semaphore = AsyncSemaphore::create(1);
  Permit held = run_sync(semaphore->acquire());
  std::promise<void> context_gone;
  const std::future<void> gone = context_gone.get_future();
  std::thread waiter_thread([&] {
    {
      asio::io_context io;
      auto work = asio::make_work_guard(io);
      const auto wait = [&]() -> asio::awaitable<void> {
        Permit permit = co_await semaphore->acquire();
        work.reset();
      };
      asio::co_spawn(ProbedExecutor(io), wait, asio::detached);
      io.run();
    }
    context_gone.set_value();
  });
  while (semaphore->waiting() == 0) std::this_thread::yield();
  hold_in_post = &gone;
  held.release();
  hold_in_post = nullptr;
  waiter_thread.join();
  EXPECT_EQ(semaphore->available(), 1u);
}

}  // namespace
}  // namespace zelq::core
