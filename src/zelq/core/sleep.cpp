#include "zelq/core/sleep.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"

namespace zelq::core {

namespace asio = boost::asio;

asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> sleep_for(double seconds) {
  return sleep_for(detail::timer_duration(seconds));
}

}  // namespace zelq::core
