// A check that a cost grows linearly: times one run at 10,000 items and one
// at 100,000, keeps the fastest of each, and reports their ratio over the
// tenfold size (about 1 when linear, about 10 when quadratic).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

#include <benchmark/benchmark.h>

namespace zelq::bench {

// `time_at(n)` runs the measured work once at size n and returns how long
// it took. Each iteration's time is that of the larger run.
template <class TimeAt>
void measure_linear_scaling(benchmark::State& state, TimeAt time_at) {
  using Duration = std::chrono::steady_clock::duration;
  auto seconds = [](Duration d) { return std::chrono::duration<double>(d).count(); };
  auto small = Duration::max();
  auto large = Duration::max();
  for (auto _ : state) {
    small = std::min<Duration>(small, time_at(std::size_t{10'000}));
    const Duration once = time_at(std::size_t{100'000});
    large = std::min(large, once);
    state.SetIterationTime(seconds(once));
  }
  state.counters["ratio_linear_100k_vs_10k"] = seconds(large) / (10 * seconds(small));
}

}  // namespace zelq::bench
