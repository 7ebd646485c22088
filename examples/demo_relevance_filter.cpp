#include "demo_relevance_filter.hpp"

#include <algorithm>
#include <exception>
#include <iostream>
#include <memory>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/relevance_filter.hpp"
#include "zelq/providers/openai/openai_em_invoker.hpp"

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
  if (!have_model || access.model.empty() || access.api_key.empty()) {
    std::cout << "(This step needs a model server with an embedding model: OPENAI_API_KEY=<key> "
                 "scripts/demo.sh --model <name> --embedding-model <name> [--base-url <URL>])\n";
    return chunks;
  }
  std::cout << "openai/" << access.model << " at " << access.base_url << ", threshold "
            << kThreshold << "\n";
  try {
    auto embedder = std::make_shared<zelq::providers::openai::OpenAIEMInvoker>(
        "openai/" + access.model, access.api_key, zelq::core::Value{{"base_url", access.base_url}});
    const rf::SimilarityBasedRelevanceFilter filter(embedder, kThreshold);
    std::vector<ChunkPtr> kept = zelq::core::run_sync(filter.filter(chunks, query));
    std::vector<ChunkPtr> dropped;
    for (const ChunkPtr& chunk : chunks) {
      if (std::find(kept.begin(), kept.end(), chunk) == kept.end()) dropped.push_back(chunk);
    }
    print_chunks("Kept", kept);
    print_chunks("Dropped", dropped);
    return kept;
  } catch (const std::exception& error) {
    std::cout << "The relevance filter failed (" << error.what()
              << "); answering from all chunks.\n";
    return chunks;
  }
}

}  // namespace zelq_demo
