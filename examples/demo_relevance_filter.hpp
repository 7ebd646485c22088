// The relevance filter step of the demo.
#pragma once

#include <string>
#include <vector>

#include "zelq/core/chunk.hpp"

namespace zelq_demo {

// Where the embeddings come from: an OpenAI-compatible server, its API key
// and the name of an embedding model it serves.
struct EmbeddingAccess {
  std::string base_url;
  std::string api_key;
  std::string model;
};

// Filters `chunks` for `query` with the similarity filter on the server's
// embeddings, prints what it kept and what it dropped, and returns the kept
// chunks (the caller's pointers, in retriever order). Without a model, a key
// or an embedding model it says what the step needs and returns `chunks`
// unchanged; when the embedding call fails it prints the error and also
// returns `chunks` unchanged, so the demo can still answer.
std::vector<zelq::core::ChunkPtr> demo_relevance_filter(
    const std::string& query, const std::vector<zelq::core::ChunkPtr>& chunks, bool have_model,
    const EmbeddingAccess& access);

}  // namespace zelq_demo
