#include "zelq/core/retry.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/attempt_filter.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/core/text_line.hpp"

namespace zelq::core {

namespace asio = boost::asio;

namespace {

void require_non_negative(std::string_view field, double value) {
  // Written so that NaN fails too.
  if (!(value >= 0)) {
    throw ValueError(fmt::format("RetryConfig.{} must be non-negative, got {}", field, value));
  }
}

bool fits_int(const Value& integer) {
  constexpr auto kMax = std::numeric_limits<int>::max();
  if (integer.is_number_unsigned()) return integer.get<std::uint64_t>() <= kMax;
  const auto number = integer.get<std::int64_t>();
  return number >= std::numeric_limits<int>::min() && number <= kMax;
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

Value retry_config_to_value(const RetryConfig& config) {
  return Value{{"max_retries", config.max_retries},
               {"base_delay", config.base_delay},
               {"max_delay", config.max_delay},
               {"backoff_factor", config.backoff_factor},
               {"timeout", config.timeout ? Value(*config.timeout) : Value(nullptr)}};
}

RetryConfig retry_config_from_value(const Value& value) {
  if (!value.is_object()) {
    throw ValueError("A retry_config must be an object, got " + py_repr(value) + ".");
  }
  RetryConfig config;
  for (const auto& [key, item] : value.items()) {
    auto bad = [&key = key, &item = item](std::string_view kind) {
      return ValueError("The retry_config entry " + py_repr(key) + " must be " +
                        std::string(kind) + ", got " + py_repr(item) + ".");
    };
    if (key == "max_retries") {
      if (!item.is_number_integer() || !fits_int(item)) throw bad("an integer");
      config.max_retries = item.get<int>();
    } else if (key == "timeout" && item.is_null()) {
      config.timeout = std::nullopt;
    } else if (key == "base_delay" || key == "max_delay" || key == "backoff_factor" ||
               key == "timeout") {
      if (!item.is_number()) throw bad(key == "timeout" ? "a number or null" : "a number");
      const double number = item.get<double>();
      if (key == "base_delay") config.base_delay = number;
      if (key == "max_delay") config.max_delay = number;
      if (key == "backoff_factor") config.backoff_factor = number;
      if (key == "timeout") config.timeout = number;
    } else {
      throw ValueError("Unknown retry_config entry " + py_repr(key) +
                       "; known entries: 'max_retries', 'base_delay', 'max_delay', "
                       "'backoff_factor', 'timeout'.");
    }
  }
  config.validate();
  return config;
}

namespace detail {

RetryNotice next_attempt_or_rethrow(const RetryConfig& config, int attempt,
                                    const std::exception_ptr& failure, bool cancelled,
                                    std::string_view previous_reason) {
  if (cancelled || is_cancellation(failure)) std::rethrow_exception(failure);
  // A new attempt would create a second run while the first may go on.
  if (config.run && config.run->blocks_new_create()) {
    std::rethrow_exception(config.run->left_going(failure));
  }
  if (is_never_retried(failure)) std::rethrow_exception(failure);
  if (config.retry_if && !config.retry_if(failure)) std::rethrow_exception(failure);
  // In 64 bits: max_retries may be INT_MAX ("retry until it works").
  const long long attempts = static_cast<long long>(config.max_retries) + 1;
  if (static_cast<long long>(attempt) + 1 >= attempts) {
    // The reason reaches the caller with the failure itself.
    warn(fmt::format("Attempt {}/{} failed. Giving up.", attempt + 1LL, attempts));
    std::rethrow_exception(failure);
  }
  std::optional<double> hinted;
  if (config.delay_hint) hinted = config.delay_hint(failure);
  RetryNotice notice{.attempt = attempt + 2LL,
                     .max_attempts = attempts,
                     .failure = failure,
                     .reason = one_line(describe_exception(failure)),
                     .delay = hinted && *hinted >= 0 ? *hinted : config.delay(attempt)};
  if (notice.reason == previous_reason) {
    warn(fmt::format("Attempt {}/{} failed for the same reason. Retrying in {} seconds.",
                     attempt + 1LL, attempts, notice.delay));
  } else {
    warn(fmt::format("Attempt {}/{} failed: {} Retrying in {} seconds.", attempt + 1LL, attempts,
                     as_sentence(notice.reason), notice.delay));
  }
  return notice;
}

asio::awaitable<void> back_off(const RetryConfig& config, RetryNotice notice) {
  if (config.before_retry) co_await config.before_retry(notice);
  co_await sleep_for(notice.delay);
}

}  // namespace detail

}  // namespace zelq::core
