// Relevance filter benchmarks. Each reports a figure relative to a baseline
// of the same run:
//   SimilarityFilter  ratio_vs_matrix_read: time of filtering 10,000 text
//                     chunks with 1,536-dimensional embeddings from an
//                     embedder without latency, against reading the
//                     embedding matrix once (a plain sum over it).
//   LMFilterLatency   ratio_vs_latency: wall time of an LMRelevanceFilter
//                     call over 100 chunks (20 batches of 5) with 20 ms per
//                     model call, against that one latency, reached when all
//                     batches run at once (target: within 1.2).
//   LMFilterManyFields  ratio_linear_100k_vs_10k: an LMRelevanceFilter call
//                     over one chunk whose metadata has 100,000 keys, all of
//                     them configured fields in reverse order (the block and
//                     one argument per field), against ten times the same
//                     with 10,000 (1 means linear; about 10 when each lookup
//                     or insert scans).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "linear_scaling.hpp"
#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/generation/relevance_filter.hpp"
#include "zelq/inference/em_invoker.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace {

using zelq::core::ChunkPtr;
using zelq::core::Value;
using zelq::inference::Embedding;
using zelq::inference::testing::ScriptedLMInvoker;
using Clock = std::chrono::steady_clock;
namespace rf = zelq::generation::relevance_filter;

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Answers the query with a fixed vector and a list of contents with the
// matrix staged before the call (moved out, so the call itself costs
// nothing).
class StagedEMInvoker : public zelq::inference::BaseEMInvoker {
 public:
  explicit StagedEMInvoker(Embedding query) : query_(std::move(query)) {}
  void stage(std::vector<Embedding> matrix) { staged_ = std::move(matrix); }
  const std::vector<Embedding>& staged() const { return staged_; }

 protected:
  boost::asio::awaitable<std::vector<Embedding>> _invoke(
      std::vector<zelq::inference::EMContent> contents) override {
    if (contents.size() == 1) co_return std::vector<Embedding>{query_};
    co_return std::move(staged_);
  }

 private:
  Embedding query_;
  std::vector<Embedding> staged_;
};

std::vector<Embedding> random_matrix(std::size_t rows, std::size_t dimensions) {
  std::mt19937_64 random(42);
  std::normal_distribution<double> normal;
  std::vector<Embedding> matrix(rows, Embedding(dimensions));
  for (Embedding& row : matrix) {
    for (double& x : row) x = normal(random);
  }
  return matrix;
}

double sum_of(const std::vector<Embedding>& matrix) {
  double sum = 0.0;
  for (const Embedding& row : matrix) {
    for (double x : row) sum += x;
  }
  return sum;
}

void SimilarityFilter(benchmark::State& state) {
  constexpr std::size_t kChunks = 10'000;
  constexpr std::size_t kDimensions = 1'536;
  const std::vector<Embedding> matrix = random_matrix(kChunks, kDimensions);
  auto embedder = std::make_shared<StagedEMInvoker>(random_matrix(1, kDimensions).front());
  const rf::SimilarityBasedRelevanceFilter filter(embedder, 0.0);
  std::vector<ChunkPtr> chunks;
  for (std::size_t i = 0; i < kChunks; ++i) {
    chunks.push_back(zelq::core::make_chunk("chunk " + std::to_string(i)));
  }
  Clock::duration filtering{};
  Clock::duration reading{};
  std::size_t kept = 0;
  for (auto _ : state) {
    embedder->stage(matrix);
    const auto start = Clock::now();
    benchmark::DoNotOptimize(sum_of(embedder->staged()));
    const auto middle = Clock::now();
    kept += zelq::core::run_sync(filter.filter(chunks, "query")).size();
    const auto end = Clock::now();
    reading += middle - start;
    filtering += end - middle;
    state.SetIterationTime(seconds(end - middle));
  }
  state.counters["kept_per_call"] = static_cast<double>(kept) / state.iterations();
  state.counters["ratio_vs_matrix_read"] = seconds(filtering) / seconds(reading);
}
BENCHMARK(SimilarityFilter)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

// One verdict per "[CHUNK]" of the context, every other one relevant.
zelq::inference::LMOutput judge(const ScriptedLMInvoker::Request& request) {
  const std::string& context = request.prompt_variables.at("context").get_ref<const std::string&>();
  Value results = Value::array();
  for (auto at = context.find("[CHUNK]"); at != std::string::npos;
       at = context.find("[CHUNK]", at + 1)) {
    results.push_back({{"explanation", "-"}, {"is_relevant", results.size() % 2 == 0}});
  }
  zelq::inference::LMOutput output;
  output.set_structured_output({{"results", std::move(results)}});
  return output;
}

void LMFilterLatency(benchmark::State& state) {
  constexpr auto kLatency = std::chrono::milliseconds(20);
  std::vector<ChunkPtr> chunks;
  for (int i = 0; i < 100; ++i) chunks.push_back(zelq::core::make_chunk(std::string(300, 'x')));
  Clock::duration total{};
  for (auto _ : state) {
    // A fresh invoker per round keeps its request log short.
    auto lm = std::make_shared<ScriptedLMInvoker>();
    lm->set_latency(kLatency);
    lm->set_responder(judge);
    const rf::LMRelevanceFilter filter(lm);
    const auto start = Clock::now();
    auto kept = zelq::core::run_sync(filter.filter(chunks, "query"));
    const auto wall = Clock::now() - start;
    benchmark::DoNotOptimize(kept);
    total += wall;
    state.SetIterationTime(seconds(wall));
  }
  state.counters["ratio_vs_latency"] =
      seconds(total) / static_cast<double>(state.iterations()) / seconds(kLatency);
}
BENCHMARK(LMFilterLatency)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

Clock::duration time_many_fields(std::size_t keys) {
  auto [metadata, fields] = zelq::bench::many_keys(keys);
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder(judge);
  const rf::LMRelevanceFilter filter(
      lm,
      {.metadata = std::move(fields), .chunk_format = std::string("[CHUNK] {content}{metadata}")});
  const std::vector<ChunkPtr> chunks = {zelq::core::make_chunk("text", std::move(metadata))};
  const auto start = Clock::now();
  auto kept = zelq::core::run_sync(filter.filter(chunks, "query"));
  const auto elapsed = Clock::now() - start;
  benchmark::DoNotOptimize(kept);
  return elapsed;
}

void LMFilterManyFields(benchmark::State& state) {
  zelq::bench::measure_linear_scaling(state, time_many_fields);
}
BENCHMARK(LMFilterManyFields)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
