// SimilarityBasedRelevanceFilter: keeps the text chunks whose embedding is
// close enough to the query's.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/generation/relevance_filter/relevance_filter.hpp"
#include "zelq/inference/em_invoker.hpp"

namespace zelq::generation::relevance_filter {

// Judges relevance by embedding similarity. It embeds the query and the
// contents of the text chunks with `em_invoker` and keeps the text chunks
// whose cosine similarity to the query is at least `threshold`; non-text
// chunks are neither embedded nor returned.
// The embedding of the last query is cached, so a repeated query is embedded
// once. Logs nothing and sends no events.
//
// `em_invoker` and `threshold` are read afresh at each call; a threshold
// assigned after construction is not checked again. Calls may overlap, also
// from several threads: the cache is guarded, and of concurrent calls with
// different new queries the one whose query embedding returns last is kept.
class SimilarityBasedRelevanceFilter : public BaseRelevanceFilter {
 public:
  // Throws ValueError "The threshold must be between 0 and 1." unless
  // 0 <= threshold <= 1 (NaN fails), then ValueError "The em_invoker must not
  // be null." for a null invoker.
  explicit SimilarityBasedRelevanceFilter(inference::EMInvokerPtr em_invoker,
                                          double threshold = 0.5);

  std::string class_name() const override { return "SimilarityBasedRelevanceFilter"; }

  // One cosine similarity per chunk embedding, in order (see core::cosine:
  // NaN for a zero vector). Throws ValueError when a chunk embedding's
  // dimension differs from the query embedding's.
  static std::vector<double> _calculate_similarities(
      const inference::Embedding& query_embedding,
      const std::vector<inference::Embedding>& chunk_embeddings);

  inference::EMInvokerPtr em_invoker;
  double threshold = 0.5;

 protected:
  // Returns the text chunks whose similarity is at least the threshold, in
  // input order; an empty list, without any embedding call, when there are
  // no text chunks. The query is embedded unless it equals the cached query
  // (exact text equality); the contents of all text chunks go to the
  // invoker in one call. Throws ValueError "The embedding invoker returned
  // <m> vector(s) for <n> text chunk(s)." when the counts differ, the
  // dimension error of _calculate_similarities, ValueError "The em_invoker
  // must not be null." when the member was set so after construction, and
  // whatever the invoker throws (cancellation included); no partial result
  // is returned. The cache keeps the new query
  // once its embedding has returned, even when a later step fails.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _filter(std::vector<core::ChunkPtr> chunks,
                                                              std::string query) const override;

 private:
  // The cached embedding of `query`, or null on a miss.
  std::shared_ptr<const inference::Embedding> cached_embedding(const std::string& query) const;
  void store_embedding(std::string query, std::shared_ptr<const inference::Embedding> vector) const;
  boost::asio::awaitable<std::shared_ptr<const inference::Embedding>> embed_query(
      std::string query) const;

  mutable std::mutex cache_mutex_;
  mutable std::optional<std::string> _query;
  mutable std::shared_ptr<const inference::Embedding> _query_embedding;
};

}  // namespace zelq::generation::relevance_filter
