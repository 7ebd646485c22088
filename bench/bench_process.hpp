// What the benchmarks that measure the process share: running a coroutine
// to its end on an io_context, this thread's CPU time, the resident set
// read from /proc/self/status, and measuring a call in a fresh process.
#pragma once

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

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

// The heap this process's allocator has handed out and not taken back.
inline std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Runs `work` in a forked child and returns what it returned (a plain
// value). Fork before this process starts threads.
template <class Work>
auto from_child(Work work) {
  using T = std::invoke_result_t<Work>;
  static_assert(std::is_trivially_copyable_v<T>);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    try {
      const T result = work();
      if (write(fds[1], &result, sizeof result) != sizeof result) _exit(1);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "measurement failed: %s\n", error.what());
      _exit(1);
    }
    _exit(0);
  }
  close(fds[1]);
  T result{};
  const auto n = read(fds[0], &result, sizeof result);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (n != sizeof result) throw std::runtime_error("the measuring process failed");
  return result;
}

// What one call in a fresh process did: the growth of the peak resident set
// over it, and whether it was refused.
struct Measured {
  double peak_growth_bytes = 0;
  int refused = 0;
};

// Measures `call(false)` in a fresh process, after `call(true)` as a
// warm-up.
template <class Call>
Measured run_in_child(Call call) {
  return from_child([&call] {
    Measured measured;
    call(/*warm_up=*/true);
    malloc_trim(0);
    reset_peak_rss();
    const std::size_t before_kb = status_kb("VmRSS:");
    try {
      call(/*warm_up=*/false);
    } catch (const std::exception& error) {
      measured.refused = 1;
      std::fprintf(stderr, "  refused: %.300s\n", error.what());
    }
    measured.peak_growth_bytes = static_cast<double>(status_kb("VmHWM:") - before_kb) * 1024.0;
    return measured;
  });
}

}  // namespace zelq::bench
