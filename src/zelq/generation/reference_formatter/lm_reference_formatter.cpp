#include "zelq/generation/reference_formatter/lm_reference_formatter.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <utility>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/reference_formatter/detail/value_equality.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::reference_formatter {

namespace detail {
namespace {

using core::ChunkPtr;
using core::Value;

// The title JSON Schema gives a member: Python's str.title() of the name with
// underscores as spaces ("file_name" -> "File Name"). Bytes of non-ASCII
// characters are kept and count as letters.
std::string member_title(const std::string& name) {
  std::string title;
  bool after_letter = false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool letter = std::isalpha(byte) || byte >= 0x80;
    if (byte < 0x80 && std::isalpha(byte)) {
      title += static_cast<char>(after_letter ? std::tolower(byte) : std::toupper(byte));
    } else {
      title += c == '_' ? ' ' : c;
    }
    after_letter = letter;
  }
  return title;
}

// A reference into the chunk's metadata, not a copy: metadata can be nested
// deeper than a recursive copy can go, and the readers below refuse that
// with an error instead.
const Value& metadata_value(const core::Chunk& chunk, const std::string& key) {
  static const Value kNone;
  const auto it = chunk.metadata.find(key);
  return it == chunk.metadata.end() ? kNone : *it;
}

}  // namespace

std::vector<std::vector<ChunkPtr>> make_batches(const std::vector<ChunkPtr>& chunks,
                                                int batch_size) {
  if (batch_size == 0) throw core::ValueError("range() arg 3 must not be zero");
  std::vector<std::vector<ChunkPtr>> batches;
  if (batch_size < 0) return batches;
  const auto size = static_cast<std::size_t>(batch_size);
  for (std::size_t start = 0; start < chunks.size(); start += size) {
    const std::size_t end = std::min(chunks.size(), start + size);
    batches.emplace_back(chunks.begin() + static_cast<std::ptrdiff_t>(start),
                         chunks.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return batches;
}

std::string format_reference_context(const std::vector<ChunkPtr>& chunks, const std::string& key) {
  std::string context;
  for (const ChunkPtr& chunk : chunks) {
    if (!context.empty()) context += "\n\n";
    context +=
        "<Chunk>\n" + key + ": " + core::py_str(metadata_value(*chunk, key)) + "\ncontent:\n" +
        (chunk->is_text() ? chunk->text() : core::py_bytes_repr(chunk->bytes())) + "\n</Chunk>";
  }
  return context;
}

std::vector<ChunkPtr> select_listed(const std::vector<ChunkPtr>& batch, const std::string& key,
                                    const Value& selected) {
  std::vector<ChunkPtr> chosen;
  if (!selected.is_array()) return chosen;
  const PyValueSet names(selected.begin(), selected.end());
  for (const ChunkPtr& chunk : batch) {
    if (names.contains(metadata_value(*chunk, key))) chosen.push_back(chunk);
  }
  return chosen;
}

boost::asio::awaitable<std::vector<ChunkPtr>> gather_batch_selections(
    std::vector<boost::asio::awaitable<std::vector<ChunkPtr>>> batches) {
  auto gather = core::parallel_gather(std::move(batches));
  std::vector<ChunkPtr> selected;
  for (auto& batch : co_await std::move(gather)) {
    selected.insert(selected.end(), batch.begin(), batch.end());
  }
  co_return selected;
}

Value relevant_chunks_schema(const std::string& key) {
  Value member = {{"items", {{"type", "string"}}}, {"title", member_title(key)}, {"type", "array"}};
  return {{"properties", {{key, std::move(member)}}},
          {"required", Value::array({key})},
          {"title", "RelevantChunks"},
          {"type", "object"}};
}

}  // namespace detail

LMReferenceFormatter::LMReferenceFormatter(inference::LMInvokerPtr lm_invoker,
                                           LMReferenceFormatterOptions options)
    : BaseReferenceFormatter(
          {.stringify = options.stringify,
           .format_references_func = std::move(options.format_references_func),
           .format_chunk_func = std::move(options.format_chunk_func),
           .format_chunk_metadata_map = std::move(options.format_chunk_metadata_map),
           .streamable = options.streamable}),
      batch_size(options.batch_size),
      reference_metadata(std::move(options.reference_metadata)) {
  _init_lm_component(std::move(lm_invoker), std::move(options.fallback_lms),
                     std::move(options.prompt_builder));
}

std::unique_ptr<LMReferenceFormatter> LMReferenceFormatter::from_preset(
    inference::ModelIdArg model_id, LMReferenceFormatterOptions options, core::Value credentials) {
  core::Value schema = detail::relevant_chunks_schema(options.reference_metadata);
  return providers::from_config<LMReferenceFormatter>(
      {.model_id = std::move(model_id),
       .credentials = std::move(credentials),
       .config = {{"response_schema", std::move(schema)}}},
      std::move(options));
}

std::set<std::string, std::less<>> LMReferenceFormatter::prompt_vars() const {
  return {"response", "context"};
}

std::optional<std::string> LMReferenceFormatter::default_system_template() const {
  return std::string(detail::DEFAULT_SYSTEM_TEMPLATE);
}

std::optional<std::string> LMReferenceFormatter::default_user_template() const {
  return std::string();
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMReferenceFormatter::_get_relevant_chunks(
    std::string response, std::vector<core::ChunkPtr> chunks) const {
  if (chunks.empty()) co_return std::vector<core::ChunkPtr>{};
  std::vector<boost::asio::awaitable<std::vector<core::ChunkPtr>>> batches;
  for (auto& batch : detail::make_batches(chunks, batch_size)) {
    batches.push_back(_process_batch(std::move(batch), response));
  }
  auto gather = detail::gather_batch_selections(std::move(batches));
  co_return co_await std::move(gather);
}

boost::asio::awaitable<std::vector<core::ChunkPtr>> LMReferenceFormatter::_process_batch(
    std::vector<core::ChunkPtr> chunks, std::string response) const {
  const std::string key = reference_metadata;
  inference::InvokeLMOptions options{
      .variables = {{"response", std::move(response)}, {"context", _format_context(chunks)}}};
  auto invoke = _invoke_lm(std::move(options));
  const inference::LMOutput output = co_await std::move(invoke);
  const core::Value parsed =
      _parse_structured_output(output, inference::kMaxStructuredOutputMemory);
  const auto selected = parsed.is_object() ? parsed.find(key) : parsed.end();
  co_return detail::select_listed(chunks, key,
                                  selected == parsed.end() ? core::Value(nullptr) : *selected);
}

std::string LMReferenceFormatter::_format_context(const std::vector<core::ChunkPtr>& chunks) const {
  return detail::format_reference_context(chunks, reference_metadata);
}

}  // namespace zelq::generation::reference_formatter
