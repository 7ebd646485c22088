#include "zelq/generation/relevance_filter/relevance_filter.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::generation::relevance_filter {
namespace {

using core::ChunkPtr;

constexpr const char* kChunksError =
    "The input kwargs must include a 'chunks' key of type list[Chunk].";
constexpr const char* kQueryError =
    "The input kwargs must include a 'query' key of type str and it should not be empty.";

// Records what reaches _filter; with `use_base` set, awaits the base body.
class Probe : public BaseRelevanceFilter {
 public:
  std::string class_name() const override { return "Probe"; }
  mutable std::vector<std::string> queries;
  bool use_base = false;

 protected:
  boost::asio::awaitable<std::vector<ChunkPtr>> _filter(std::vector<ChunkPtr> chunks,
                                                        std::string query) const override {
    if (use_base) co_return co_await BaseRelevanceFilter::_filter(chunks, query);
    queries.push_back(query);
    co_return chunks;
  }
};

std::string error_of(const Probe& probe, std::vector<ChunkPtr> chunks,
                     std::optional<std::string> query) {
  try {
    core::run_sync(probe.filter(std::move(chunks), std::move(query)));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(BaseRelevanceFilterTest, ChecksChunksFirstThenQueryBeforeAnyWork) {
  Probe probe;
  const ChunkPtr chunk = core::make_chunk("a");
  EXPECT_EQ(error_of(probe, {chunk, nullptr}, "q"), kChunksError);
  EXPECT_EQ(error_of(probe, {nullptr}, std::nullopt), kChunksError);
  for (const char* blank : {"", " \t\n", "\u3000\u2003\x1c", "\xc2\x85"}) {
    EXPECT_EQ(error_of(probe, {chunk}, blank), kQueryError) << blank;
  }
  EXPECT_EQ(error_of(probe, {chunk}, std::nullopt), kQueryError);
  EXPECT_TRUE(probe.queries.empty());

  // Not Python white space: a zero-width space is a real query.
  const auto kept = core::run_sync(probe.filter({chunk, chunk}, "\u200b"));
  EXPECT_EQ(kept, (std::vector<ChunkPtr>{chunk, chunk}));
  EXPECT_TRUE(core::run_sync(probe.filter({}, "  padded  ")).empty());
  EXPECT_EQ(probe.queries, (std::vector<std::string>{"\u200b", "  padded  "}));

  probe.use_base = true;
  EXPECT_THROW(core::run_sync(probe.filter({chunk}, "q")), core::NotImplementedError);
}

}  // namespace
}  // namespace zelq::generation::relevance_filter
