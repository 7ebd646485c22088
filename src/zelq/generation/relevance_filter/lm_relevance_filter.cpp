#include "zelq/generation/relevance_filter/lm_relevance_filter.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/relevance_filter/detail/batch_context.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::relevance_filter {
namespace {

void check_batch_size(int batch_size) {
  if (batch_size < 1) throw core::ValueError("The `batch_size` parameter must be greater than 0.");
}

}  // namespace

core::Value RelevanceFilterItem::model_json_schema() {
  return core::Value::parse(
      R"({"description": "Defines the relevance filter item schema.\n\nAttributes:\n)"
      R"(    explanation (str): The explanation of why the chunk is or is not relevant.\n)"
      R"(    is_relevant (bool): True if the chunk is relevant to the query, False otherwise.",
    "properties": {
      "explanation": {"title": "Explanation", "type": "string"},
      "is_relevant": {"title": "Is Relevant", "type": "boolean"}
    },
    "required": ["explanation", "is_relevant"],
    "title": "RelevanceFilterItem",
    "type": "object"
  })");
}

core::Value RelevanceFilter::model_json_schema() {
  core::Value schema = core::Value::object();
  schema["$defs"] = {{"RelevanceFilterItem", RelevanceFilterItem::model_json_schema()}};
  schema["description"] =
      "Defines the relevance filter schema.\n\nAttributes:\n    results "
      "(list[RelevanceFilterItem]): The list of relevance filter items,\n        each containing "
      "the relevance decision for a chunk.";
  schema["properties"] = core::Value::parse(R"({
    "results": {
      "items": {"$ref": "#/$defs/RelevanceFilterItem"}, "title": "Results", "type": "array"
    }
  })");
  schema["required"] = {"results"};
  schema["title"] = "RelevanceFilter";
  schema["type"] = "object";
  return schema;
}

LMRelevanceFilter::LMRelevanceFilter(inference::LMInvokerPtr lm_invoker,
                                     LMRelevanceFilterOptions options) {
  check_batch_size(options.batch_size);
  detail::check_chunk_format(options.chunk_format);
  _init_lm_component(std::move(lm_invoker), std::move(options.fallback_lms));
  batch_size = options.batch_size;
  on_failure_keep_all = options.on_failure_keep_all;
  metadata = std::move(options.metadata);
  chunk_format = std::move(options.chunk_format);
}

std::unique_ptr<LMRelevanceFilter> LMRelevanceFilter::from_preset(
    inference::ModelIdArg model_id, LMRelevanceFilterPresetOptions options) {
  core::Value config = core::Value::object();
  config["response_schema"] = RelevanceFilter::model_json_schema();
  inference::FromConfigOptions from_config{.model_id = std::move(model_id),
                                           .credentials = std::move(options.credentials),
                                           .config = std::move(config),
                                           .system_template = std::move(options.system_template),
                                           .user_template = std::move(options.user_template)};
  return providers::from_config<LMRelevanceFilter>(std::move(from_config),
                                                   std::move(options.filter));
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMRelevanceFilter::_filter(
    std::vector<core::ChunkPtr> chunks, std::string query) const {
  if (chunks.empty()) co_return std::vector<core::ChunkPtr>{};
  const int size = batch_size;
  check_batch_size(size);
  const auto step = static_cast<std::size_t>(size);
  std::vector<boost::asio::awaitable<std::vector<core::ChunkPtr>>> batches;
  for (std::size_t start = 0; start < chunks.size(); start += step) {
    const auto first = chunks.begin() + static_cast<std::ptrdiff_t>(start);
    const auto last =
        chunks.begin() + static_cast<std::ptrdiff_t>(std::min(chunks.size(), start + step));
    batches.push_back(_process_batch(std::vector<core::ChunkPtr>(first, last), query));
  }
  auto gather = core::parallel_gather(std::move(batches));
  const std::vector<std::vector<core::ChunkPtr>> results = co_await std::move(gather);
  std::vector<core::ChunkPtr> relevant;
  for (const auto& kept : results) relevant.insert(relevant.end(), kept.begin(), kept.end());
  co_return relevant;
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMRelevanceFilter::_process_batch(
    std::vector<core::ChunkPtr> chunks, std::string query) const {
  std::string error;
  try {
    auto judge = judge_batch(chunks, std::move(query));
    co_return co_await std::move(judge);
  } catch (const core::ValueError& failure) {
    error = failure.what();
  }
  _logger()->warn("Using default fallback due to failed batch processing: " + error);
  if (on_failure_keep_all) co_return chunks;
  co_return std::vector<core::ChunkPtr>{};
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMRelevanceFilter::judge_batch(
    std::vector<core::ChunkPtr> chunks, std::string query) const {
  std::vector<std::string> texts;
  texts.reserve(chunks.size());
  for (const core::ChunkPtr& chunk : chunks) texts.push_back(_format_chunk(*chunk));
  core::Value variables = core::Value::object();
  variables["context"] = detail::join_chunk_texts(texts);
  inference::InvokeLMOptions options{.query = std::move(query), .variables = std::move(variables)};
  auto call = _invoke_lm(std::move(options));
  const inference::LMOutput lm_output = co_await std::move(call);
  const core::Value parsed =
      _parse_structured_output(lm_output, inference::kMaxStructuredOutputMemory);
  const auto results = parsed.is_object() ? parsed.find("results") : parsed.end();
  if (!parsed.is_object() || results == parsed.end()) {
    throw core::ValueError("Failed to parse structured output from LM.");
  }
  co_return _process_results(*results, chunks);
}

std::string LMRelevanceFilter::_format_chunk(const core::Chunk& chunk) const {
  if (const auto* formatter = std::get_if<ChunkFormatter>(&chunk_format))
    return (*formatter)(chunk);
  const std::string& templ = std::get<std::string>(chunk_format);
  core::Value arguments = core::Value::object();
  arguments["content"] = detail::content_argument(chunk);
  if (detail::has_metadata_marker(templ)) {
    arguments["metadata"] = detail::metadata_block(chunk, metadata);
  }
  detail::add_field_arguments(arguments, chunk, metadata);
  return core::py_format(templ, arguments);
}

std::vector<core::ChunkPtr> LMRelevanceFilter::_process_results(
    const core::Value& results, const std::vector<core::ChunkPtr>& chunks) const {
  return detail::relevant_chunks(results, chunks, detail::MissingVerdict::FAIL);
}

}  // namespace zelq::generation::relevance_filter
