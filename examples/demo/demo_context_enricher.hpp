// The demo's context-enricher step.
#pragma once

#include <vector>

#include "zelq/core/chunk.hpp"

namespace zelq::demo {

// Writes each chunk's "source" and "page" metadata into its text, in place,
// and prints the first enriched chunk. The chunks stay enriched for the
// steps that follow.
void demo_context_enricher(const std::vector<core::ChunkPtr>& chunks);

}  // namespace zelq::demo
