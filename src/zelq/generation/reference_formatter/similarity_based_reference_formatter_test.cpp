#include "zelq/generation/reference_formatter/similarity_based_reference_formatter.hpp"

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/fake_em_invoker.hpp"

namespace zelq::generation::reference_formatter {
namespace {

using core::ChunkPtr;
using core::make_chunk;
using inference::Embedding;
using inference::EMContent;
using inference::testing::FakeEMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Against the response vector (1, 0): "high" scores 0.8, "mid" 0.6, "low"
// 5/13, "zero" NaN (a zero vector); bytes score 1.
std::shared_ptr<FakeEMInvoker> make_em() {
  auto em = std::make_shared<FakeEMInvoker>(2);
  const std::map<std::string, Embedding> vectors{
      {"response", {1, 0}}, {"high", {4, 3}}, {"mid", {3, 4}}, {"low", {5, 12}}, {"zero", {0, 0}}};
  em->set_responder([vectors](const std::vector<EMContent>& contents) {
    std::vector<Embedding> out;
    for (const EMContent& content : contents) {
      const auto* text = std::get_if<std::string>(&content);
      out.push_back(text ? vectors.at(*text) : Embedding{2, 0});
    }
    return out;
  });
  return em;
}

std::vector<ChunkPtr> select(const SimilarityBasedReferenceFormatter& formatter,
                             const std::vector<ChunkPtr>& chunks) {
  return std::get<std::vector<ChunkPtr>>(
      core::run_sync(formatter.format_reference("response", chunks)));
}

TEST(SimilarityBasedReferenceFormatterTest, MostSimilarFirstStableAndInclusive) {
  auto em = make_em();
  SimilarityBasedReferenceFormatter formatter(em, {.threshold = 0.6, .stringify = false});
  const ChunkPtr mid1 = make_chunk("mid", {}, 0.1);
  const ChunkPtr high = make_chunk("high");
  const ChunkPtr low = make_chunk("low");
  const ChunkPtr mid2 = make_chunk("mid");
  const ChunkPtr bytes = make_chunk(core::Bytes{'b'});
  const ChunkPtr zero = make_chunk("zero");
  EXPECT_THAT(select(formatter, {mid1, high, low, mid2, zero, bytes, high}),
              ElementsAre(bytes, high, high, mid1, mid2));
  EXPECT_EQ(mid1->score, 0.1);  // scores are not written into the chunks
  // One call for the response, then one for every content in input order.
  const auto calls = em->calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_THAT(calls[0], ElementsAre(EMContent(std::string("response"))));
  ASSERT_EQ(calls[1].size(), 7u);
  EXPECT_EQ(calls[1][5], EMContent(core::Bytes{'b'}));
  // The threshold is read at every call; NaN passes no threshold.
  formatter.threshold = 1.5;
  EXPECT_THAT(select(formatter, {high, bytes}), IsEmpty());
  formatter.threshold = -1.5;
  EXPECT_THAT(select(formatter, {zero, low}), ElementsAre(low));
}

TEST(SimilarityBasedReferenceFormatterTest, EmptyInputMakesNoCallAndCountsMustMatch) {
  auto em = make_em();
  SimilarityBasedReferenceFormatter formatter(em);
  EXPECT_EQ(std::get<std::string>(core::run_sync(formatter.format_reference("r", {}))), "");
  EXPECT_EQ(em->call_count(), 0u);
  const std::vector<ChunkPtr> chunks{make_chunk("a"), make_chunk("b")};
  for (const std::size_t vectors : {1u, 3u}) {
    em->set_responder([vectors](const std::vector<EMContent>&) {
      return std::vector<Embedding>(vectors, Embedding{1, 0});
    });
    try {
      core::run_sync(formatter.format_reference("r", chunks));
      ADD_FAILURE() << "no error";
    } catch (const core::ValueError& error) {
      EXPECT_STREQ(error.what(), vectors == 1 ? "zip() argument 2 is shorter than argument 1"
                                              : "zip() argument 2 is longer than argument 1");
    }
  }
  // Either embedding call's failure propagates.
  for (std::size_t call = 0; call < 2; ++call) {
    auto failing = make_em();
    failing->fail_at(call);
    SimilarityBasedReferenceFormatter broken(failing);
    EXPECT_THROW(core::run_sync(broken.format_reference("response", {make_chunk("mid")})),
                 core::RuntimeError);
  }
  EXPECT_THROW(SimilarityBasedReferenceFormatter(nullptr), core::ValueError);
}

}  // namespace
}  // namespace zelq::generation::reference_formatter
