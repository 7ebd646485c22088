#include "zelq/generation/reference_formatter/similarity_based_reference_formatter.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::generation::reference_formatter {

SimilarityBasedReferenceFormatter::SimilarityBasedReferenceFormatter(
    inference::EMInvokerPtr em_invoker, SimilarityBasedReferenceFormatterOptions options)
    : BaseReferenceFormatter(
          {.stringify = options.stringify,
           .format_references_func = std::move(options.format_references_func),
           .format_chunk_func = std::move(options.format_chunk_func),
           .format_chunk_metadata_map = std::move(options.format_chunk_metadata_map),
           .streamable = options.streamable}),
      em_invoker(std::move(em_invoker)),
      threshold(options.threshold) {
  if (!this->em_invoker) {
    throw core::ValueError("SimilarityBasedReferenceFormatter needs an embedding invoker.");
  }
}

boost::asio::awaitable<std::vector<core::ChunkPtr>>
SimilarityBasedReferenceFormatter::_get_relevant_chunks(std::string response,
                                                        std::vector<core::ChunkPtr> chunks) const {
  if (chunks.empty()) co_return std::vector<core::ChunkPtr>{};
  // Keep the invoker of this call alive even if the attribute is replaced.
  const inference::EMInvokerPtr invoker = em_invoker;
  auto embed_response = invoker->invoke(std::move(response));
  const inference::Embedding response_embedding = co_await std::move(embed_response);
  std::vector<inference::EMContent> contents;
  contents.reserve(chunks.size());
  for (const core::ChunkPtr& chunk : chunks) contents.push_back(chunk->content);
  auto embed_contents = invoker->invoke(std::move(contents));
  const std::vector<inference::Embedding> content_embeddings = co_await std::move(embed_contents);
  co_return detail::select_by_score(chunks, core::cosine(response_embedding, content_embeddings),
                                    threshold);
}

namespace detail {

std::vector<core::ChunkPtr> select_by_score(const std::vector<core::ChunkPtr>& chunks,
                                            const std::vector<double>& scores, double threshold) {
  if (scores.size() != chunks.size()) {
    throw core::ValueError(std::string("zip() argument 2 is ") +
                           (scores.size() < chunks.size() ? "shorter" : "longer") +
                           " than argument 1");
  }
  std::vector<std::pair<double, std::size_t>> kept;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (scores[i] >= threshold) kept.emplace_back(scores[i], i);
  }
  // Highest score first; the input position breaks ties, which keeps equal
  // scores in input order (std::stable_sort trips a deprecation in clang with
  // libstdc++ 12).
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<core::ChunkPtr> selected;
  selected.reserve(kept.size());
  for (const auto& [score, index] : kept) selected.push_back(chunks[index]);
  return selected;
}

}  // namespace detail
}  // namespace zelq::generation::reference_formatter
