// Waiting on the caller's executor.
#pragma once

#include <chrono>

#include <boost/asio/awaitable.hpp>

namespace zelq::core {

// Sleeps `seconds` (clamped to [0, a century]; NaN throws ValueError) on a
// steady_timer of the caller's executor. Cancellation of the awaiting coroutine ends the
// sleep at once with boost::system::system_error (operation_aborted).
boost::asio::awaitable<void> sleep_for(double seconds);

// The same for a chrono duration.
boost::asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration duration);

}  // namespace zelq::core
