// What the deep researchers' benchmarks share: the CPU time of a call run
// next to a loopback server, and the ratio that compares a researcher with
// the service client it reads its stream through.
//
// ratio_vs_client: the thread CPU time of one research call divided by the
// thread CPU time the researcher's own service client needs to read the
// same answer from the same server without the researcher (no events, no
// output). Both sides run on the benchmark's thread, the server included,
// so the figure is the CPU per event of the researcher against its
// client's; the smallest of several runs of each side is taken, which the
// load of a shared machine disturbs least. Target: 1.2 at most.
#pragma once

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <limits>
#include <memory>
#include <utility>

#include <benchmark/benchmark.h>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include "bench_process.hpp"
#include "zelq/core/event.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace deep_research_bench {

using zelq::bench::thread_cpu_seconds;

// CPU seconds of this thread while `client(base_url, origin)` (an
// awaitable) runs against a loopback server answering with `handler`.
template <class Client>
double cpu_seconds(zelq::net::testing::LoopbackServer::Handler handler, Client client) {
  boost::asio::io_context io;
  zelq::net::testing::LoopbackServer server(io, std::move(handler));
  const double start = thread_cpu_seconds();
  benchmark::DoNotOptimize(
      zelq::net::testing::run_client(io, server, client(server.base_url(), server.origin())));
  return thread_cpu_seconds() - start;
}

// An emitter that counts the events it is sent into `received`, which
// must outlive it.
inline std::shared_ptr<zelq::core::EventEmitter> counting_emitter(std::size_t& received) {
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&received](const zelq::core::Event&) -> boost::asio::awaitable<void> {
    ++received;
    co_return;
  });
  return emitter;
}

// The smallest CPU time of `runs` runs of each side, as ratio_vs_client
// takes them: {researcher, client}.
struct Fastest {
  double researcher = std::numeric_limits<double>::infinity();
  double client = std::numeric_limits<double>::infinity();

  void add(double researcher_seconds, double client_seconds) {
    researcher = std::min(researcher, researcher_seconds);
    client = std::min(client, client_seconds);
  }
  double ratio() const { return researcher / client; }
};

}  // namespace deep_research_bench
