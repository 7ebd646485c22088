#include "demo_context_enricher.hpp"

#include <iostream>

#include "zelq/core/concurrency.hpp"
#include "zelq/generation/context_enricher.hpp"

namespace zelq::demo {

void demo_context_enricher(const std::vector<core::ChunkPtr>& chunks) {
  namespace ce = generation::context_enricher;
  std::cout << "\n== Context enricher: \"source\" and \"page\" written before each text, "
               "separator \"\\n\\n\" ==\n";
  const ce::MetadataContextEnricher enricher({"source", "page"}, {.separator = "\n\n"});
  core::run_sync(enricher.enrich(chunks));
  if (chunks.empty()) return;
  std::cout << chunks.front()->id << ":\n" << chunks.front()->text() << "\n";
}

}  // namespace zelq::demo
