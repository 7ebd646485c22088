// The demo's reference step: the references that back an answer.
#pragma once

#include <string>
#include <vector>

#include "zelq/core/chunk.hpp"

// Prints, right after an answer, the references that back it: the chunks
// whose embedding is close enough to the answer's, most similar first,
// written as "References:" and one numbered source per line (repeated
// sources once). Embeds with the deterministic bag-of-words embedder of the
// testing fakes, so it needs no model. Throws what the formatter throws.
void demo_reference_formatter(const std::string& answer,
                              const std::vector<zelq::core::ChunkPtr>& chunks);
