#include "zelq/core/run_ledger.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/clean_up.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/retry.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kEndpoint = "POST https://example.test/v1/responses";

// What the ledger tells after each way a create may go: whether another
// create may follow, and the fate a call that ends now reports.
TEST(RunLedger, AnAcceptedRunBlocksAnotherCreateWhileItMayGoOn) {
  struct Case {
    const char* name;
    bool continues_named;
    std::function<void(RunLedger&)> steps;
    bool blocks;
    RunFate fate;
  };
  const Case cases[] = {
      {"nothing sent", false, [](RunLedger&) {}, false, RunFate::not_created},
      {"refused", false, [](RunLedger& l) { l.refused(); }, false, RunFate::not_created},
      {"in flight", false, [](RunLedger&) {}, false, RunFate::not_named},
      {"accepted, never named", false, [](RunLedger& l) { l.accepted(); }, true,
       RunFate::not_named},
      {"named", false, [](RunLedger& l) { l.named("r1", "'r1'"); }, true, RunFate::going},
      {"named, followed by id", true, [](RunLedger& l) { l.named("r1", "'r1'"); }, false,
       RunFate::going},
      {"accepted, followed by id", true, [](RunLedger& l) { l.accepted(); }, true,
       RunFate::not_named},
      {"named, then ended", false,
       [](RunLedger& l) {
         l.named("r1", "'r1'");
         l.ended();
       },
       false, RunFate::ended},
      {"named, then cancelled", false,
       [](RunLedger& l) {
         l.named("r1", "'r1'");
         l.ended(true);
       },
       false, RunFate::cancelled},
      {"named, its cancel failed", false,
       [](RunLedger& l) {
         l.named("r1", "'r1'");
         l.cancel_failed();
       },
       true, RunFate::cancel_failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunLedger ledger(c.continues_named);
    if (std::string(c.name) != "nothing sent") ledger.creating(kEndpoint);
    c.steps(ledger);
    EXPECT_EQ(ledger.blocks_new_create(), c.blocks);
    EXPECT_EQ(ledger.fate(), c.fate);
    EXPECT_EQ(ledger.report().fate(), c.fate);
    if (c.blocks) {
      EXPECT_THROW(ledger.creating(kEndpoint), RunMayGoOnError);
      EXPECT_EQ(ledger.fate(), c.fate) << "a refused create changed the ledger";
    } else {
      EXPECT_NO_THROW(ledger.creating(kEndpoint));
    }
  }
}

// An attempt that leaves a run that may go on is never followed by another,
// whatever the policy says: the call ends with RunMayGoOnError (the
// attempt's failure nested) and logs no retry; a cancelled run lets the next
// attempt create again.
TEST(RunLedger, TheRetryLoopEndsACallWhoseRunMayGoOn) {
  struct Case {
    const char* name;
    std::function<void(RunLedger&)> leave;
    int attempts;
    bool left_going;
  };
  const Case cases[] = {
      {"accepted, never named", [](RunLedger& l) { l.accepted(); }, 1, true},
      {"named, cancel failed",
       [](RunLedger& l) {
         l.named("r1", "'r1'");
         l.cancel_failed();
       },
       1, true},
      {"named and cancelled",
       [](RunLedger& l) {
         l.named("r1", "'r1'");
         l.ended(true);
       },
       3, false},
      {"never accepted", [](RunLedger& l) { l.refused(); }, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto ledger = std::make_shared<RunLedger>();
    int attempts = 0;
    auto attempt = [&]() -> asio::awaitable<int> {
      ++attempts;
      ledger->creating(kEndpoint);
      c.leave(*ledger);
      throw RuntimeError("The stream broke.");
      co_return 0;
    };
    RetryConfig policy{.max_retries = 2, .base_delay = 0};
    policy.run = ledger;
    std::exception_ptr failure;
    try {
      run_sync(retry(attempt, policy));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(is_run_left_going(failure), c.left_going);
    if (!c.left_going) continue;
    EXPECT_THAT(describe_exception(failure), HasSubstr("no new run was started. The attempt "
                                                       "failed: The stream broke."));
    EXPECT_THAT(log.messages("retry", LogLevel::warn), IsEmpty());
    try {
      std::rethrow_exception(failure);
    } catch (const std::nested_exception& nested) {
      EXPECT_THROW(nested.rethrow_nested(), RuntimeError);
    }
  }
}

// A stop during the pause before the next attempt ends the call with a
// cancellation that says what became of the last attempt's run.
TEST(RunLedger, AStopDuringARetryPauseCarriesTheReport) {
  asio::io_context io;
  asio::cancellation_signal signal;
  auto ledger = std::make_shared<RunLedger>();
  auto attempt = [&]() -> asio::awaitable<int> {
    ledger->creating(kEndpoint);
    ledger->named("r1", "'r1'");
    ledger->ended(true);
    asio::post(io, [&] { signal.emit(asio::cancellation_type::terminal); });
    throw RuntimeError("The stream broke.");
    co_return 0;
  };
  RetryConfig policy{.max_retries = 2, .base_delay = 3600};
  policy.run = ledger;
  std::exception_ptr failure;
  asio::co_spawn(io, retry(attempt, policy),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, int) {
                   failure = e;
                 }));
  io.run_for(std::chrono::seconds(20));
  ASSERT_TRUE(is_cancellation(failure));
  const RunReport* report = run_report_of(failure);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->fate(), RunFate::cancelled);
}

