// LMBasedRelevanceFilter: a language model judges the chunks through the
// caller's request processor, one batch after another.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/generation/relevance_filter/chunk_format.hpp"
#include "zelq/generation/relevance_filter/relevance_filter.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::relevance_filter {

// Chunks per request.
inline constexpr int DEFAULT_BATCH_SIZE = 5;
// The default chunk template: "[CHUNK]", "Content:", the content, then the
// metadata block.
inline constexpr std::string_view DEFAULT_CHUNK_TEMPLATE =
    "[CHUNK]\nContent:\n{content}\n{metadata}";

// Constructor options of LMBasedRelevanceFilter, in parameter order.
struct LMBasedRelevanceFilterOptions {
  // Consecutive chunks per request; at least 1.
  int batch_size = DEFAULT_BATCH_SIZE;
  // A batch that fails with a ValueError goes into the result whole (true)
  // or is dropped whole (false).
  bool on_failure_keep_all = true;
  // Metadata field names written per chunk, in this order.
  std::vector<std::string> metadata{};
  // The chunk template or formatting function.
  ChunkFormat chunk_format = std::string(DEFAULT_CHUNK_TEMPLATE);
};

// Keeps the chunks that a language model judges relevant to the query. The
// caller's request processor must take the prompt variables "query" and
// "context" and answer with a structured output whose "results" list holds
// one verdict object per chunk of the batch, in batch order; only a verdict's
// "is_relevant" is read, by Python truthiness (absent or null drops the
// chunk). Batches are sent strictly one after another. A batch that fails
// with a ValueError (context writing, the request, or a bad answer) is kept
// or dropped whole, silently; any other error ends the call.
//
// The public members are read at each use and may be changed between calls;
// one instance may serve overlapping calls (they share the processor).
class LMBasedRelevanceFilter : public BaseRelevanceFilter, public inference::UsesLM {
 public:
  // Throws ValueError "The lm_request_processor must not be null.", "The
  // `batch_size` parameter must be greater than 0." or "The chunk_format
  // function must not be empty.".
  explicit LMBasedRelevanceFilter(inference::LMRequestProcessorPtr lm_request_processor,
                                  LMBasedRelevanceFilterOptions options = {});

  std::string class_name() const override { return "LMBasedRelevanceFilter"; }

  inference::LMRequestProcessorPtr lm_request_processor;
  int batch_size = DEFAULT_BATCH_SIZE;
  bool on_failure_keep_all = true;
  std::vector<std::string> metadata;
  ChunkFormat chunk_format;

 protected:
  // The kept chunks of every batch, in input order; an empty list at once
  // for no chunks. Throws, before any request, ValueError "The `batch_size`
  // parameter must be greater than 0." or "The lm_request_processor must not
  // be null." when the member was set so after construction; errors other
  // than ValueError propagate at once and nothing gathered so far is
  // returned. Cancellation propagates.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _filter(std::vector<core::ChunkPtr> chunks,
                                                              std::string query) const override;
  // One request for one batch and the chunks its answer keeps. Throws what
  // the context writing, the processor and _process_lm_response throw.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _process_batch(
      std::vector<core::ChunkPtr> batch_chunks, std::string query) const;
  // The rendered chunks of a batch joined with "\n\n".
  std::string _format_batch_context(const std::vector<core::ChunkPtr>& chunks) const;
  // One chunk's text: the formatting function's result, or the template
  // filled with "content" and either the metadata block (when the template
  // contains "{metadata}") or one argument per configured field. A template
  // key without an argument is set to "<empty>" and the template filled once
  // more; the second failure propagates (KeyError), as do the ValueError of
  // a malformed template, the IndexError of a positional field and the
  // AttributeError of an attribute in a field ({content.x}), which is no
  // ValueError and so ends the call instead of falling back.
  std::string _format_chunk_as_context(const core::Chunk& chunk) const;
  // The metadata block of one chunk (see detail::metadata_block).
  std::string _merge_metadata(const core::Chunk& chunk) const;
  // The chunks of the batch whose verdict is relevant, in batch order.
  // Throws ValueError "Expected list, got <class '<type>'>" when "results"
  // is not a list, the mismatch message when its length differs from the
  // batch's, and "Malformed relevance for chunk: <repr of verdict>" for a
  // verdict that is not an object.
  std::vector<core::ChunkPtr> _process_lm_response(
      const inference::LMOutput& lm_output, const std::vector<core::ChunkPtr>& batch_chunks) const;
};

}  // namespace zelq::generation::relevance_filter
