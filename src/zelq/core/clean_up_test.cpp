#include "zelq/core/clean_up.hpp"

#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include <functional>
#include <optional>

#include <gtest/gtest.h>
#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/channel.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;
using std::chrono_literals::operator""h;
using std::chrono_literals::operator""ms;

using Gate = asio::experimental::channel<void(boost::system::error_code)>;

// Runs `call` on `io` with `signal`'s slot as its cancellation slot and
// returns its failure (null when it returned); stops `io` once the call has
// ended, so that a clean-up left to end alone ends with it. Fails the test
// when the call has not ended within 20 seconds.
std::exception_ptr run(asio::io_context& io, asio::cancellation_signal& signal,
                       asio::awaitable<int> call) {
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(io, std::move(call),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, int) {
                   failure = e;
                   done = true;
                   io.stop();
                 }));
  io.run_for(std::chrono::seconds(20));
  EXPECT_TRUE(done) << "the call did not end";
  return failure;
}

asio::awaitable<int> fails() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  throw RuntimeError("malformed event");
}

// Waits until the caller's cancellation ends it; with `signal`, emits it
// once the wait has begun.
asio::awaitable<int> waits_for_cancellation(asio::cancellation_signal* signal = nullptr) {
  const auto executor = co_await asio::this_coro::executor;
  if (signal != nullptr) {
    asio::post(executor, [signal] { signal->emit(asio::cancellation_type::terminal); });
  }
  asio::steady_timer timer(executor, 1h);
  co_await timer.async_wait(asio::use_awaitable);
  co_return 1;
}

std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  }
}

