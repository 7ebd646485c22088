#include "zelq/generation/relevance_filter/similarity_based_relevance_filter.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
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

std::string text_of(const EMContent& content) { return std::get<std::string>(content); }

std::vector<std::string> texts_of(const std::vector<EMContent>& contents) {
  std::vector<std::string> texts;
  for (const auto& content : contents) texts.push_back(text_of(content));
  return texts;
}

// The query "q" points along x; each chunk's similarity is its name's.
struct Scene {
  std::shared_ptr<FakeEMInvoker> em = std::make_shared<FakeEMInvoker>(2);
  ChunkPtr one = core::make_chunk("one");
  ChunkPtr zero = core::make_chunk("zero");
  ChunkPtr point8 = core::make_chunk("point8");
  ChunkPtr point6 = core::make_chunk("point6");
  ChunkPtr bytes = core::make_chunk(core::Bytes{1, 2});
  ChunkPtr negative = core::make_chunk("negative");
  ChunkPtr null_vector = core::make_chunk("null");

  Scene() {
    for (const char* query : {"q", "q ", "Q", "other"}) em->set_vector(query, {1, 0});
    em->set_vector("one", {5, 0});
    em->set_vector("zero", {0, 1});
    em->set_vector("point8", {8, 6});
    em->set_vector("point6", {3, 4});  // exactly 0.6
    em->set_vector("negative", {-1, 1});
    em->set_vector("null", {0, 0});
  }
  std::vector<ChunkPtr> all() const {
    return {one, zero, point8, bytes, point6, negative, null_vector};
  }
};

TEST(SimilarityBasedRelevanceFilterTest, KeepsTextChunksAtTheThresholdInInputOrder) {
  Scene s;
  SimilarityBasedRelevanceFilter filter(s.em, 0.6);
  EXPECT_EQ(core::run_sync(filter.filter(s.all(), "q")),
            (std::vector<ChunkPtr>{s.one, s.point8, s.point6}));
  ASSERT_EQ(s.em->call_count(), 2u);
  EXPECT_EQ(texts_of(s.em->calls()[0]), (std::vector<std::string>{"q"}));
  EXPECT_EQ(texts_of(s.em->calls()[1]),
            (std::vector<std::string>{"one", "zero", "point8", "point6", "negative", "null"}));

  // Threshold 0 keeps similarity 0 but never a negative, NaN or bytes chunk.
  filter.threshold = 0.0;
  EXPECT_EQ(core::run_sync(filter.filter(s.all(), "q")),
            (std::vector<ChunkPtr>{s.one, s.zero, s.point8, s.point6}));
  filter.threshold = 1.0;
  EXPECT_EQ(core::run_sync(filter.filter(s.all(), "q")), (std::vector<ChunkPtr>{s.one}));

  // No text chunks: no call at all.
  const std::size_t calls = s.em->call_count();
  EXPECT_TRUE(core::run_sync(filter.filter({}, "new")).empty());
  EXPECT_TRUE(core::run_sync(filter.filter({s.bytes}, "new")).empty());
  EXPECT_EQ(s.em->call_count(), calls);
}

TEST(SimilarityBasedRelevanceFilterTest, CachesTheLastQueryEmbeddingOnly) {
  Scene s;
  SimilarityBasedRelevanceFilter filter(s.em);
  const std::vector<ChunkPtr> chunks{s.one};
  std::vector<std::string> embedded_queries;
  for (const char* query : {"q", "q", "q ", "Q", "q", "other", "q"}) {
    const std::size_t before = s.em->call_count();
    core::run_sync(filter.filter(chunks, query));
    if (s.em->call_count() - before == 2) embedded_queries.push_back(query);
  }
  EXPECT_EQ(embedded_queries, (std::vector<std::string>{"q", "q ", "Q", "q", "other", "q"}));

  // A failed query embedding keeps the old entry; a failure after it keeps
  // the new one.
  const auto calls_of = [&](const char* query, std::optional<std::size_t> failing_call) {
    const std::size_t before = s.em->call_count();
    if (failing_call) {
      s.em->fail_at(before + *failing_call);
      EXPECT_THROW(core::run_sync(filter.filter(chunks, query)), core::RuntimeError) << query;
    } else {
      EXPECT_EQ(core::run_sync(filter.filter(chunks, query)), chunks);
    }
    return s.em->call_count() - before;
  };
  EXPECT_EQ(calls_of("other", 0), 1u);
  EXPECT_EQ(calls_of("q", std::nullopt), 1u);
  EXPECT_EQ(calls_of("other", 1), 2u);
  EXPECT_EQ(calls_of("other", std::nullopt), 1u);
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
