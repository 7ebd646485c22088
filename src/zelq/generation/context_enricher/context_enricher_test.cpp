#include "zelq/generation/context_enricher/context_enricher.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::generation::context_enricher {
namespace {

using core::ChunkPtr;

// Counts its calls and tags each chunk, or defers to the base's body.
class TaggingEnricher : public BaseContextEnricher {
 public:
  std::string class_name() const override { return "TaggingEnricher"; }
  mutable int calls = 0;
  bool use_base = false;

 protected:
  boost::asio::awaitable<std::vector<ChunkPtr>> _enrich(
      std::vector<ChunkPtr> chunks) const override {
    ++calls;
    if (use_base) co_return co_await BaseContextEnricher::_enrich(std::move(chunks));
    for (const ChunkPtr& chunk : chunks) chunk->content = chunk->text() + "!";
    co_return chunks;
  }
};

TEST(BaseContextEnricherTest, RejectsNullItemsBeforeAnyWork) {
  TaggingEnricher enricher;
  ChunkPtr first = core::make_chunk("a");
  for (std::vector<ChunkPtr> bad : {std::vector<ChunkPtr>{nullptr},
                                    std::vector<ChunkPtr>{first, core::make_chunk("b"), nullptr}}) {
    try {
      core::run_sync(enricher.enrich(bad));
      ADD_FAILURE();
    } catch (const core::ValueError& error) {
      EXPECT_STREQ(error.what(), "`chunks` must be a list of Chunk objects.");
    }
  }
  EXPECT_EQ(enricher.calls, 0);
  EXPECT_EQ(first->text(), "a");

  EXPECT_TRUE(core::run_sync(enricher.enrich({})).empty());
  const std::vector<ChunkPtr> result = core::run_sync(enricher.enrich({first}));
  EXPECT_EQ(result, std::vector<ChunkPtr>{first});
  EXPECT_EQ(first->text(), "a!");

  enricher.use_base = true;
  EXPECT_THROW(core::run_sync(enricher.enrich({first})), core::NotImplementedError);
}

}  // namespace
}  // namespace zelq::generation::context_enricher
