// A loopback server in a forked child process, for the benchmarks whose
// figures must not count the server's CPU time or memory.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::bench {

// Pins the calling process to CPU `cpu`.
inline void pin_to_cpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

struct ForkedServer {
  pid_t pid = -1;
  std::string base_url;

  // Kills the child and waits for it; nothing once it is stopped.
  void stop() noexcept {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

// Forks a child that serves `serve` on a LoopbackServer until it is killed or
// this process dies, pinned to `cpu` unless it is negative. Fork before this
// process starts threads.
inline ForkedServer fork_loopback_server(net::testing::LoopbackServer::Handler serve,
                                         int cpu = -1) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (cpu >= 0) pin_to_cpu(cpu);
    boost::asio::io_context io;
    net::testing::LoopbackServer loopback(io, std::move(serve));
    const std::string url = loopback.base_url();
    if (write(fds[1], url.data(), url.size()) < 0) _exit(1);
    close(fds[1]);
    io.run();
    _exit(0);
  }
  close(fds[1]);
  char buffer[128];
  const auto n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  if (n <= 0) throw std::runtime_error("server did not start");
  return ForkedServer{.pid = pid, .base_url = std::string(buffer, static_cast<std::size_t>(n))};
}

// The server of `Serve`, forked at the first call (before this process
// starts threads) and killed when the process exits: one per handler.
template <boost::asio::awaitable<void> (*Serve)(net::testing::Exchange&)>
const ForkedServer& forked_server() {
  static ForkedServer forked;
  if (forked.pid > 0) return forked;
  forked = fork_loopback_server(Serve);
  std::atexit([] { forked.stop(); });
  return forked;
}

}  // namespace zelq::bench
