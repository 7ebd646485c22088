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
    void* first = take_block(40'962);
    std::memset(first, 'x', 40'962);
    give_back_block(first);
    // Both round up to the same whole pages.
    void* second = take_block(41'000);
    EXPECT_EQ(second, first);
    // A read larger than the kept block gets one of its own.
    void* larger = take_block(kSpareBlockMax);
    EXPECT_NE(larger, first);
    std::memset(larger, 'y', kSpareBlockMax);
    give_back_block(second);
    // The larger block replaces the smaller one as the one kept.
    give_back_block(larger);
    EXPECT_EQ(take_block(50'000), larger);
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
    // Whatever it was given, the thread keeps within the bound.
    give_back_block(take_block(std::size_t{1} << 20));
    give_back_text(std::string(std::size_t{1} << 20, 'w'));
    EXPECT_EQ(kept_bytes(), 8'192u);
  });
}

TEST(SpareMemory, ABlockMayBeGivenBackOnAnotherThread) {
  void* block = nullptr;
  on_fresh_thread([&block] { block = take_block(50'000); });
  on_fresh_thread([block] {
    give_back_block(block);
    EXPECT_EQ(take_block(50'000), block);
    give_back_block(block);
  });
}

TEST(SpareMemory, ATextIsKeptWithItsSizeAndStaleBytes) {
  on_fresh_thread([] {
    EXPECT_TRUE(take_text().empty());
    std::string text(60'000, 'a');
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
