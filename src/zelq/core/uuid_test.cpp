#include "zelq/core/uuid.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zelq::core {
namespace {

TEST(NewUuid, DistinctVersion4TextsFromManyThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(new_uuid());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::regex shape("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> distinct;
  for (const auto& list : made) {
    for (const auto& id : list) {
      EXPECT_TRUE(std::regex_match(id, shape)) << id;
      distinct.insert(id);
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace zelq::core