// The clean-up of a failed op runs to its end through the caller's first
// cancellation, whenever it lands; after the one after it the call ends at
// once and leaves the clean-up to end alone. A caller that was cancelled gets a cancellation, never
// the op's own failure, which it might retry.
TEST(WithCleanUp, RunsThroughTheFirstCancellationAndEndsAtTheSecond) {
  struct Case {
    const char* name;
    bool op_cancelled;  // the first cancellation lands before the op fails
    int cancels_during;
    bool cleaned;  // the clean-up reached its end
    bool cancelled;
  };
  const Case cases[] = {
      {"failed, left alone", false, 0, true, false},
      {"failed, cancelled once during the clean-up", false, 1, true, true},
      {"failed, cancelled twice during the clean-up", false, 2, false, true},
      {"cancelled, left alone in the clean-up", true, 0, true, true},
      {"cancelled, cancelled again during the clean-up", true, 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    asio::cancellation_signal signal;
    Gate gate(io, 1);
    bool cleaned = false;
    // Once the clean-up waits, the caller is cancelled; the gate opens
    // after that, unless the clean-up is to be ended by a cancellation.
    auto clean_up = [&]() -> asio::awaitable<void> {
      asio::post(io, [&] {
        for (int i = 0; i < c.cancels_during; ++i) signal.emit(asio::cancellation_type::terminal);
        if (c.cleaned) gate.try_send(boost::system::error_code());
      });
      co_await gate.async_receive(asio::use_awaitable);
      cleaned = true;
    };
    auto op = c.op_cancelled ? waits_for_cancellation(&signal) : fails();
    const std::exception_ptr failure =
        run(io, signal, with_clean_up(std::move(op), clean_up, std::chrono::hours(1)));
    EXPECT_EQ(cleaned, c.cleaned);
    ASSERT_TRUE(failure);
    EXPECT_EQ(is_cancellation(failure), c.cancelled) << what_of(failure);
    if (!c.cancelled) {
      EXPECT_EQ(what_of(failure), "malformed event");
    }
  }
}

// with_timeout's deadline is a cancellation like the caller's: when it lands
// during the clean-up of an op that failed on its own, the clean-up still
// runs to its end and the caller gets its time-out.
TEST(WithCleanUp, ADeadlineDuringTheCleanUpLetsItFinish) {
  asio::io_context io;
  asio::cancellation_signal signal;
  constexpr auto kLimit = 100ms;
  bool cleaned = false;
  // Started after the deadline's timer, so it expires after it.
  auto clean_up = [&]() -> asio::awaitable<void> {
    asio::steady_timer timer(co_await asio::this_coro::executor, kLimit + 1ms);
    co_await timer.async_wait(asio::use_awaitable);
    cleaned = true;
  };
  auto attempt = with_clean_up(fails(), clean_up, std::chrono::hours(1));
  const std::exception_ptr failure = run(io, signal, with_timeout(std::move(attempt), kLimit));
  EXPECT_TRUE(cleaned);
  ASSERT_TRUE(failure);
  EXPECT_EQ(what_of(failure), "Operation timed out after 0.1 seconds");
}

// A clean-up that never ends is ended at its limit, the caller's first
// cancellation or not; the caller then gets what it would have got.
TEST(WithCleanUp, TheLimitEndsACleanUpThatHangs) {
  for (const int cancels : {0, 1}) {
    SCOPED_TRACE(cancels);
    asio::io_context io;
    asio::cancellation_signal signal;
    bool ended = false;
    auto clean_up = [&]() -> asio::awaitable<void> {
      if (cancels > 0) {
        asio::post(io, [&] { signal.emit(asio::cancellation_type::terminal); });
      }
      try {
        co_await waits_for_cancellation();
      } catch (const boost::system::system_error&) {
        ended = true;
        throw;
      }
    };
    const auto started = std::chrono::steady_clock::now();
    const std::exception_ptr failure = run(io, signal, with_clean_up(fails(), clean_up, 50ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 50ms);
    EXPECT_TRUE(ended);
    ASSERT_TRUE(failure);
    EXPECT_EQ(is_cancellation(failure), cancels > 0) << what_of(failure);
  }
}

asio::awaitable<int> first_of_gather(asio::awaitable<int> op) {
  std::vector<asio::awaitable<int>> ops;
  ops.push_back(std::move(op));
  const std::vector<int> results = co_await parallel_gather(std::move(ops));
  co_return results.at(0);
}

// Every cancellation of the caller passes through with_timeout and
// parallel_gather, not only the first: the second still ends the call while
// its clean-up, which ran through the first, goes on alone, also when the
// first was the deadline.
TEST(WithCleanUp, TheSecondCancellationPassesThroughTimeoutsAndGathers) {
  enum class Through { TIMEOUT, DEADLINE_THEN_CALLER, GATHER };
  constexpr auto kLimit = 100ms;
  for (const Through through : {Through::TIMEOUT, Through::DEADLINE_THEN_CALLER, Through::GATHER}) {
    SCOPED_TRACE(static_cast<int>(through));
    asio::io_context io;
    asio::cancellation_signal signal;
    bool ended = false;
    auto clean_up = [&]() -> asio::awaitable<void> {
      if (through == Through::DEADLINE_THEN_CALLER) {
        // Started after the deadline's timer, so it expires after it.
        asio::steady_timer timer(co_await asio::this_coro::executor, kLimit + 1ms);
        co_await timer.async_wait(asio::use_awaitable);
        asio::post(io, [&] { signal.emit(asio::cancellation_type::terminal); });
      } else {
        asio::post(io, [&] {
          signal.emit(asio::cancellation_type::terminal);
          signal.emit(asio::cancellation_type::terminal);
        });
      }
      try {
        co_await waits_for_cancellation();
      } catch (const boost::system::system_error&) {
        ended = true;
        throw;
      }
    };
    auto attempt = with_clean_up(fails(), clean_up, std::chrono::hours(1));
    asio::awaitable<int> call =
        through == Through::GATHER
            ? first_of_gather(std::move(attempt))
            : with_timeout(std::move(attempt),
                           through == Through::TIMEOUT ? std::chrono::hours(1) : kLimit);
    const std::exception_ptr failure = run(io, signal, std::move(call));
    EXPECT_FALSE(ended) << "the clean-up was stopped, not left to end alone";
    EXPECT_TRUE(failure);
    if (!failure) continue;
    if (through == Through::DEADLINE_THEN_CALLER) {
      EXPECT_EQ(what_of(failure), "Operation timed out after 0.1 seconds");
    } else {
      EXPECT_TRUE(is_cancellation(failure)) << what_of(failure);
    }
  }
}

// A wait that no cancellation reaches: the op of a call that takes a while
// to wind down after its first cancellation.
class DeafGate {
 public:
  asio::awaitable<void> wait() {
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this](auto handler) { waiter_.emplace(std::move(handler)); }, asio::use_awaitable);
  }
  void open(asio::io_context& io) {
    if (waiter_) asio::post(io, std::move(*waiter_));
    waiter_.reset();
  }
  bool waiting() const { return waiter_.has_value(); }

 private:
  std::optional<asio::any_completion_handler<void()>> waiter_;
};

