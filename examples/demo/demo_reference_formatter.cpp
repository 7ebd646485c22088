#include "demo_reference_formatter.hpp"

#include <iostream>
#include <memory>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/reference_formatter.hpp"
#include "zelq/inference/testing/fake_em_invoker.hpp"

namespace rf = zelq::generation::reference_formatter;

void demo_reference_formatter(const std::string& answer,
                              const std::vector<zelq::core::ChunkPtr>& chunks) {
  constexpr double kThreshold = 0.3;
  // The sample chunks name their source under "source" and have no link, so
  // each reference is the bare source title.
  const rf::SimilarityBasedReferenceFormatter formatter(
      std::make_shared<zelq::inference::testing::FakeEMInvoker>(),
      {.threshold = kThreshold, .format_chunk_metadata_map = {{"title", "source"}}});
  const rf::ReferenceResult references =
      zelq::core::run_sync(formatter.format_reference(answer, chunks));
  std::cout << "\n" << std::get<std::string>(references) << "\n";
  std::cout << "(chunks with a bag-of-words cosine similarity of at least " << kThreshold
            << " to the answer, most similar first, repeated sources once)\n";
}
