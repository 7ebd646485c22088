#include "zelq/generation/relevance_filter/similarity_based_relevance_filter.hpp"

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/fake_em_invoker.hpp"

namespace zelq::generation::relevance_filter {
namespace {

using core::ChunkPtr;
using inference::EMContent;
using inference::testing::FakeEMInvoker;

// Queries point along x; a chunk's similarity to them is given by its vector.
struct Scene {
  std::shared_ptr<FakeEMInvoker> em = std::make_shared<FakeEMInvoker>(2);
  std::map<std::string, ChunkPtr> chunk;
  std::vector<ChunkPtr> all;

  Scene() {
    const std::vector<std::pair<std::string, inference::Embedding>> vectors{
        {"one", {5, 0}},  {"zero", {0, 1}},      {"point8", {8, 6}}, {"point6", {3, 4}},
        {"null", {0, 0}}, {"negative", {-1, 1}}, {"q", {1, 0}},      {"other", {1, 0}}};
    for (const auto& [text, vector] : vectors) {
      em->set_vector(text, vector);
      chunk[text] = core::make_chunk(text);
    }
    all = {chunk["one"],    chunk["zero"],     chunk["point8"], core::make_chunk(core::Bytes{1}),
           chunk["point6"], chunk["negative"], chunk["null"]};
  }
  std::vector<ChunkPtr> pick(std::vector<std::string> names) {
    std::vector<ChunkPtr> picked;
    for (const auto& name : names) picked.push_back(chunk[name]);
    return picked;
  }
};

TEST(SimilarityBasedRelevanceFilterTest, KeepsTextChunksAtTheThresholdInInputOrder) {
  Scene s;
  SimilarityBasedRelevanceFilter filter(s.em, 0.6);
  EXPECT_EQ(core::run_sync(filter.filter(s.all, "q")), s.pick({"one", "point8", "point6"}));
  ASSERT_EQ(s.em->call_count(), 2u);
  EXPECT_EQ(s.em->calls()[0], (std::vector<EMContent>{"q"}));
  EXPECT_EQ(s.em->calls()[1],
            (std::vector<EMContent>{"one", "zero", "point8", "point6", "negative", "null"}));
  // Threshold 0 keeps similarity 0 but never a negative, NaN or bytes chunk.
  filter.threshold = 0.0;
  EXPECT_EQ(core::run_sync(filter.filter(s.all, "q")), s.pick({"one", "zero", "point8", "point6"}));
  filter.threshold = 1.0;
  EXPECT_EQ(core::run_sync(filter.filter(s.all, "q")), s.pick({"one"}));
  // No text chunks: no call at all.
  EXPECT_TRUE(core::run_sync(filter.filter({}, "new")).empty());
  EXPECT_TRUE(core::run_sync(filter.filter({core::make_chunk(core::Bytes{2})}, "new")).empty());
  EXPECT_EQ(s.em->call_count(), 4u);
}

TEST(SimilarityBasedRelevanceFilterTest, CachesTheLastQueryEmbeddingOnly) {
  Scene s;
  SimilarityBasedRelevanceFilter filter(s.em);
  const std::vector<ChunkPtr> chunks = s.pick({"one"});
  // Calls made by one run; `failing_call` (from 0 within the run) fails.
  const auto calls_of = [&](const char* query, std::optional<std::size_t> failing_call) {
    const std::size_t before = s.em->call_count();
    if (failing_call) {
      s.em->fail_at(before + *failing_call);
      EXPECT_THROW(core::run_sync(filter.filter(chunks, query)), core::RuntimeError) << query;
    } else {
      EXPECT_EQ(core::run_sync(filter.filter(chunks, query)), chunks) << query;
    }
    return s.em->call_count() - before;
  };
  std::vector<std::size_t> calls;
  for (const char* query : {"q", "q", "q ", "Q", "q", "other", "q"}) {
    calls.push_back(calls_of(query, std::nullopt));
  }
  EXPECT_EQ(calls, (std::vector<std::size_t>{2, 1, 2, 2, 2, 2, 2}));
  // A failed query embedding keeps the old entry; a failure after it keeps
  // the new one.
  EXPECT_EQ(calls_of("other", 0), 1u);
  EXPECT_EQ(calls_of("q", std::nullopt), 1u);
  EXPECT_EQ(calls_of("other", 1), 2u);
  EXPECT_EQ(calls_of("other", std::nullopt), 1u);
}

TEST(SimilarityBasedRelevanceFilterTest, CallsFromSeveralThreadsShareTheCache) {
  Scene s;
  SimilarityBasedRelevanceFilter filter(s.em, 0.6);
  const std::vector<ChunkPtr> chunks = s.pick({"one", "zero", "point8"});
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const char* query = (t + i) % 2 ? "q" : "other";
        if (core::run_sync(filter.filter(chunks, query)) != s.pick({"one", "point8"})) ++wrong;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong, 0);
}

TEST(SimilarityBasedRelevanceFilterTest, RejectsBadThresholdsInvokersAndVectorCounts) {
  auto em = std::make_shared<FakeEMInvoker>(4);
  for (double threshold : {-0.01, 1.01, std::nan("")}) {
    try {
      SimilarityBasedRelevanceFilter filter(em, threshold);
      FAIL() << threshold;
    } catch (const core::ValueError& error) {
      EXPECT_STREQ(error.what(), "The threshold must be between 0 and 1.");
    }
  }
  EXPECT_NO_THROW(SimilarityBasedRelevanceFilter(em, 0.0));
  EXPECT_NO_THROW(SimilarityBasedRelevanceFilter(em, 1.0));
  EXPECT_THROW(SimilarityBasedRelevanceFilter(nullptr), core::ValueError);

  em->set_responder([](const std::vector<EMContent>& contents) {
    return std::vector<inference::Embedding>(contents.size() == 1 ? 1 : contents.size() - 1,
                                             inference::Embedding{1, 0, 0, 0});
  });
  SimilarityBasedRelevanceFilter filter(em, 0.0);
  try {
    core::run_sync(filter.filter({core::make_chunk("a"), core::make_chunk("b")}, "q"));
    FAIL();
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "The embedding invoker returned 1 vector(s) for 2 text chunk(s).");
  }
}

}  // namespace
}  // namespace zelq::generation::relevance_filter
