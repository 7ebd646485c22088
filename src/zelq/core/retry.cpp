#include "zelq/core/retry.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"

namespace zelq::core {

namespace asio = boost::asio;

namespace {

void require_non_negative(std::string_view field, double value) {
  // Written so that NaN fails too.
  if (!(value >= 0)) {
    throw ValueError(fmt::format("RetryConfig.{} must be non-negative, got {}", field, value));
  }
}

void warn(const std::string& message) { LoggerManager().get_logger("retry")->warn(message); }

}  // namespace

void RetryConfig::validate() const {
  if (max_retries < 0) {
    throw ValueError(
        fmt::format("RetryConfig.max_retries must be non-negative, got {}", max_retries));
  }
  require_non_negative("base_delay", base_delay);
  require_non_negative("max_delay", max_delay);
  require_non_negative("backoff_factor", backoff_factor);
  if (timeout) require_non_negative("timeout", *timeout);
}

double RetryConfig::delay(int retry_index) const {
  // Without the early return, 0 * inf (a power that overflows) would be NaN.
  if (base_delay == 0) return 0;
  return std::min(max_delay, base_delay * std::pow(backoff_factor, retry_index));
}

namespace detail {

double retry_delay_or_rethrow(const RetryConfig& config, int attempt,
                              const std::exception_ptr& failure, bool cancelled) {
  if (cancelled || is_cancellation(failure)) std::rethrow_exception(failure);
  if (config.retry_if && !config.retry_if(failure)) std::rethrow_exception(failure);
  // In 64 bits: max_retries may be INT_MAX ("retry until it works").
  const long long attempts = static_cast<long long>(config.max_retries) + 1;
  if (static_cast<long long>(attempt) + 1 >= attempts) {
    warn(fmt::format("Attempt {}/{} failed: {}. Giving up.", attempt + 1LL, attempts,
                     describe_exception(failure)));
    std::rethrow_exception(failure);
  }
  std::optional<double> hinted;
  if (config.delay_hint) hinted = config.delay_hint(failure);
  const double delay = hinted && *hinted >= 0 ? *hinted : config.delay(attempt);
  warn(fmt::format("Attempt {}/{} failed: {}. Retrying in {} seconds.", attempt + 1LL, attempts,
                   describe_exception(failure), delay));
  return delay;
}

asio::awaitable<void> back_off(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, timer_duration(seconds));
  co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace detail

}  // namespace zelq::core
