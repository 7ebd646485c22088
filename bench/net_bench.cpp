// Benchmarks of zelq::net.
//
// BM_SseParse: throughput of SseParser::feed on an event stream shaped like a
// model's streamed completion, fed in reads of 1 byte to 64 KiB. The counter
// ratio_vs_memchr is the parse time divided by the time of one memchr('\n')
// pass over the same bytes, both measured in the same run.
//
// The end-to-end figure (streamed tokens per second through an
// OpenAI-compatible provider over a loopback server) belongs next to that
// provider and is added with it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "zelq/net/sse_parser.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string make_stream(std::size_t size) {
  std::string out;
  out.reserve(size + 256);
  for (std::size_t i = 0; out.size() < size; ++i) {
    if (i % 64 == 0) out += ": keep-alive\n\n";
    out += "id: ";
    out += std::to_string(i);
    out += "\ndata: {\"id\":\"chatcmpl-1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"tok";
    out += std::to_string(i % 1000);
    out += "\"}}]}\r\n\r\n";
  }
  return out;
}

double seconds_of_memchr(const std::string& bytes) {
  auto start = Clock::now();
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  std::size_t lines = 0;
  while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
    ++lines;
    p = static_cast<const char*>(hit) + 1;
  }
  benchmark::DoNotOptimize(lines);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SseParse(benchmark::State& state) {
  const auto read_size = static_cast<std::size_t>(state.range(0));
  // Tiny reads cost a call per byte: a smaller stream keeps the run short.
  static const std::string big = make_stream(std::size_t{64} << 20);
  static const std::string small = make_stream(std::size_t{4} << 20);
  const std::string& bytes = read_size < 64 ? small : big;
  std::vector<zelq::net::SseEvent> events;
  double parse_seconds = 0;
  double memchr_seconds = 0;
  std::size_t dispatched = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    zelq::net::SseParser parser;
    for (std::size_t at = 0; at < bytes.size(); at += read_size) {
      parser.feed(std::string_view(bytes).substr(at, read_size), events);
      dispatched += events.size();
      events.clear();
    }
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    parse_seconds += elapsed;
    memchr_seconds += seconds_of_memchr(bytes);
  }
  benchmark::DoNotOptimize(dispatched);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["ratio_vs_memchr"] = parse_seconds / memchr_seconds;
}
BENCHMARK(BM_SseParse)
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->Arg(4096)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

}  // namespace

BENCHMARK_MAIN();
