// Context enricher benchmark. Reports ratios measured in the same run, so
// the figures do not depend on the machine:
//   EnrichChunks  Enriches 10,000 chunks with ten metadata fields each
//                 (texts, numbers, a flag, a blank, a missing field, a list, a
//                 nested mapping, a list of mappings and a small bytes value),
//                 one of which holds a 1 MB bytes value.
//                 ratio_linear: time for twice the input (20,000 chunks, two
//                 1 MB values) over twice the time for the input; 1 means
//                 linear in the input size (target: at most 1.3).
//                 ratio_vs_memcpy: enrichment against copying the bytes of
//                 the enriched contents into a fresh buffer with memcpy.
//   EnrichManyFields  ratio_linear_100k_vs_10k: one chunk whose metadata has
//                 100,000 keys, all of them configured fields in reverse
//                 order, against ten times the same with 10,000 (1 means
//                 linear; a lookup per field that scans gives about 10).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "linear_scaling.hpp"
#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/generation/context_enricher.hpp"

namespace {

using zelq::core::Bytes;
using zelq::core::ChunkPtr;
using zelq::core::Value;
using zelq::generation::context_enricher::MetadataContextEnricher;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunks = 10'000;
constexpr std::size_t kLargeBytes = 1 << 20;

const std::vector<std::string> kFields{"title",  "page", "score",  "draft",    "note",
                                       "absent", "tags", "author", "sections", "blob"};

// The time of one enrich call over 10,000 chunks is the benchmark's own time.
// `count` chunks; every 10,000th holds the 1 MB bytes value.
std::vector<ChunkPtr> make_chunks(std::size_t count) {
  std::vector<ChunkPtr> chunks;
  chunks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Value metadata = {
        {"title", "Chunk " + std::to_string(i)},
        {"page", static_cast<long long>(i)},
        {"score", 0.5 + static_cast<double>(i % 100) / 1000.0},
        {"draft", i % 2 == 0},
        {"note", "   "},
        {"tags", {"bees", "dance", "", nullptr}},
        {"author", {{"name", "Ann"}, {"affiliations", {"Hive Lab", "Field Station"}}}},
        {"sections", {{{"heading", "Intro"}, {"pages", {1, 2}}}, {{"heading", "Body"}}}},
        {"blob", zelq::core::bytes_value(i % kChunks == 0 ? Bytes(kLargeBytes, 0x5a)
                                                          : Bytes(24, static_cast<uint8_t>(i)))},
        {"unused", "not rendered"}};
    chunks.push_back(zelq::core::make_chunk(
        "A forager returns to the hive and dances; the angle of the run encodes direction.",
        std::move(metadata)));
  }
  return chunks;
}

Clock::duration time_enrich(const MetadataContextEnricher& enricher, std::size_t count,
                            std::size_t* output_bytes) {
  std::vector<ChunkPtr> chunks = make_chunks(count);
  const auto start = Clock::now();
  auto result = zelq::core::run_sync(enricher.enrich(chunks));
  const auto elapsed = Clock::now() - start;
  benchmark::DoNotOptimize(result.data());
  *output_bytes = 0;
  for (const ChunkPtr& chunk : chunks) *output_bytes += chunk->text().size();
  return elapsed;
}

Clock::duration time_memcpy(std::size_t bytes) {
  std::string source(bytes, 'x');
  const auto start = Clock::now();
  std::unique_ptr<char[]> target(new char[bytes]);
  std::memcpy(target.get(), source.data(), bytes);
  benchmark::DoNotOptimize(target.get());
  benchmark::ClobberMemory();
  return Clock::now() - start;
}

void EnrichChunks(benchmark::State& state) {
  const MetadataContextEnricher enricher(kFields);
  Clock::duration single{};
  Clock::duration doubled{};
  Clock::duration copy{};
  std::size_t output_bytes = 0;
  for (auto _ : state) {
    const Clock::duration once = time_enrich(enricher, kChunks, &output_bytes);
    single += once;
    std::size_t doubled_bytes = 0;
    doubled += time_enrich(enricher, 2 * kChunks, &doubled_bytes);
    copy += time_memcpy(output_bytes);
    state.SetIterationTime(std::chrono::duration<double>(once).count());
  }
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  state.counters["ratio_linear"] = seconds(doubled) / (2 * seconds(single));
  state.counters["ratio_vs_memcpy"] = seconds(single) / seconds(copy);
  state.counters["output_mb"] = static_cast<double>(output_bytes) / 1e6;
}
BENCHMARK(EnrichChunks)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

Clock::duration time_many_fields(std::size_t keys) {
  auto [metadata, fields] = zelq::bench::many_keys(keys);
  const MetadataContextEnricher enricher(std::move(fields));
  std::vector<ChunkPtr> chunks = {zelq::core::make_chunk("text", std::move(metadata))};
  const auto start = Clock::now();
  auto result = zelq::core::run_sync(enricher.enrich(chunks));
  const auto elapsed = Clock::now() - start;
  benchmark::DoNotOptimize(result.data());
  return elapsed;
}

void EnrichManyFields(benchmark::State& state) {
  zelq::bench::measure_linear_scaling(state, time_many_fields);
}
BENCHMARK(EnrichManyFields)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
