// What the benchmarks that measure the process share: running a coroutine
// to its end on an io_context, this thread's CPU time, and the resident set
// read from /proc/self/status.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <cstddef>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelq::bench {

// Runs `work` on `io` until it ends and returns its result (or rethrows).
template <class T>
T run(boost::asio::io_context& io, boost::asio::awaitable<T> work) {
  io.restart();
  auto future = boost::asio::co_spawn(io, std::move(work), boost::asio::use_future);
  io.run();
  return future.get();
}

// The CPU time (user and system) this thread has used, in seconds.
inline double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The figure of `field` ("VmRSS:", "VmHWM:") in /proc/self/status, in KiB.
inline std::size_t status_kb(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stoul(line.substr(field.size() + 1));
  }
  throw std::runtime_error("no " + std::string(field) + " in /proc/self/status");
}

// Forgets the peak so far: VmHWM restarts from the present resident size.
inline void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace zelq::bench
