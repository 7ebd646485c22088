// The Python text forms from several threads at once (for ThreadSanitizer):
// they keep no state, so every thread gets what one thread alone gets.
#include "zelq/core/pytext.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace zelq::core {
namespace {

std::string all_forms(const Value& value) {
  return py_repr(value) + "|" + py_str(value) + "|" + py_ascii(value) + "|" + json_dumps(value) +
         "|" + py_format("{a!r:>12} {n:+,d} {f:.3e} {f:n} {u!a} {obj}", value) + "|" +
         py_strip("\u3000 " + value["u"].get<std::string>() + "\u2028");
}

TEST(PyText, ServesManyThreadsAtOnce) {
  const Value value = {{"a", "it's"},   {"n", 1234567},        {"f", 0.1},
                       {"u", "\xC3\xA9\xF0\x9F\x98\x80"}, {"obj", {{"k", {1.5, nullptr, true}}}}};
  const std::string expected = all_forms(value);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (all_forms(value) != expected) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace zelq::core
