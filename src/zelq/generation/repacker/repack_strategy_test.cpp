#include "zelq/generation/repacker/repack_strategy.hpp"

#include <atomic>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace zelq::generation::repacker {
namespace {

std::vector<int> iota(int n) {
  std::vector<int> items(static_cast<std::size_t>(n));
  std::iota(items.begin(), items.end(), 1);
  return items;
}

TEST(RepackStrategyTest, SidesPutsTheMostRelevantItemsAtBothEnds) {
  const SidesRepackStrategy<int> sides;
  const std::vector<std::vector<int>> expected = {
      {},
      {1},
      {2, 1},
      {1, 3, 2},
      {2, 4, 3, 1},
      {1, 3, 5, 4, 2},
      {2, 4, 6, 5, 3, 1},
      {1, 3, 5, 7, 6, 4, 2},
  };
  for (int n = 0; n < static_cast<int>(expected.size()); ++n) {
    EXPECT_EQ(sides.repack(iota(n)), expected[static_cast<std::size_t>(n)]) << "count " << n;
  }
  // Larger counts keep the rule: c1 first for odd counts, c2 first for even,
  // and the other one of the two last.
  const std::vector<int> odd = sides.repack(iota(101));
  EXPECT_EQ(odd.front(), 1);
  EXPECT_EQ(odd.back(), 2);
  EXPECT_EQ(odd[50], 101);
  const std::vector<int> even = sides.repack(iota(100));
  EXPECT_EQ(even.front(), 2);
  EXPECT_EQ(even.back(), 1);
  EXPECT_EQ(even[49], 100);
  // One object serves callers on several threads at once.
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int n = 0; n < 400; ++n) {
        const auto count = static_cast<std::size_t>(n) % expected.size();
        if (sides.repack(iota(static_cast<int>(count))) != expected[count]) ++wrong;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong, 0);
}

TEST(RepackStrategyTest, ForwardAndReverseNeverLookAtTheItems) {
  std::vector<std::string> items = {"a", "b", "c"};
  const std::string* storage = items.data();
  const std::vector<std::string> forward =
      ForwardRepackStrategy<std::string>().repack(std::move(items));
  EXPECT_EQ(forward, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(forward.data(), storage) << "forward must hand the list through uncopied";
  EXPECT_EQ(ReverseRepackStrategy<std::string>().repack(forward),
            (std::vector<std::string>{"c", "b", "a"}));
  EXPECT_TRUE(ReverseRepackStrategy<std::string>().repack({}).empty());

  // Move-only items work too: the strategies only move elements around.
  std::vector<std::unique_ptr<int>> owned;
  for (int i = 1; i <= 3; ++i) owned.push_back(std::make_unique<int>(i));
  const auto reordered = SidesRepackStrategy<std::unique_ptr<int>>().repack(std::move(owned));
  ASSERT_EQ(reordered.size(), 3u);
  EXPECT_EQ(*reordered[0], 1);
  EXPECT_EQ(*reordered[1], 3);
  EXPECT_EQ(*reordered[2], 2);
}

TEST(RepackStrategyTest, BaseRepackThrowsNotImplementedWithoutMessage) {
  struct Delegating : BaseRepackStrategy<int> {
    std::vector<int> repack(std::vector<int> items) const override {
      return BaseRepackStrategy<int>::repack(std::move(items));
    }
  };
  try {
    Delegating().repack({1});
    FAIL() << "expected NotImplementedError";
  } catch (const core::NotImplementedError& error) {
    EXPECT_STREQ(error.what(), "");
  }
}

}  // namespace
}  // namespace zelq::generation::repacker
