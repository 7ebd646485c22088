#include "zelq/generation/relevance_filter/lm_based_relevance_filter.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/relevance_filter/detail/batch_context.hpp"

namespace zelq::generation::relevance_filter {
namespace {

void check_batch_size(int batch_size) {
  if (batch_size < 1) throw core::ValueError("The `batch_size` parameter must be greater than 0.");
}

// Python's str(KeyError(name)).strip("'"): the key name of a py_format miss.
std::string missing_key(const core::KeyError& error) {
  std::string_view key = error.what();
  while (!key.empty() && key.front() == '\'') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\'') key.remove_suffix(1);
  return std::string(key);
}

}  // namespace

LMBasedRelevanceFilter::LMBasedRelevanceFilter(
    inference::LMRequestProcessorPtr lm_request_processor, LMBasedRelevanceFilterOptions options) {
  if (!lm_request_processor) {
    throw core::ValueError("The lm_request_processor must not be null.");
  }
  check_batch_size(options.batch_size);
  detail::check_chunk_format(options.chunk_format);
  this->lm_request_processor = std::move(lm_request_processor);
  batch_size = options.batch_size;
  on_failure_keep_all = options.on_failure_keep_all;
  metadata = std::move(options.metadata);
  chunk_format = std::move(options.chunk_format);
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMBasedRelevanceFilter::_filter(
    std::vector<core::ChunkPtr> chunks, std::string query) const {
  if (chunks.empty()) co_return std::vector<core::ChunkPtr>{};
  if (!lm_request_processor) {
    throw core::ValueError("The lm_request_processor must not be null.");
  }
  const int size = batch_size;
  check_batch_size(size);
  const auto step = static_cast<std::size_t>(size);
  std::vector<core::ChunkPtr> relevant;
  for (std::size_t start = 0; start < chunks.size(); start += step) {
    const auto first = chunks.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last =
        chunks.begin() + static_cast<std::ptrdiff_t>(std::min(chunks.size(), start + step));
    std::vector<core::ChunkPtr> batch(first, last);
    std::optional<std::vector<core::ChunkPtr>> kept;
    try {
      auto call = _process_batch(batch, query);
      kept = co_await std::move(call);
    } catch (const core::ValueError&) {
      // The batch falls back below, as on_failure_keep_all says.
    }
    if (kept) {
      relevant.insert(relevant.end(), kept->begin(), kept->end());
    } else if (on_failure_keep_all) {
      relevant.insert(relevant.end(), batch.begin(), batch.end());
    }
  }
  co_return relevant;
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMBasedRelevanceFilter::_process_batch(
    std::vector<core::ChunkPtr> batch_chunks, std::string query) const {
  std::string context = _format_batch_context(batch_chunks);
  const inference::LMRequestProcessorPtr processor = lm_request_processor;
  core::Value variables = core::Value::object();
  variables["query"] = std::move(query);
  variables["context"] = std::move(context);
  auto call = processor->process(std::move(variables));
  const inference::LMOutput lm_output = co_await std::move(call);
  co_return _process_lm_response(lm_output, batch_chunks);
}

std::string LMBasedRelevanceFilter::_format_batch_context(
    const std::vector<core::ChunkPtr>& chunks) const {
  std::vector<std::string> texts;
  texts.reserve(chunks.size());
  for (const core::ChunkPtr& chunk : chunks) texts.push_back(_format_chunk_as_context(*chunk));
  return detail::join_chunk_texts(texts);
}

std::string LMBasedRelevanceFilter::_format_chunk_as_context(const core::Chunk& chunk) const {
  if (const auto* formatter = std::get_if<ChunkFormatter>(&chunk_format))
    return (*formatter)(chunk);
  const std::string& templ = std::get<std::string>(chunk_format);
  core::Value arguments = core::Value::object();
  arguments["content"] = detail::content_argument(chunk);
  if (detail::has_metadata_marker(templ)) {
    arguments["metadata"] = _merge_metadata(chunk);
  } else {
    detail::add_field_arguments(arguments, chunk, metadata);
  }
  try {
    return core::py_format(templ, arguments);
  } catch (const core::KeyError& error) {
    arguments[missing_key(error)] = std::string(detail::EMPTY_FIELD);
  }
  return core::py_format(templ, arguments);
}

std::string LMBasedRelevanceFilter::_merge_metadata(const core::Chunk& chunk) const {
  return detail::metadata_block(chunk, metadata);
}

std::vector<core::ChunkPtr> LMBasedRelevanceFilter::_process_lm_response(
    const inference::LMOutput& lm_output, const std::vector<core::ChunkPtr>& batch_chunks) const {
  const core::Value results = _parse_structured_output(lm_output, "results", core::Value::array(),
                                                       inference::kMaxStructuredOutputMemory);
  return detail::relevant_chunks(results, batch_chunks, detail::MissingVerdict::DROP);
}

}  // namespace zelq::generation::relevance_filter
