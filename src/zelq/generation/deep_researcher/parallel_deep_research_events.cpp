// The idle limit of ParallelDeepResearcher's event streams: one timer per
// stream that rings only when a read has waited the whole limit, rather
// than a timer raced against every read.
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"

namespace zelq::generation::deep_researcher::parallel_deep_research {

namespace asio = boost::asio;
namespace pp = providers::parallel;
using Clock = std::chrono::steady_clock;

namespace {

// When the read in progress began; nullopt between reads, while an event
// is handed on.
struct ReadClock {
  std::optional<Clock::time_point> reading_since;
};

using OnEvent = std::function<asio::awaitable<void>(pp::TaskRunEvent)>;

asio::awaitable<void> read_all(pp::TaskRunEventStream& events, const OnEvent& on_event,
                               ReadClock& clock) {
  for (;;) {
    clock.reading_since = Clock::now();
    std::optional<pp::TaskRunEvent> event = co_await events.next();
    clock.reading_since.reset();
    if (!event) co_return;
    co_await on_event(std::move(*event));
  }
}

// Completes once a read has waited `limit`. The timer is set again only
// when it rings early, at most once per limit.
asio::awaitable<void> ring_when_idle(const ReadClock& clock, Clock::duration limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (clock.reading_since && now - *clock.reading_since >= limit) co_return;
    timer.expires_at(clock.reading_since.value_or(now) + limit);
    co_await timer.async_wait(asio::use_awaitable);
  }
}

[[noreturn]] void throw_idle(double idle_timeout, const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(EventTimeoutError("No new event received from Parallel within " +
                                             pp::seconds_text(idle_timeout) + " seconds."));
  }
}

bool is_timeout(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const core::TimeoutError&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

ParallelDeepResearcher::IdleTimeoutEvents ParallelDeepResearcher::_iter_with_idle_timeout(
    std::unique_ptr<pp::TaskRunEventStream> events) const {
  return IdleTimeoutEvents(std::move(events), event_idle_timeout);
}

ParallelDeepResearcher::IdleTimeoutEvents::IdleTimeoutEvents(
    std::unique_ptr<pp::TaskRunEventStream> events, double idle_timeout)
    : events_(std::move(events)), idle_timeout_(idle_timeout) {}

void ParallelDeepResearcher::IdleTimeoutEvents::close() noexcept {
  if (!events_) return;
  events_->close();
  events_.reset();
}

asio::awaitable<void> ParallelDeepResearcher::IdleTimeoutEvents::for_each(OnEvent on_event) {
  if (!events_) co_return;
  ReadClock clock;
  auto ex = co_await asio::this_coro::executor;
  auto [order, read_failure, ring_failure] =
      co_await asio::experimental::make_parallel_group(
          asio::co_spawn(ex, read_all(*events_, on_event, clock), asio::deferred),
          asio::co_spawn(ex, ring_when_idle(clock, core::detail::timer_duration(idle_timeout_)),
                         asio::deferred))
          .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
  close();
  if (order[0] == 1 && !ring_failure) {
    throw_idle(idle_timeout_,
               std::make_exception_ptr(core::TimeoutError(
                   "Operation timed out after " + pp::seconds_text(idle_timeout_) + " seconds")));
  }
  if (read_failure) {
    if (is_timeout(read_failure)) throw_idle(idle_timeout_, read_failure);
    std::rethrow_exception(read_failure);
  }
  // The watch failed first (a cancellation); after a read that ended, the
  // watch's failure is only its own cancellation.
  if (order[0] == 1) std::rethrow_exception(ring_failure);
}

}  // namespace zelq::generation::deep_researcher::parallel_deep_research
