// The relevance filter step of the demo.
#pragma once

#include <string>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/inference/em_invoker.hpp"

namespace zelq_demo {

// Where the embeddings come from: the embedder of an embedding model on an
// OpenAI-compatible server, and how the step names them (the server's URL
// and the model's name as the demo may print them: masked).
struct EmbeddingAccess {
  std::string shown_url;
  std::string model;
  zelq::inference::EMInvokerPtr embedder;
  std::string secret;  // the API key, masked in the errors printed
};

// Filters `chunks` for `query` with the similarity filter on the embedder's
// embeddings, prints what it kept and what it dropped, and returns the kept
// chunks (the caller's pointers, in retriever order). Without a model or an
// embedder it says what the step needs and returns `chunks` unchanged; when
// the embedding call fails it prints the error (masked as mask_text does)
// on stderr and also returns `chunks` unchanged, so the demo can still
// answer.
std::vector<zelq::core::ChunkPtr> demo_relevance_filter(
    const std::string& query, const std::vector<zelq::core::ChunkPtr>& chunks, bool have_model,
    const EmbeddingAccess& access);

}  // namespace zelq_demo
