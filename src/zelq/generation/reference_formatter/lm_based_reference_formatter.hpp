// The deprecated reference formatter that reaches the language model through
// a request processor. Use LMReferenceFormatter instead.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/generation/reference_formatter/lm_reference_formatter.hpp"
#include "zelq/generation/reference_formatter/reference_formatter.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/request_processor.hpp"

namespace zelq::generation::reference_formatter {

// The defaults LMReferenceFormatter uses too.
inline constexpr int DEFAULT_BATCH_SIZE = detail::DEFAULT_BATCH_SIZE;
inline constexpr std::string_view DEFAULT_REFERENCE_METADATA = detail::DEFAULT_REFERENCE_METADATA;
inline constexpr std::string_view PRESET_SYSTEM_TEMPLATE = detail::DEFAULT_SYSTEM_TEMPLATE;

// Constructor options of LMBasedReferenceFormatter, in parameter order after
// the request processor; they mean what they mean in
// LMReferenceFormatterOptions.
struct LMBasedReferenceFormatterOptions {
  int batch_size = DEFAULT_BATCH_SIZE;
  std::string reference_metadata = std::string(DEFAULT_REFERENCE_METADATA);
  bool stringify = true;
  FormatReferencesFunc format_references_func{};
  FormatChunkFunc format_chunk_func{};
  core::Value format_chunk_metadata_map = nullptr;
  bool streamable = true;
};

// Deprecated: selects references as LMReferenceFormatter does, sending one
// request per batch through `lm_request_processor` with the prompt variables
// "response" and "context". Unlike LMReferenceFormatter it has no shortcut
// for an empty candidate list (a batch size of 0 fails even then).
class LMBasedReferenceFormatter : public BaseReferenceFormatter, public inference::UsesLM {
 public:
  // Logs, every time and before anything else, the warning
  // "LMBasedReferenceFormatter is deprecated and will be removed in v0.7,
  // please use LMReferenceFormatter instead." on the logger
  // "LMBasedReferenceFormatter". Then throws ValueError when the processor
  // is null, and what BaseReferenceFormatter's constructor throws.
  explicit LMBasedReferenceFormatter(inference::LMRequestProcessorPtr lm_request_processor,
                                     LMBasedReferenceFormatterOptions options = {});

  // A formatter (constructed as above, so it warns too) over a new request
  // processor for `model_id` whose prompt is PRESET_SYSTEM_TEMPLATE and
  // whose answers follow relevant_chunks_schema(options.reference_metadata).
  // Throws what with_structured_output and the constructor throw.
  static std::unique_ptr<LMBasedReferenceFormatter> from_preset(
      inference::ModelIdArg model_id, LMBasedReferenceFormatterOptions options = {},
      core::Value credentials = nullptr);

  std::string class_name() const override { return "LMBasedReferenceFormatter"; }

  // Read at every call (do not change them while calls run).
  inference::LMRequestProcessorPtr lm_request_processor;
  int batch_size = DEFAULT_BATCH_SIZE;
  std::string reference_metadata;

 protected:
  // Every batch's selection, in batch order; no batch (and no request) for
  // an empty list or a negative batch size. Failures, concurrency and
  // cancellation as in LMReferenceFormatter. Throws ValueError "range() arg
  // 3 must not be zero" for a batch size of 0, before any request.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _get_relevant_chunks(
      std::string response, std::vector<core::ChunkPtr> chunks) const override;

  // One request over one batch, and that batch's selection.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _process_batch(
      std::vector<core::ChunkPtr> chunks, std::string response) const;

  // The context text of one batch, as LMReferenceFormatter writes it.
  std::string _format_context(const std::vector<core::ChunkPtr>& chunks) const;
};

}  // namespace zelq::generation::reference_formatter
