// The reference formatter that selects chunks by embedding similarity to the
// response.
#pragma once

#include <string>
#include <vector>

#include "zelq/generation/reference_formatter/reference_formatter.hpp"
#include "zelq/inference/em_invoker.hpp"

namespace zelq::generation::reference_formatter {

// The similarity a chunk needs by default to be selected.
inline constexpr double DEFAULT_THRESHOLD = 0.5;

// Constructor options of SimilarityBasedReferenceFormatter, in parameter
// order after the embedding invoker; the last five mean what they mean in
// ReferenceFormatterOptions.
struct SimilarityBasedReferenceFormatterOptions {
  // The least cosine similarity selected (inclusive); any value is accepted.
  double threshold = DEFAULT_THRESHOLD;
  bool stringify = true;
  FormatReferencesFunc format_references_func{};
  FormatChunkFunc format_chunk_func{};
  core::Value format_chunk_metadata_map = nullptr;
  bool streamable = true;
};

// Selects the candidate chunks whose content embedding has a cosine
// similarity of at least `threshold` with the response embedding, most
// similar first (equal scores keep their input order). Each selection makes
// two embedding calls, one after the other (the response, then every content
// in one batch), and none for an empty candidate list; nothing is cached.
class SimilarityBasedReferenceFormatter : public BaseReferenceFormatter {
 public:
  // Throws ValueError when `em_invoker` is null, and what
  // BaseReferenceFormatter's constructor throws.
  explicit SimilarityBasedReferenceFormatter(inference::EMInvokerPtr em_invoker,
                                             SimilarityBasedReferenceFormatterOptions options = {});

  std::string class_name() const override { return "SimilarityBasedReferenceFormatter"; }

  // Read at every selection (do not change them while calls run).
  inference::EMInvokerPtr em_invoker;
  double threshold = DEFAULT_THRESHOLD;

 protected:
  // The selection. The chunks returned are the caller's own, unchanged (the
  // score is not written into them); a chunk given twice is scored twice.
  // Throws ValueError "zip() argument 2 is shorter than argument 1" (or
  // "longer") when the invoker returns a different number of vectors than
  // contents, and what the invoker and cosine throw (ValueError for vectors
  // of different dimensions). Cancellation propagates.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _get_relevant_chunks(
      std::string response, std::vector<core::ChunkPtr> chunks) const override;
};

namespace detail {
// The chunks whose score is at least `threshold` (NaN never is), sorted by
// score, highest first, stably. Throws the ValueError above when the counts
// differ.
std::vector<core::ChunkPtr> select_by_score(const std::vector<core::ChunkPtr>& chunks,
                                            const std::vector<double>& scores, double threshold);
}  // namespace detail

}  // namespace zelq::generation::reference_formatter
