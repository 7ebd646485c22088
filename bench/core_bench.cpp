// Core benchmarks. Each reports a figure relative to a baseline of the same
// run, the fastest of its repetitions on each side:
//   ParseObject    ratio_vs_array: parse_json of an object of 80,000 keys
//                  (about 1 MB) against parse_json of an array of the same
//                  80,000 values (target: at most 3; an insert that scans
//                  the keys before it gives about 1,000).
//                  ratio_linear: the object of 160,000 keys against twice
//                  the time of 80,000 (1 means linear).
//   FormatPadding  ratio_vs_fill: py_format("{a:99999999}") against filling
//                  a string of the same length (target: at most 3).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"

namespace {

using zelq::core::Value;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// An object of `keys` distinct keys and, with `as_array`, an array of the
// same values instead.
std::string document(std::size_t keys, bool as_array) {
  std::string text(1, as_array ? '[' : '{');
  for (std::size_t i = 0; i < keys; ++i) {
    if (i > 0) text += ',';
    if (!as_array) text += "\"k" + std::to_string(i) + "\":";
    text += std::to_string(i);
  }
  text += as_array ? ']' : '}';
  return text;
}

Clock::duration time_parse(const std::string& text) {
  const auto start = Clock::now();
  Value value = zelq::core::parse_json(text, "bench", std::size_t{256} << 20);
  const auto elapsed = Clock::now() - start;
  benchmark::DoNotOptimize(value);
  if (value.is_discarded() || value.size() < 80'000) throw std::runtime_error("bad document");
  return elapsed;
}

void ParseObject(benchmark::State& state) {
  const std::string object = document(80'000, false);
  const std::string doubled = document(160'000, false);
  const std::string array = document(80'000, true);
  auto best_object = Clock::duration::max();
  auto best_doubled = Clock::duration::max();
  auto best_array = Clock::duration::max();
  for (auto _ : state) {
    const Clock::duration once = time_parse(object);
    best_object = std::min(best_object, once);
    best_doubled = std::min(best_doubled, time_parse(doubled));
    best_array = std::min(best_array, time_parse(array));
    state.SetIterationTime(seconds(once));
  }
  state.counters["ratio_vs_array"] = seconds(best_object) / seconds(best_array);
  state.counters["ratio_linear"] = seconds(best_doubled) / (2 * seconds(best_object));
  state.counters["object_kb"] = static_cast<double>(object.size()) / 1e3;
}
BENCHMARK(ParseObject)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);

void FormatPadding(benchmark::State& state) {
  constexpr std::size_t kWidth = 99'999'999;
  const Value kwargs = {{"a", "a"}};
  auto best_format = Clock::duration::max();
  auto best_fill = Clock::duration::max();
  for (auto _ : state) {
    auto start = Clock::now();
    std::string formatted = zelq::core::py_format("{a:99999999}", kwargs);
    const Clock::duration once = Clock::now() - start;
    benchmark::DoNotOptimize(formatted.data());
    if (formatted.size() != kWidth) throw std::runtime_error("bad width");
    start = Clock::now();
    std::string filled(kWidth, ' ');
    best_fill = std::min(best_fill, Clock::now() - start);
    benchmark::DoNotOptimize(filled.data());
    best_format = std::min(best_format, once);
    state.SetIterationTime(seconds(once));
  }
  state.counters["ratio_vs_fill"] = seconds(best_format) / seconds(best_fill);
}
BENCHMARK(FormatPadding)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
