// The provider registry changed and used from several threads at once (for
// ThreadSanitizer).
#include "zelq/providers/registry.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::providers {
namespace {

TEST(ProviderRegistry, ChangedAndUsedFromManyThreadsAtOnce) {
  register_lm_provider("scripted", inference::testing::scripted_provider());
  std::atomic<int> built{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    // Each changer owns one name, so its own registrations are never lost.
    threads.emplace_back([t] {
      const std::string name = "changing" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        register_lm_provider(name, inference::testing::scripted_provider());
        EXPECT_TRUE(unregister_lm_provider(name));
      }
    });
    threads.emplace_back([&built] {
      for (int i = 0; i < 200; ++i) {
        if (build_lm_invoker("scripted/m") != nullptr) ++built;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(built, 400);
  EXPECT_FALSE(unregister_lm_provider("changing0"));
}

}  // namespace
}  // namespace zelq::providers