// A first stop that lands while the run is being named waits for the name,
// then reaches the op; the report rides on the cancellation. A stop held
// past the limit reaches the op without a name. A second stop ends the call
// at once, and the op, left alone, still cancels the run once it is named.
TEST(RunLedger, AStopWaitsForTheRunToBeNamed) {
  enum class Then { NAMED, LIMIT, SECOND_STOP };
  for (const Then then : {Then::NAMED, Then::LIMIT, Then::SECOND_STOP}) {
    SCOPED_TRACE(static_cast<int>(then));
    asio::io_context io;
    asio::cancellation_signal signal;
    auto ledger = std::make_shared<RunLedger>();
    bool named_before_stop_reached = false;
    std::vector<std::string> cancelled;
    auto op = [&]() -> asio::awaitable<int> {
      ledger->creating(kEndpoint);
      ledger->accepted();
      asio::post(io, [&] {
        signal.emit(asio::cancellation_type::terminal);
        if (then == Then::NAMED) asio::post(io, [&] { ledger->named("r1", "'r1'"); });
        if (then == Then::SECOND_STOP) signal.emit(asio::cancellation_type::terminal);
      });
      asio::steady_timer wait(co_await asio::this_coro::executor, std::chrono::hours(1));
      co_await wait.async_wait(asio::use_awaitable);
      co_return 1;
    };
    auto cancel = [&]() -> asio::awaitable<void> {
      if (ledger->fate() != RunFate::going) co_return;
      named_before_stop_reached = !ledger->id().empty();
      cancelled.push_back(ledger->id());
      ledger->ended(true);
      co_return;
    };
    const auto limit = then == Then::LIMIT ? std::chrono::milliseconds(10) : std::chrono::hours(1);
    std::exception_ptr failure;
    bool done = false;
    asio::co_spawn(io, with_clean_up(op(), cancel, ledger, limit),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, int) {
                     failure = e;
                     done = true;
                     // The service names the run after the call has gone.
                     if (then == Then::SECOND_STOP) ledger->named("r1", "'r1'");
                   }));
    io.run_for(std::chrono::seconds(20));
    ASSERT_TRUE(done);
    EXPECT_TRUE(is_cancellation(failure));
    const RunReport* report = run_report_of(failure);
    ASSERT_NE(report, nullptr);
    if (then == Then::NAMED) {
      EXPECT_TRUE(named_before_stop_reached);
      EXPECT_EQ(report->fate(), RunFate::cancelled);
      EXPECT_EQ(report->shown_id(), "'r1'");
    } else {
      EXPECT_EQ(report->fate(), RunFate::not_named);
    }
    EXPECT_EQ(cancelled, then == Then::LIMIT ? std::vector<std::string>{}
                                             : std::vector<std::string>{"r1"});
  }
}

}  // namespace
}  // namespace zelq::core
