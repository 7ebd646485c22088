#include "zelq/generation/context_enricher/context_enricher.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/errors.hpp"

namespace zelq::generation::context_enricher {
namespace {

using core::ChunkPtr;

std::string count_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " chunk." : " chunks.");
}

}  // namespace

boost::asio::awaitable<std::vector<ChunkPtr>> BaseContextEnricher::enrich(
    std::vector<ChunkPtr> chunks) const {
  if (std::any_of(chunks.begin(), chunks.end(), [](const ChunkPtr& chunk) { return !chunk; })) {
    throw core::ValueError("`chunks` must be a list of Chunk objects.");
  }
  const std::size_t count = chunks.size();
  auto body = _enrich(std::move(chunks));
  auto run = _run_main(
      [this, count] { return core::start_prefix(*this) + "Enriching " + count_text(count); },
      std::move(body),
      [this](const std::vector<ChunkPtr>& output) {
        return core::finished_prefix(*this) + "Enriched " + count_text(output.size());
      });
  co_return co_await std::move(run);
}

boost::asio::awaitable<std::vector<ChunkPtr>> BaseContextEnricher::_enrich(
    std::vector<ChunkPtr> /*chunks*/) const {
  throw core::NotImplementedError();
  co_return std::vector<ChunkPtr>{};
}

}  // namespace zelq::generation::context_enricher
