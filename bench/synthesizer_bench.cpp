// Response synthesizer benchmarks, against the scripted language-model
// invoker. Each reports a figure relative to a baseline of the same run:
//   MapReduceLatency  ratio_vs_ideal: wall time of a map-reduce synthesis of
//                     64 chunks in batches of 4, with 20 ms per model call,
//                     against the latency-bound ideal (map iterations + 1)
//                     x 20 ms, reached when every iteration's map calls run
//                     at once (target: within 1.1).
//   StuffOverhead     us_per_call: time of one synthesis through the stuff
//                     strategy with zero model latency, a 4 KB context filled
//                     into the preset stuff prompt (target: under 20 us);
//                     ratio_vs_py_format: the same against filling that
//                     template alone with py_format.
//   ManyPromptVariables ratio_linear_100k_vs_10k: one stuff synthesis given
//                     that many extra prompt variables, of which the prompt
//                     uses none (target: about 1, linear). The library's
//                     loggers are silenced meanwhile: it warns once per
//                     unused variable, and 330,000 lines on stderr would
//                     measure the terminal.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "linear_scaling.hpp"
#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/response_synthesizer.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/stuff_template.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace {

using zelq::core::ChunkPtr;
using zelq::core::Value;
using zelq::generation::response_synthesizer::ResponseSynthesizer;
using zelq::inference::LMOutput;
using zelq::inference::testing::ScriptedLMInvoker;
using Clock = std::chrono::steady_clock;
namespace preset_prompt = zelq::generation::response_synthesizer::preset_prompt;

std::vector<ChunkPtr> make_chunks(std::size_t count, std::size_t size) {
  std::vector<ChunkPtr> chunks;
  for (std::size_t i = 0; i < count; ++i) {
    chunks.push_back(zelq::core::make_chunk(std::string(size, static_cast<char>('a' + i % 26))));
  }
  return chunks;
}

// The preset stuff prompt, with "N/A" for a missing context.
zelq::inference::PromptBuilder stuff_prompt() {
  return zelq::inference::PromptBuilder(std::string(preset_prompt::STUFF_SYSTEM_TEMPLATE),
                                        "{query}", {{"context", "N/A"}});
}

// A scripted invoker that answers "ok".
std::shared_ptr<ScriptedLMInvoker> make_lm() {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder([](const ScriptedLMInvoker::Request&) {
    LMOutput output;
    output.add_text("ok");
    return output;
  });
  return lm;
}

// The number of map iterations map-reduce runs over `chunks` chunks.
int map_iterations(std::size_t chunks, std::size_t batch_size, int max_iterations) {
  int iterations = 0;
  while (iterations < max_iterations && chunks > batch_size) {
    chunks = (chunks + batch_size - 1) / batch_size;
    ++iterations;
  }
  return iterations;
}

void MapReduceLatency(benchmark::State& state) {
  constexpr auto kLatency = std::chrono::milliseconds(20);
  constexpr int kBatchSize = 4;
  constexpr int kMaxIterations = 3;
  const std::vector<ChunkPtr> chunks = make_chunks(64, 256);
  Clock::duration total{};
  for (auto _ : state) {
    auto lm = make_lm();
    lm->set_latency(kLatency);
    auto synthesizer = ResponseSynthesizer::map_reduce({.batch_size = kBatchSize,
                                                        .max_iterations = kMaxIterations,
                                                        .map_lm_invoker = lm,
                                                        .reduce_lm_invoker = lm,
                                                        .map_prompt_builder = stuff_prompt(),
                                                        .reduce_prompt_builder = stuff_prompt()});
    const auto start = Clock::now();
    Value answer = zelq::core::run_sync(synthesizer.synthesize({.query = "q", .chunks = chunks}));
    const auto wall = Clock::now() - start;
    benchmark::DoNotOptimize(answer);
    total += wall;
    state.SetIterationTime(std::chrono::duration<double>(wall).count());
  }
  const int iterations = map_iterations(chunks.size(), kBatchSize, kMaxIterations);
  const double ideal = std::chrono::duration<double>(kLatency).count() * (iterations + 1);
  const double wall = std::chrono::duration<double>(total).count() / state.iterations();
  state.counters["map_iterations"] = iterations;
  state.counters["ratio_vs_ideal"] = wall / ideal;
}
BENCHMARK(MapReduceLatency)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// Runs `calls` syntheses one after another on one executor.
boost::asio::awaitable<void> synthesize_many(const ResponseSynthesizer& synthesizer,
                                             std::vector<ChunkPtr> chunks, int calls) {
  for (int i = 0; i < calls; ++i) {
    // A named awaitable: GCC 12 destroys braced temporaries inside a
    // co_await expression twice.
    auto call = synthesizer.synthesize({.query = "q", .chunks = chunks});
    Value answer = co_await std::move(call);
    benchmark::DoNotOptimize(answer);
  }
}

