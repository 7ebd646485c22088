#include "zelq/core/concurrency.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

#include <fmt/format.h>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

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

asio::awaitable<void> race_timer(asio::awaitable<void> op,
                                 std::chrono::steady_clock::duration limit, double limit_seconds) {
  auto ex = co_await asio::this_coro::executor;
  asio::steady_timer timer(ex, limit);
  auto [order, op_failure, timer_error] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(ex, std::move(op), asio::deferred), timer.async_wait(asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  settle_race(order[0], op_failure, timer_error, limit_seconds);
}

}  // namespace detail

asio::awaitable<void> parallel_gather(std::vector<asio::awaitable<void>> ops) {
  if (ops.empty()) co_return;
  auto ex = co_await asio::this_coro::executor;
  using Spawned =
      decltype(asio::co_spawn(ex, std::declval<asio::awaitable<void>>(), asio::deferred));
  std::vector<Spawned> group;
  group.reserve(ops.size());
  for (auto& op : ops) group.push_back(asio::co_spawn(ex, std::move(op), asio::deferred));
  auto [order, failures] = co_await asio::experimental::make_parallel_group(std::move(group))
                               .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
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
