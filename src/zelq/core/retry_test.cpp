#include "zelq/core/retry.hpp"

#include <chrono>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;
using std::chrono_literals::operator""h;

// The warnings of the "retry" logger, one "warning <message>\n" line each.
class RetryLog {
 public:
  std::string text() const {
    std::string out;
    for (const auto& m : capture_.messages("retry", core::LogLevel::warn))
      out += "warning " + m + "\n";
    return out;
  }

 private:
  LogCapture capture_;
};

RetryConfig quick(int max_retries) {
  return {.max_retries = max_retries, .base_delay = 0.001, .max_delay = 0.002};
}

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
  asio::steady_timer timer(co_await asio::this_coro::executor, d);
  co_await timer.async_wait(asio::use_awaitable);
}

struct Counter {
  int calls = 0;
};

TEST(Retry, RetriesWithTheSameArgumentObjects) {
  RetryLog log;
  std::vector<const void*> counters, shareds;
  auto flaky = [&](Counter& counter, const std::shared_ptr<int>& shared) -> asio::awaitable<int> {
    counters.push_back(&counter);
    shareds.push_back(&shared);
    if (++counter.calls == 1) throw RuntimeError("fail 1");
    // A server's page: one line in the warning, and no second full stop.
    if (counter.calls == 2) throw RuntimeError("<p>\n  fail   2.\n</p>\r\n.");
    co_return *shared + counter.calls;
  };
  std::vector<std::string> notices;
  RetryConfig config = quick(3);
  config.before_retry = [&notices](const RetryNotice& notice) -> asio::awaitable<void> {
    notices.push_back(std::to_string(notice.attempt) + "/" + std::to_string(notice.max_attempts) +
                      " " + notice.reason + " " + std::to_string(notice.delay));
    co_return;
  };
  Counter caller_counter;
  EXPECT_EQ(run_sync(retry(flaky, config, caller_counter, std::make_shared<int>(40))), 43);
  EXPECT_EQ(caller_counter.calls, 0);  // retry works on its own copy
  ASSERT_EQ(counters.size(), 3u);
  EXPECT_EQ(counters, std::vector<const void*>(3, counters[0]));
  EXPECT_EQ(shareds, std::vector<const void*>(3, shareds[0]));
  EXPECT_EQ(log.text(),
            "warning Attempt 1/4 failed: fail 1. Retrying in 0.001 seconds.\n"
            "warning Attempt 2/4 failed: <p> fail 2. </p> . Retrying in 0.002 seconds.\n");
  EXPECT_EQ(notices,
            (std::vector<std::string>{"2/4 fail 1 0.001000", "3/4 <p> fail 2. </p> . 0.002000"}));

  struct Service {
    asio::awaitable<void> bump(int& n) {
      if (++n < 2) throw KeyError("k");
      co_return;
    }
  };
  auto service = std::make_shared<Service>();
  int n = 0;
  run_sync([&]() -> asio::awaitable<void> {
    co_await retry(&Service::bump, quick(1), service, std::ref(n));
  }());
  EXPECT_EQ(n, 2);
}

TEST(Retry, GivesUpWithTheLastFailureUnchanged) {
  RetryLog log;
  int calls = 0;
  std::exception_ptr last;
  auto failing = [&]() -> asio::awaitable<std::string> {
    last = std::make_exception_ptr(RuntimeError("fail " + std::to_string(++calls)));
    std::rethrow_exception(last);
    co_return "";
  };
  try {
    run_sync(retry(failing, quick(2)));
    FAIL() << "expected RuntimeError";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(std::current_exception(), last);
    EXPECT_STREQ(e.what(), "fail 3");
  }
  EXPECT_EQ(calls, 3);
  // The last failure reaches the caller; its warning does not repeat it.
  EXPECT_EQ(log.text(),
            "warning Attempt 1/3 failed: fail 1. Retrying in 0.001 seconds.\n"
            "warning Attempt 2/3 failed: fail 2. Retrying in 0.002 seconds.\n"
            "warning Attempt 3/3 failed. Giving up.\n");

  // A reason that repeats the one before is not quoted again.
  auto same = []() -> asio::awaitable<void> {
    throw RuntimeError("HTTP 503: <html>\n Busy\n</html>");
    co_return;
  };
  RetryLog repeated;
  EXPECT_THROW(run_sync(retry(same, quick(2))), RuntimeError);
  EXPECT_EQ(repeated.text(),
            "warning Attempt 1/3 failed: HTTP 503: <html> Busy </html>. Retrying in 0.001 "
            "seconds.\n"
            "warning Attempt 2/3 failed for the same reason. Retrying in 0.002 seconds.\n"
            "warning Attempt 3/3 failed. Giving up.\n");

  calls = 0;
  EXPECT_THROW(run_sync(retry(failing, quick(0))), RuntimeError);
  EXPECT_EQ(calls, 1);
}

