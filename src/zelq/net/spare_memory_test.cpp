#include "zelq/net/detail/spare_memory.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace zelq::net::detail {
namespace {

// Each case runs on a thread of its own, so that it starts with nothing kept
// and what it keeps is freed when it ends (the sanitizer build reports any
// block lost).
template <class Body>
void on_fresh_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

TEST(SpareMemory, ABlockGivenBackServesTheNextReadOfNearlyItsSize) {
  on_fresh_thread([] {
    void* first = take_block(65'538);
    std::memset(first, 'x', 65'538);
    give_back_block(first);
    // Both round up to the same whole pages.
    void* second = take_block(65'600);
    EXPECT_EQ(second, first);
    // A read larger than the kept block gets one of its own.
    void* larger = take_block(200'000);
    EXPECT_NE(larger, first);
    std::memset(larger, 'y', 200'000);
    give_back_block(second);
    // The larger block replaces the smaller one as the one kept.
    give_back_block(larger);
    EXPECT_EQ(take_block(150'000), larger);
    give_back_block(larger);
  });
}

TEST(SpareMemory, SmallAndOutsizedBlocksAreNeverKept) {
  on_fresh_thread([] {
    void* kept = take_block(8'192);
    give_back_block(kept);
    // Neither a small block nor one over the limit displaces the one kept.
    give_back_block(take_block(100));
    void* outsized = take_block(kSpareBlockMax + 1);
    std::memset(outsized, 'z', kSpareBlockMax + 1);
    give_back_block(outsized);
    EXPECT_EQ(take_block(4'096), kept);
    give_back_block(kept);
    give_back_block(nullptr);
  });
}

TEST(SpareMemory, ABlockMayBeGivenBackOnAnotherThread) {
  void* block = nullptr;
  on_fresh_thread([&block] { block = take_block(70'000); });
  on_fresh_thread([block] {
    give_back_block(block);
    EXPECT_EQ(take_block(70'000), block);
    give_back_block(block);
  });
}

TEST(SpareMemory, ATextIsKeptWithItsSizeAndStaleBytes) {
  on_fresh_thread([] {
    EXPECT_TRUE(take_text().empty());
    std::string text(100'000, 'a');
    text.resize(1'000);
    const char* data = text.data();
    give_back_text(std::move(text));
    std::string taken = take_text();
    EXPECT_EQ(taken.data(), data);
    EXPECT_EQ(taken, std::string(1'000, 'a'));
    // Only one is kept, and a short one never is.
    give_back_text(std::move(taken));
    give_back_text(std::string(kSpareBlockMin, 'b'));
    EXPECT_EQ(take_text().data(), data);
    give_back_text(std::string(10, 'c'));
    EXPECT_TRUE(take_text().empty());
    give_back_text(std::string(kSpareBlockMax + 1, 'd'));
    EXPECT_TRUE(take_text().empty());
  });
}

}  // namespace
}  // namespace zelq::net::detail
