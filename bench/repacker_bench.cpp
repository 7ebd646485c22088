// Repacker benchmarks. Each reports a ratio against a baseline measured in
// the same run, so the figure does not depend on the machine:
//   ContextRepack  ratio_vs_memcpy: context-mode repack of 10,000 chunks of
//                  1 KB against copying the same content bytes into a fresh
//                  buffer with memcpy (target: at most 3).
//                  result_allocations: allocations of 1 MiB or more per
//                  repack; 1 means the result text was allocated once, at
//                  its final size (a growing text would need several).
//   SidesRepack    ratio_vs_copy: sides ordering of 100,000 chunks against
//                  copying the list of chunk pointers.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/generation/repacker.hpp"

// Counts allocations at least this large: only the result text of a context
// repack reaches it (the copied list of 10,000 chunk pointers is 160 KB).
constexpr std::size_t kLargeAllocation = std::size_t{1} << 20;
std::atomic<long long> large_allocations{0};

void* operator new(std::size_t size) {
  if (size >= kLargeAllocation) large_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Out of line so GCC does not pair an inlined free() with a new-expression
// and warn about a mismatch: this pair is matched by construction.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }

namespace {

using zelq::core::ChunkPtr;
using zelq::generation::repacker::Ruzededo;
using Clock = std::chrono::steady_clock;

std::vector<ChunkPtr> make_chunks(std::size_t count, std::size_t size) {
  std::vector<ChunkPtr> chunks;
  chunks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    chunks.push_back(zelq::core::make_chunk(std::string(size, static_cast<char>('a' + i % 26))));
  }
  return chunks;
}

// Copies every content into one fresh buffer: the least a join can do.
std::unique_ptr<char[]> memcpy_contents(const std::vector<ChunkPtr>& chunks, std::size_t total) {
  std::unique_ptr<char[]> buffer(new char[total]);
  char* out = buffer.get();
  for (const ChunkPtr& chunk : chunks) {
    const std::string& text = chunk->text();
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  }
  benchmark::DoNotOptimize(buffer.get());
  benchmark::ClobberMemory();
  return buffer;
}

void ContextRepack(benchmark::State& state) {
  const std::vector<ChunkPtr> chunks = make_chunks(10'000, 1024);
  const std::size_t total = 10'000 * 1024;
  const Ruzededo repacker({.mode = "context"});
  Clock::duration repack_time{};
  Clock::duration memcpy_time{};
  long long repack_allocations = 0;
  bool repack_first = true;
  for (auto _ : state) {
    // Alternate the order so neither side always finds the sources in cache.
    for (int side = 0; side < 2; ++side) {
      const auto start = Clock::now();
      if ((side == 0) == repack_first) {
        const long long before = large_allocations.load(std::memory_order_relaxed);
        auto result = zelq::core::run_sync(repacker.repack(chunks));
        benchmark::DoNotOptimize(std::get<std::string>(result).data());
        repack_time += Clock::now() - start;
        repack_allocations += large_allocations.load(std::memory_order_relaxed) - before;
      } else {
        auto buffer = memcpy_contents(chunks, total);
        memcpy_time += Clock::now() - start;
      }
    }
    repack_first = !repack_first;
  }
  state.counters["ratio_vs_memcpy"] =
      std::chrono::duration<double>(repack_time) / std::chrono::duration<double>(memcpy_time);
  state.counters["result_allocations"] =
      static_cast<double>(repack_allocations) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}
BENCHMARK(ContextRepack)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void SidesRepack(benchmark::State& state) {
  const std::vector<ChunkPtr> chunks = make_chunks(100'000, 16);
  const Ruzededo repacker({.method = "sides"});
  Clock::duration repack_time{};
  Clock::duration copy_time{};
  for (auto _ : state) {
    auto start = Clock::now();
    {
      auto result = zelq::core::run_sync(repacker.repack(chunks));
      benchmark::DoNotOptimize(std::get<std::vector<ChunkPtr>>(result).data());
      repack_time += Clock::now() - start;
    }
    start = Clock::now();
    {
      std::vector<ChunkPtr> copy = chunks;
      benchmark::DoNotOptimize(copy.data());
      copy_time += Clock::now() - start;
    }
  }
  state.counters["ratio_vs_copy"] =
      std::chrono::duration<double>(repack_time) / std::chrono::duration<double>(copy_time);
}
BENCHMARK(SidesRepack)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