TEST(Retry, PredicateAndDelayHintDecidePerFailure) {
  RetryLog log;
  int calls = 0;
  auto failing = [&]() -> asio::awaitable<int> {
    ++calls;
    if (calls == 1) throw RuntimeError("busy");
    if (calls == 2) throw RuntimeError("slow down");
    throw KeyError("fatal");
    co_return 0;
  };
  RetryConfig config = quick(5);
  config.retry_if = [](const std::exception_ptr& failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const RuntimeError&) {
      return true;
    } catch (...) {
      return false;
    }
  };
  config.delay_hint = [](const std::exception_ptr& failure) -> std::optional<double> {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      if (std::string(e.what()) == "slow down") return 0.003;
    }
    return std::nullopt;
  };
  EXPECT_THROW(run_sync(retry(failing, config)), KeyError);
  EXPECT_EQ(calls, 3);
  // The rejected failure propagates unlogged; the hint replaces the back-off.
  EXPECT_EQ(log.text(),
            "warning Attempt 1/6 failed: busy. Retrying in 0.001 seconds.\n"
            "warning Attempt 2/6 failed: slow down. Retrying in 0.003 seconds.\n");
}

TEST(Retry, AttemptTimeoutIsAFailureThatIsRetried) {
  RetryLog log;
  int calls = 0;
  bool first_cancelled = false;
  auto slow_then_fast = [&]() -> asio::awaitable<std::string> {
    if (++calls == 1) {
      try {
        co_await sleep_for(1h);
      } catch (const boost::system::system_error&) {
        first_cancelled = true;
        throw;
      }
    }
    co_return "done";
  };
  auto config = quick(1);
  config.timeout = 0.02;
  EXPECT_EQ(run_sync(retry(slow_then_fast, config)), "done");
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(first_cancelled);
  EXPECT_EQ(log.text(),
            "warning Attempt 1/2 failed: Operation timed out after 0.02 seconds. "
            "Retrying in 0.001 seconds.\n");

  auto never = [] { return sleep_for(1h); };
  EXPECT_THROW(run_sync(retry(never, config)), TimeoutError);

  // A zero timeout means no limit.
  config.timeout = 0.0;
  auto brief = [] { return sleep_for(std::chrono::milliseconds(5)); };
  run_sync(retry(brief, config));
}

// Runs `aw` under a cancellation signal emitted once it is waiting, and
// returns its failure.
std::exception_ptr cancel_while_waiting(asio::awaitable<void> aw) {
  asio::io_context context;
  asio::cancellation_signal signal;
  std::exception_ptr failure;
  asio::co_spawn(
      context, std::move(aw),
      asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) { failure = e; }));
  context.poll();
  signal.emit(asio::cancellation_type::terminal);
  context.run();
  return failure;
}