// Every cancellation counts, also one that lands while the op still winds
// down from the first: after two before the clean-up starts, the call ends
// at once and the clean-up still starts, alone, through with_timeout and
// parallel_gather too; a deadline followed by the caller's cancellation
// counts as two.
TEST(WithCleanUp, TwoCancellationsBeforeTheCleanUpStartsEndItAtOnce) {
  enum class Through { ALONE, TIMEOUT, GATHER, DEADLINE_THEN_CALLER };
  struct Case {
    const char* name;
    Through through;
    int caller_stops;  // emitted while the op winds down from the first stop
    bool cleaned;  // the call waited for its clean-up to end
  };
  const Case cases[] = {
      {"alone, the first stop only", Through::ALONE, 0, true},
      {"alone, a second stop", Through::ALONE, 1, false},
      {"alone, a second and a third", Through::ALONE, 2, false},
      {"in with_timeout, a second stop", Through::TIMEOUT, 1, false},
      {"in parallel_gather, the first stop only", Through::GATHER, 0, true},
      {"in parallel_gather, a second stop", Through::GATHER, 1, false},
      {"the deadline, then the caller", Through::DEADLINE_THEN_CALLER, 1, false},
      {"the deadline alone", Through::DEADLINE_THEN_CALLER, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    asio::cancellation_signal signal;
    DeafGate winding_down;
    bool clean_up_started = false;
    bool clean_up_ended = false;
    const bool caller_starts = c.through != Through::DEADLINE_THEN_CALLER;
    auto op = [&]() -> asio::awaitable<int> {
      try {
        co_await waits_for_cancellation(caller_starts ? &signal : nullptr);
      } catch (const boost::system::system_error&) {
      }
      co_await asio::this_coro::throw_if_cancelled(false);
      co_await winding_down.wait();
      throw RuntimeError("stopped");
    };
    // A clean-up the call waits for passes quickly; one it leaves alone
    // could not end before the call does.
    auto clean_up = [&]() -> asio::awaitable<void> {
      clean_up_started = true;
      asio::steady_timer timer(co_await asio::this_coro::executor,
                               c.cleaned ? std::chrono::milliseconds(1) : std::chrono::hours(1));
      co_await timer.async_wait(asio::use_awaitable);
      clean_up_ended = true;
    };
    asio::awaitable<int> call = with_clean_up(op(), clean_up, std::chrono::hours(1));
    if (c.through == Through::GATHER) call = first_of_gather(std::move(call));
    if (c.through == Through::TIMEOUT) call = with_timeout(std::move(call), std::chrono::hours(1));
    if (c.through == Through::DEADLINE_THEN_CALLER) call = with_timeout(std::move(call), 1ms);
    // Once the op winds down (its first stop was the caller's, or the
    // deadline), the other stops land; then the op ends.
    std::function<void()> stop_then_open = [&] {
      if (!winding_down.waiting()) {
        asio::post(io, stop_then_open);
        return;
      }
      for (int i = 0; i < c.caller_stops; ++i) signal.emit(asio::cancellation_type::terminal);
      winding_down.open(io);
    };
    asio::post(io, stop_then_open);
    std::exception_ptr failure = run(io, signal, std::move(call));
    EXPECT_TRUE(clean_up_started);
    EXPECT_EQ(clean_up_ended, c.cleaned);
    ASSERT_TRUE(failure);
    if (c.through == Through::DEADLINE_THEN_CALLER) {
      EXPECT_EQ(what_of(failure), "Operation timed out after 0.001 seconds");
    } else {
      EXPECT_TRUE(is_cancellation(failure)) << what_of(failure);
    }
  }
}

}  // namespace
}  // namespace zelq::core
