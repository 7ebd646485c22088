// A check that a cost grows linearly: times one run at 10,000 items and one
// at 100,000, keeps the fastest of each, and reports their ratio over the
// tenfold size (about 1 when linear, about 10 when quadratic).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "zelq/core/object_index.hpp"
#include "zelq/core/value.hpp"

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

// Metadata of `keys` entries "key_0".."key_<keys-1>", and the list of those
// names in reverse order, as wide metadata for a component to look up.
struct ManyKeys {
  zelq::core::Value metadata = zelq::core::Value::object();
  std::vector<std::string> fields;
};

inline ManyKeys many_keys(std::size_t keys) {
  ManyKeys out;
  zelq::core::ObjectBuilder entries(out.metadata);  // Value's operator[] would scan
  for (std::size_t i = 0; i < keys; ++i) entries["key_" + std::to_string(i)] = i;
  for (std::size_t i = keys; i-- > 0;) out.fields.push_back("key_" + std::to_string(i));
  return out;
}

}  // namespace zelq::bench
