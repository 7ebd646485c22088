#include "zelq/generation/relevance_filter/similarity_based_relevance_filter.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::generation::relevance_filter {

SimilarityBasedRelevanceFilter::SimilarityBasedRelevanceFilter(inference::EMInvokerPtr em_invoker,
                                                               double threshold) {
  if (!(0.0 <= threshold && threshold <= 1.0)) {
    throw core::ValueError("The threshold must be between 0 and 1.");
  }
  if (!em_invoker) throw core::ValueError("The em_invoker must not be null.");
  this->em_invoker = std::move(em_invoker);
  this->threshold = threshold;
}

std::vector<double> SimilarityBasedRelevanceFilter::_calculate_similarities(
    const inference::Embedding& query_embedding,
    const std::vector<inference::Embedding>& chunk_embeddings) {
  return core::cosine(query_embedding, chunk_embeddings);
}

std::shared_ptr<const inference::Embedding> SimilarityBasedRelevanceFilter::cached_embedding(
    const std::string& query) const {
  std::lock_guard lock(cache_mutex_);
  if (_query && query == *_query) return _query_embedding;
  return nullptr;
}

void SimilarityBasedRelevanceFilter::store_embedding(
    std::string query, std::shared_ptr<const inference::Embedding> vector) const {
  std::lock_guard lock(cache_mutex_);
  _query = std::move(query);
  _query_embedding = std::move(vector);
}

boost::asio::awaitable<std::shared_ptr<const inference::Embedding>>
SimilarityBasedRelevanceFilter::embed_query(std::string query) const {
  if (auto cached = cached_embedding(query)) co_return cached;
  const inference::EMInvokerPtr invoker = em_invoker;
  auto call = invoker->invoke(query);
  auto vector = std::make_shared<const inference::Embedding>(co_await std::move(call));
  store_embedding(std::move(query), vector);
  co_return vector;
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> SimilarityBasedRelevanceFilter::_filter(
    std::vector<core::ChunkPtr> chunks, std::string query) const {
  std::vector<core::ChunkPtr> text_chunks;
  for (const core::ChunkPtr& chunk : chunks) {
    if (chunk->is_text()) text_chunks.push_back(chunk);
  }
  if (text_chunks.empty()) co_return std::vector<core::ChunkPtr>{};
  if (!em_invoker) throw core::ValueError("The em_invoker must not be null.");

  auto query_call = embed_query(std::move(query));
  const std::shared_ptr<const inference::Embedding> query_embedding =
      co_await std::move(query_call);

  const inference::EMInvokerPtr invoker = em_invoker;
  std::vector<inference::EMContent> chunk_contents;
  chunk_contents.reserve(text_chunks.size());
  for (const core::ChunkPtr& chunk : text_chunks) chunk_contents.emplace_back(chunk->text());
  auto chunks_call = invoker->invoke(std::move(chunk_contents));
  const std::vector<inference::Embedding> chunk_embeddings = co_await std::move(chunks_call);
  if (chunk_embeddings.size() != text_chunks.size()) {
    throw core::ValueError("The embedding invoker returned " +
                           std::to_string(chunk_embeddings.size()) + " vector(s) for " +
                           std::to_string(text_chunks.size()) + " text chunk(s).");
  }

  const std::vector<double> similarities =
      _calculate_similarities(*query_embedding, chunk_embeddings);
  std::vector<core::ChunkPtr> relevant;
  for (std::size_t i = 0; i < text_chunks.size(); ++i) {
    if (similarities[i] >= threshold) relevant.push_back(std::move(text_chunks[i]));
  }
  co_return relevant;
}

}  // namespace zelq::generation::relevance_filter
