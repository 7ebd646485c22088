#include "zelq/generation/relevance_filter/relevance_filter.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::relevance_filter {

boost::asio::awaitable<std::vector<core::ChunkPtr>> BaseRelevanceFilter::filter(
    std::vector<core::ChunkPtr> chunks, std::optional<std::string> query) const {
  if (std::any_of(chunks.begin(), chunks.end(), [](const core::ChunkPtr& c) { return !c; })) {
    throw core::ValueError("The input kwargs must include a 'chunks' key of type list[Chunk].");
  }
  if (!query || core::py_is_blank(*query)) {
    throw core::ValueError(
        "The input kwargs must include a 'query' key of type str and it should not be empty.");
  }
  const std::size_t count = chunks.size();
  const auto format_input = [this, count, &query] {
    return core::start_prefix(*this) + "Filtering " + std::to_string(count) +
           " chunk(s) for query: " + core::py_repr(*query);
  };
  const auto format_output = [this](const std::vector<core::ChunkPtr>& kept) {
    return core::finished_prefix(*this) + "Kept " + std::to_string(kept.size()) + " chunk(s).";
  };
  auto run = _run_main(format_input, _filter(std::move(chunks), *query), format_output);
  co_return co_await std::move(run);
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> BaseRelevanceFilter::_filter(
    std::vector<core::ChunkPtr>, std::string) const {
  throw core::NotImplementedError();
  co_return std::vector<core::ChunkPtr>{};
}

}  // namespace zelq::generation::relevance_filter
