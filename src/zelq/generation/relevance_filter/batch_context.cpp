#include "zelq/generation/relevance_filter/detail/batch_context.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/object_index.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::relevance_filter::detail {

void check_chunk_format(const ChunkFormat& chunk_format) {
  const auto* formatter = std::get_if<ChunkFormatter>(&chunk_format);
  if (formatter && !*formatter) {
    throw core::ValueError("The chunk_format function must not be empty.");
  }
}

bool has_metadata_marker(std::string_view templ) noexcept {
  return templ.find(METADATA_MARKER) != std::string_view::npos;
}

core::Value content_argument(const core::Chunk& chunk) {
  if (chunk.is_text()) return chunk.text();
  return std::string(BINARY_CONTENT);
}

core::Value field_value(core::ObjectIndex& metadata, const std::string& field) {
  if (const core::Value* value = metadata.find(field)) return *value;
  return std::string(EMPTY_FIELD);
}

void add_field_arguments(core::Value& arguments, const core::Chunk& chunk,
                         const std::vector<std::string>& fields) {
  core::ObjectBuilder builder(arguments);
  core::ObjectIndex metadata(chunk.metadata);
  for (const std::string& field : fields) builder[field] = field_value(metadata, field);
}

std::string metadata_block(const core::Chunk& chunk, const std::vector<std::string>& fields) {
  if (fields.empty() || !chunk.metadata.is_object() || chunk.metadata.empty()) return {};
  core::ObjectIndex metadata(chunk.metadata);
  std::string block = "\nMetadata:\n";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) block += "\n";
    block += "- " + fields[i] + ": " + core::py_str(field_value(metadata, fields[i]));
  }
  return block;
}

std::string join_chunk_texts(const std::vector<std::string>& texts) {
  std::string joined;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) joined += CHUNK_SEPARATOR;
    joined += texts[i];
  }
  return joined;
}

std::string mismatch_message(std::size_t results, std::size_t chunks) {
  return "Mismatch between results length (" + std::to_string(results) +
         ") and candidate chunks length (" + std::to_string(chunks) + ").";
}

std::vector<core::ChunkPtr> relevant_chunks(const core::Value& results,
                                            const std::vector<core::ChunkPtr>& chunks,
                                            MissingVerdict missing) {
  if (!results.is_array()) {
    throw core::ValueError("Expected list, got <class '" +
                           std::string(core::detail::py_type_name(results)) + "'>");
  }
  if (results.size() != chunks.size()) {
    throw core::ValueError(mismatch_message(results.size(), chunks.size()));
  }
  std::vector<core::ChunkPtr> relevant;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const core::Value& verdict = results[i];
    if (!verdict.is_object()) {
      throw core::ValueError("Malformed relevance for chunk: " + core::py_repr(verdict));
    }
    const auto value = verdict.find("is_relevant");
    if (value == verdict.end()) {
      if (missing == MissingVerdict::FAIL) {
        throw core::ValueError("Missing 'is_relevant' key in result");
      }
      continue;
    }
    if (core::py_truthy(*value)) relevant.push_back(chunks[i]);
  }
  return relevant;
}

}  // namespace zelq::generation::relevance_filter::detail