void StuffOverhead(benchmark::State& state) {
  constexpr int kCalls = 200;
  const std::vector<ChunkPtr> chunks = make_chunks(8, 510);  // 4 KB with the delimiters
  std::string context;
  for (const ChunkPtr& chunk : chunks) context += (context.empty() ? "" : "\n\n") + chunk->text();
  const Value variables = {{"context", context}, {"query", "q"}};
  Clock::duration synthesis{};
  Clock::duration formatting{};
  for (auto _ : state) {
    // A fresh invoker per round keeps its request log short.
    auto synthesizer =
        ResponseSynthesizer::stuff({.lm_invoker = make_lm(), .prompt_builder = stuff_prompt()});
    const auto start = Clock::now();
    zelq::core::run_sync(synthesize_many(synthesizer, chunks, kCalls));
    const auto middle = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      std::string filled = zelq::core::py_format(preset_prompt::STUFF_SYSTEM_TEMPLATE, variables);
      benchmark::DoNotOptimize(filled);
    }
    const auto end = Clock::now();
    synthesis += middle - start;
    formatting += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(middle - start).count());
  }
  const double calls = static_cast<double>(state.iterations()) * kCalls;
  state.counters["us_per_call"] =
      std::chrono::duration<double, std::micro>(synthesis).count() / calls;
  state.counters["ratio_vs_py_format"] = std::chrono::duration<double>(synthesis).count() /
                                         std::chrono::duration<double>(formatting).count();
}
BENCHMARK(StuffOverhead)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(50);

// Silences every library logger while alive, then restores their level.
class QuietLoggers {
 public:
  QuietLoggers() { zelq::core::LoggerManager().set_level(zelq::core::LogLevel::off); }
  ~QuietLoggers() { zelq::core::LoggerManager().set_level(previous_); }
  QuietLoggers(const QuietLoggers&) = delete;
  QuietLoggers& operator=(const QuietLoggers&) = delete;

 private:
  zelq::core::LogLevel previous_ = zelq::core::LoggerManager().level();
};

void ManyPromptVariables(benchmark::State& state) {
  const QuietLoggers quiet;
  auto synthesizer =
      ResponseSynthesizer::stuff({.lm_invoker = make_lm(), .prompt_builder = stuff_prompt()});
  const std::vector<ChunkPtr> chunks = make_chunks(1, 100);
  auto time_at = [&](std::size_t n) {
    const Value kwargs = zelq::bench::many_keys(n).metadata;
    const auto start = Clock::now();
    auto call = synthesizer.synthesize({.query = "q", .chunks = chunks, .kwargs = kwargs});
    Value answer = zelq::core::run_sync(std::move(call));
    benchmark::DoNotOptimize(answer);
    return Clock::now() - start;
  };
  zelq::bench::measure_linear_scaling(state, time_at);
}
BENCHMARK(ManyPromptVariables)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
