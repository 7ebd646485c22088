// Reference formatter benchmarks. Each reports a figure relative to a
// baseline of the same run:
//   FormatReferences  ratio_per_entry_10k_vs_1k: time per entry of
//                     format_references_as_string over 10,000 rendered
//                     references (half of them repeats) against the same over
//                     1,000 (target: under 1.5; a quadratic de-duplication
//                     gives about 10).
//   DedupeLargeMapping ratio_linear_100k_vs_10k: format_references_as_string
//                     over two entries that are one mapping in opposite key
//                     orders (so they compare equal), of 100,000 keys
//                     against ten times the same of 10,000 (1 means linear;
//                     a lookup per key that scans gives about 10).
//   SimilaritySelect  ratio_vs_scoring: time of a similarity-based selection
//                     of 10,000 chunks (a fake invoker answering with
//                     precomputed 64-dimension embeddings) against the work
//                     it cannot avoid: the same two embedding calls and the
//                     cosine scores, made directly (target: under 1.5).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "linear_scaling.hpp"
#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/object_index.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/generation/reference_formatter.hpp"
#include "zelq/inference/testing/fake_em_invoker.hpp"

namespace {

using zelq::core::ChunkPtr;
using zelq::core::Value;
using zelq::inference::Embedding;
using zelq::inference::EMContent;
namespace rf = zelq::generation::reference_formatter;
using Clock = std::chrono::steady_clock;

// `count` Markdown links, each distinct one given twice, far apart.
std::vector<Value> rendered_references(std::size_t count) {
  std::vector<Value> entries;
  entries.reserve(count);
  const std::size_t distinct = count / 2;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i % distinct);
    entries.emplace_back("[Document " + n + "](https://example.com/docs/" + n + ".pdf)");
  }
  return entries;
}

double seconds_to_format(const std::vector<Value>& entries) {
  const auto start = Clock::now();
  std::string text = rf::format_references_as_string(entries);
  benchmark::DoNotOptimize(text);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void FormatReferences(benchmark::State& state) {
  const std::vector<Value> small = rendered_references(1'000);
  const std::vector<Value> large = rendered_references(10'000);
  double small_total = 0;
  double large_total = 0;
  for (auto _ : state) {
    small_total += seconds_to_format(small);
    const double large_seconds = seconds_to_format(large);
    large_total += large_seconds;
    state.SetIterationTime(large_seconds);
  }
  state.counters["ratio_per_entry_10k_vs_1k"] =
      (large_total / large.size()) / (small_total / small.size());
}
BENCHMARK(FormatReferences)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(50);

// Two entries: one mapping of `keys` keys, and the same in reverse order.
Clock::duration time_dedupe(std::size_t keys) {
  Value forward = Value::object();
  Value backward = Value::object();
  zelq::core::ObjectBuilder forward_entries(forward);  // Value's operator[] would scan
  zelq::core::ObjectBuilder backward_entries(backward);
  for (std::size_t i = 0; i < keys; ++i) forward_entries["key_" + std::to_string(i)] = i;
  for (std::size_t i = keys; i-- > 0;) backward_entries["key_" + std::to_string(i)] = i;
  const std::vector<Value> entries = {std::move(forward), std::move(backward)};
  const auto start = Clock::now();
  std::string text = rf::format_references_as_string(entries);
  const auto elapsed = Clock::now() - start;
  benchmark::DoNotOptimize(text.data());
  if (text.find("\n2. ") != std::string::npos) throw std::runtime_error("not deduplicated");
  return elapsed;
}

void DedupeLargeMapping(benchmark::State& state) {
  zelq::bench::measure_linear_scaling(state, time_dedupe);
}
BENCHMARK(DedupeLargeMapping)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// A deterministic vector of `dimensions` numbers for seed `seed`.
Embedding make_vector(std::size_t seed, std::size_t dimensions) {
  Embedding vector(dimensions);
  for (std::size_t d = 0; d < dimensions; ++d) {
    vector[d] = std::sin(static_cast<double>(seed * 31 + d * 7));
  }
  return vector;
}

// The embedding calls and the scoring of a selection, without the selection.
boost::asio::awaitable<void> score_directly(
    std::shared_ptr<zelq::inference::testing::FakeEMInvoker> em, std::vector<ChunkPtr> chunks) {
  Embedding query = co_await em->invoke(std::string("r"));
  std::vector<EMContent> contents;
  contents.reserve(chunks.size());
  for (const ChunkPtr& chunk : chunks) contents.push_back(chunk->content);
  std::vector<Embedding> vectors = co_await em->invoke(std::move(contents));
  std::vector<double> scores = zelq::core::cosine(query, vectors);
  benchmark::DoNotOptimize(scores);
}

void SimilaritySelect(benchmark::State& state) {
  constexpr std::size_t kChunks = 10'000;
  constexpr std::size_t kDimensions = 64;
  const Embedding query = make_vector(kChunks, kDimensions);
  std::vector<Embedding> vectors;
  std::vector<ChunkPtr> chunks;
  for (std::size_t i = 0; i < kChunks; ++i) {
    vectors.push_back(make_vector(i, kDimensions));
    chunks.push_back(zelq::core::make_chunk("chunk " + std::to_string(i)));
  }
  auto em = std::make_shared<zelq::inference::testing::FakeEMInvoker>(kDimensions);
  em->set_responder([&](const std::vector<EMContent>& contents) {
    return contents.size() == 1 ? std::vector<Embedding>{query} : vectors;
  });
  const rf::SimilarityBasedReferenceFormatter formatter(em, {.threshold = 0.0, .stringify = false});
  double selection = 0;
  double scoring = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    rf::ReferenceResult result = zelq::core::run_sync(formatter.format_reference("r", chunks));
    const double selection_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    benchmark::DoNotOptimize(result);
    start = Clock::now();
    zelq::core::run_sync(score_directly(em, chunks));
    scoring += std::chrono::duration<double>(Clock::now() - start).count();
    selection += selection_seconds;
    state.SetIterationTime(selection_seconds);
  }
  state.counters["ratio_vs_scoring"] = selection / scoring;
}
BENCHMARK(SimilaritySelect)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
