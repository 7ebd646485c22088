#include "zelq/inference/testing/fake_em_invoker.hpp"

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::inference::testing {
namespace {

TEST(FakeEMInvokerTest, DeterministicAndSimilarForSharedWords) {
  FakeEMInvoker em;
  const Embedding query = core::run_sync(em.invoke(std::string("Solar panels on roofs")));
  auto vectors = core::run_sync(em.invoke(std::vector<EMContent>{
      std::string("solar PANELS on the roofs"), std::string("tax law of 1999"),
      core::Bytes{1, 2, 3}, std::string("Solar panels on roofs")}));
  ASSERT_EQ(vectors.size(), 4u);
  EXPECT_EQ(vectors[3], query);
  const auto scores = core::cosine(query, vectors);
  EXPECT_GT(scores[0], 0.8);
  EXPECT_LT(scores[1], scores[0]);
  EXPECT_NEAR(scores[3], 1.0, 1e-12);
  EXPECT_EQ(vectors[2], em.embed(core::Bytes{1, 2, 3}));
  EXPECT_EQ(em.call_count(), 2u);
  EXPECT_EQ(em.calls()[1].size(), 4u);
}

TEST(FakeEMInvokerTest, ScriptedVectorsFailuresAndResponders) {
  FakeEMInvoker em(3);
  em.set_vector("exact", {1, 0, 0});
  EXPECT_EQ(core::run_sync(em.invoke(std::string("exact"))), (Embedding{1, 0, 0}));
  EXPECT_EQ(em.embed(std::string("   ")), (Embedding{0, 0, 0}));
  em.fail_at(1);
  EXPECT_THROW(core::run_sync(em.invoke(std::string("x"))), core::RuntimeError);
  em.set_responder([](const std::vector<EMContent>&) { return std::vector<Embedding>{}; });
  EXPECT_TRUE(core::run_sync(em.invoke(std::vector<EMContent>{std::string("a")})).empty());
  // One text needs one vector back.
  EXPECT_THROW(core::run_sync(em.invoke(std::string("a"))), core::RuntimeError);
  EXPECT_THROW(FakeEMInvoker(0), core::ValueError);
}

}  // namespace
}  // namespace zelq::inference::testing
