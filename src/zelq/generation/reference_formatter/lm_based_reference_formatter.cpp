#include "zelq/generation/reference_formatter/lm_based_reference_formatter.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::reference_formatter {
namespace {

// Logs the deprecation warning; runs before the formatter's bases are built.
ReferenceFormatterOptions warn_deprecated(LMBasedReferenceFormatterOptions& options) {
  core::LoggerManager()
      .get_logger("LMBasedReferenceFormatter")
      ->warn(
          "LMBasedReferenceFormatter is deprecated and will be removed in v0.7, please use "
          "LMReferenceFormatter instead.");
  return {.stringify = options.stringify,
          .format_references_func = std::move(options.format_references_func),
          .format_chunk_func = std::move(options.format_chunk_func),
          .format_chunk_metadata_map = std::move(options.format_chunk_metadata_map),
          .streamable = options.streamable};
}

}  // namespace

LMBasedReferenceFormatter::LMBasedReferenceFormatter(
    inference::LMRequestProcessorPtr lm_request_processor, LMBasedReferenceFormatterOptions options)
    : BaseReferenceFormatter(warn_deprecated(options)),
      lm_request_processor(std::move(lm_request_processor)),
      batch_size(options.batch_size),
      reference_metadata(std::move(options.reference_metadata)) {
  if (!this->lm_request_processor) {
    throw core::ValueError("LMBasedReferenceFormatter needs a request processor.");
  }
}

std::unique_ptr<LMBasedReferenceFormatter> LMBasedReferenceFormatter::from_preset(
    inference::ModelIdArg model_id, LMBasedReferenceFormatterOptions options,
    core::Value credentials) {
  core::Value schema = detail::relevant_chunks_schema(options.reference_metadata);
  return providers::with_structured_output<LMBasedReferenceFormatter>(
      {.model_id = std::move(model_id),
       .response_schema = std::move(schema),
       .system_template = std::string(PRESET_SYSTEM_TEMPLATE),
       .credentials = std::move(credentials)},
      std::move(options));
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMBasedReferenceFormatter::_get_relevant_chunks(
    std::string response, std::vector<core::ChunkPtr> chunks) const {
  std::vector<boost::asio::awaitable<std::vector<core::ChunkPtr>>> batches;
  for (auto& batch : detail::make_batches(chunks, batch_size)) {
    batches.push_back(_process_batch(std::move(batch), response));
  }
  auto gather = detail::gather_batch_selections(std::move(batches));
  co_return co_await std::move(gather);
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMBasedReferenceFormatter::_process_batch(
    std::vector<core::ChunkPtr> chunks, std::string response) const {
  const std::string key = reference_metadata;
  // Keep the processor of this request alive even if the attribute is
  // replaced meanwhile.
  const inference::LMRequestProcessorPtr processor = lm_request_processor;
  if (!processor) throw core::ValueError("LMBasedReferenceFormatter needs a request processor.");
  core::Value variables = {{"response", std::move(response)}, {"context", _format_context(chunks)}};
  auto process = processor->process(std::move(variables));
  const inference::LMOutput output = co_await std::move(process);
  co_return detail::select_listed(chunks, key,
                                  _parse_structured_output(output, key, core::Value::array(),
                                                           inference::kMaxStructuredOutputMemory));
}

std::string LMBasedReferenceFormatter::_format_context(
    const std::vector<core::ChunkPtr>& chunks) const {
  return detail::format_reference_context(chunks, reference_metadata);
}

}  // namespace zelq::generation::reference_formatter
