#include "demo_relevance_filter.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>

#include "demo_masking.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/generation/relevance_filter.hpp"

namespace zelq_demo {
namespace {

namespace rf = zelq::generation::relevance_filter;
using zelq::core::ChunkPtr;

// Below this cosine similarity a chunk counts as off-topic. Embedding models
// place unrelated texts well under it and paraphrases well over it.
constexpr double kThreshold = 0.35;

void print_chunks(const char* label, const std::vector<ChunkPtr>& chunks) {
  std::cout << label << " (" << chunks.size() << "):\n";
  for (const ChunkPtr& chunk : chunks) std::cout << "  - " << chunk->id << "\n";
}

}  // namespace

std::vector<ChunkPtr> demo_relevance_filter(const std::string& query,
                                            const std::vector<ChunkPtr>& chunks, bool have_model,
                                            const EmbeddingAccess& access) {
  std::cout << "\n== Relevance filter, similarity of embeddings ==\n";
  if (!have_model || access.embedder == nullptr) {
    std::cout << "(This step needs a model server with an embedding model: OPENAI_API_KEY=<key> "
                 "scripts/demo.sh --model <name> --embedding-model <name> [--base-url <URL>])\n";
    return chunks;
  }
  std::cout << "openai/" << access.model << " at " << access.shown_url << ", threshold "
            << kThreshold << "\n";
  try {
    const rf::SimilarityBasedRelevanceFilter filter(access.embedder, kThreshold);
    std::vector<ChunkPtr> kept = zelq::core::run_sync(filter.filter(chunks, query));
    std::vector<ChunkPtr> dropped;
    for (const ChunkPtr& chunk : chunks) {
      if (std::find(kept.begin(), kept.end(), chunk) == kept.end()) dropped.push_back(chunk);
    }
    print_chunks("Kept", kept);
    print_chunks("Dropped", dropped);
    return kept;
  } catch (const std::exception& error) {
    // A notice, not the demo's output: on stderr, after what stdout has.
    std::cout << std::flush;
    std::cerr << "The relevance filter failed (" << mask_text(error.what(), access.secret)
              << "); answering from all chunks.\n";
    return chunks;
  }
}

}  // namespace zelq_demo