std::exception_ptr failure_of(asio::awaitable<void> aw) {
  try {
    run_sync(std::move(aw));
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

void expect_operation_aborted(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  } catch (...) {
    ADD_FAILURE() << "expected operation_aborted";
  }
}

TEST(Retry, CancellationIsNeverRetried) {
  int calls = 0;
  auto aborted = [&]() -> asio::awaitable<void> {
    ++calls;
    throw boost::system::system_error(asio::error::operation_aborted);
    co_return;
  };
  expect_operation_aborted(failure_of(retry(aborted, quick(3))));
  EXPECT_EQ(calls, 1);

  // The caller's cancellation stops retrying even when the attempt turns
  // it into another error.
  calls = 0;
  auto interrupted = [&]() -> asio::awaitable<void> {
    ++calls;
    try {
      co_await sleep_for(1h);
    } catch (const boost::system::system_error&) {
      throw RuntimeError("interrupted");
    }
  };
  EXPECT_THROW(std::rethrow_exception(cancel_while_waiting(retry(interrupted, quick(3)))),
               RuntimeError);
  EXPECT_EQ(calls, 1);

  // Cancelled during the back-off sleep.
  calls = 0;
  auto fails = [&]() -> asio::awaitable<void> {
    ++calls;
    throw RuntimeError("no");
    co_return;
  };
  expect_operation_aborted(cancel_while_waiting(retry(fails, RetryConfig{.base_delay = 3600})));
  EXPECT_EQ(calls, 1);
}

TEST(RetryConfig, ValidatesAndComputesDelays) {
  int calls = 0;
  auto op = [&]() -> asio::awaitable<void> {
    ++calls;
    co_return;
  };
  auto error_of = [&](RetryConfig config) -> std::string {
    try {
      run_sync(retry(op, config));
    } catch (const ValueError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error_of({.max_retries = -1}), "RetryConfig.max_retries must be non-negative, got -1");
  EXPECT_EQ(error_of({.base_delay = -0.5}),
            "RetryConfig.base_delay must be non-negative, got -0.5");
  EXPECT_EQ(error_of({.max_delay = -1}), "RetryConfig.max_delay must be non-negative, got -1");
  EXPECT_EQ(error_of({.backoff_factor = -2}),
            "RetryConfig.backoff_factor must be non-negative, got -2");
  EXPECT_EQ(error_of({.timeout = -3.0}), "RetryConfig.timeout must be non-negative, got -3");
  EXPECT_EQ(calls, 0);

  RetryConfig config;
  std::vector<double> delays;
  for (int k = 0; k < 6; ++k) delays.push_back(config.delay(k));
  EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 10, 10}));
  EXPECT_EQ((RetryConfig{.base_delay = 0}).delay(5000), 0.0);

  // The largest retry count keeps retrying instead of wrapping around.
  LogCapture quiet;
  const RetryConfig forever{.max_retries = std::numeric_limits<int>::max()};
  const auto failure = std::make_exception_ptr(RuntimeError("no"));
  EXPECT_EQ(detail::next_attempt_or_rethrow(forever, 0, failure, false).delay, 1.0);
  const RetryNotice late = detail::next_attempt_or_rethrow(forever, 1000, failure, false);
  EXPECT_EQ(late.delay, 10.0);
  EXPECT_EQ(late.attempt, 1002);
  EXPECT_EQ(late.max_attempts, std::numeric_limits<int>::max() + 1LL);
  EXPECT_THROW(
      detail::next_attempt_or_rethrow(forever, std::numeric_limits<int>::max(), failure, false),
      RuntimeError);
}

TEST(RetryConfig, RoundTripsThroughItsConfigurationForm) {
  const RetryConfig config{.max_retries = 1, .base_delay = 0.5, .timeout = 3600};
  const Value value = retry_config_to_value(config);
  EXPECT_EQ(value.dump(),
            R"({"max_retries":1,"base_delay":0.5,"max_delay":10.0,"backoff_factor":2.0,)"
            R"("timeout":3600.0})");
  const RetryConfig back = retry_config_from_value(value);
  EXPECT_EQ(back.max_retries, 1);
  EXPECT_EQ(back.base_delay, 0.5);
  EXPECT_EQ(back.timeout, 3600.0);
  EXPECT_EQ(retry_config_to_value(RetryConfig{})["timeout"], nullptr);
  EXPECT_EQ(retry_config_from_value({{"timeout", nullptr}}).timeout, std::nullopt);
  EXPECT_EQ(retry_config_from_value(Value::object()).max_retries, 3);

  auto error_of = [](const Value& v) -> std::string {
    try {
      retry_config_from_value(v);
    } catch (const ValueError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(error_of({{"retries", 1}}),
            "Unknown retry_config entry 'retries'; known entries: 'max_retries', 'base_delay', "
            "'max_delay', 'backoff_factor', 'timeout'.");
  EXPECT_EQ(error_of({{"max_retries", 1.5}}),
            "The retry_config entry 'max_retries' must be an integer, got 1.5.");
  EXPECT_EQ(error_of({{"max_retries", 1LL << 40}}),
            "The retry_config entry 'max_retries' must be an integer, got 1099511627776.");
  EXPECT_EQ(error_of({{"timeout", "1"}}),
            "The retry_config entry 'timeout' must be a number or null, got '1'.");
  EXPECT_EQ(error_of({{"timeout", -1}}), "RetryConfig.timeout must be non-negative, got -1");
  EXPECT_EQ(error_of(Value::array()), "A retry_config must be an object, got [].");
}

}  // namespace
}  // namespace zelq::core
