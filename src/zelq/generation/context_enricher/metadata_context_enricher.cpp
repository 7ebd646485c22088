#include "zelq/generation/context_enricher/metadata_context_enricher.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/object_index.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::context_enricher {
namespace {

using core::ChunkPtr;
using core::Value;

// Python's default recursion limit, counting every value on the path: a
// deeper value would exhaust the stack of a recursive renderer, so it is
// refused instead.
constexpr std::size_t kMaxDepth = 1000;

constexpr std::string_view kJoiner = ", ";

}  // namespace

MetadataContextEnricher::MetadataContextEnricher(std::vector<std::string> metadata_fields,
                                                 MetadataContextEnricherOptions options)
    : metadata_fields(std::move(metadata_fields)),
      position(std::move(options.position)),
      separator(std::move(options.separator)),
      field_template(std::move(options.field_template)),
      skip_empty(options.skip_empty),
      binary_handler(core::binary_handler_factory(options.binary_handling)) {}

boost::asio::awaitable<std::vector<ChunkPtr>> MetadataContextEnricher::_enrich(
    std::vector<ChunkPtr> chunks) const {
  for (const ChunkPtr& chunk : chunks) {
    // The block first: the handler sees the metadata bytes before the content.
    std::string metadata = _merge_metadata(*chunk);
    std::optional<std::string> content = _format_content(*chunk);
    if (!content) continue;
    chunk->content = _enrich_with_metadata(std::move(*content), metadata);
  }
  co_return chunks;
}

std::string MetadataContextEnricher::_merge_metadata(const core::Chunk& chunk) const {
  if (chunk.metadata.is_null() || chunk.metadata.empty() || metadata_fields.empty()) return {};
  if (!chunk.metadata.is_object()) {
    throw core::TypeError("Chunk metadata must be a mapping, not " +
                          std::string(core::detail::py_type_name(chunk.metadata)));
  }
  std::string block;
  bool first = true;
  core::ObjectIndex metadata(chunk.metadata);
  for (const std::string& field : metadata_fields) {
    const Value* value = metadata.find(field);
    if (value == nullptr || value->is_null()) continue;
    std::string rendering = _format_metadata_value(*value);
    if (core::py_is_blank(rendering)) continue;
    Value kwargs = Value::object();
    kwargs["field"] = field;
    kwargs["value"] = std::move(rendering);
    if (!first) block += '\n';
    block += core::py_format(field_template, kwargs);
    first = false;
  }
  return block;
}

std::string MetadataContextEnricher::_format_metadata_value(const Value& value) const {
  std::string out;
  append_value(out, value, 0);
  return out;
}

// Appends the rendering of `value`. Entries and items whose rendering is
// empty are dropped by cutting the output back to where they began, so each
// level writes straight into one buffer and nesting costs no copies.
void MetadataContextEnricher::append_value(std::string& out, const Value& value,
                                           std::size_t depth) const {
  core::check_recursion_depth(depth + 1, "while formatting a metadata value", kMaxDepth);
  if (value.is_binary()) {
    append_binary(out, value.get_binary());
  } else if (value.is_object() || value.is_array()) {
    const bool mapping = value.is_object();
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      const std::size_t start = out.size();
      if (!first) out += kJoiner;
      if (mapping) {
        out += it.key();
        out += ": ";
      }
      const std::size_t body = out.size();
      append_value(out, it.value(), depth + 1);
      if (out.size() == body) {
        out.resize(start);
      } else {
        first = false;
      }
    }
  } else if (value.is_string()) {
    out += value.get_ref<const std::string&>();
  } else {
    out += core::py_str(value);
  }
}

void MetadataContextEnricher::append_binary(std::string& out, const core::Bytes& bytes) const {
  std::optional<std::string> text = binary_handler(bytes);
  if (!text) return;
  out += "<Binary> (";
  out += *text;
  out += ')';
}

std::optional<std::string> MetadataContextEnricher::_format_content(
    const core::Chunk& chunk) const {
  if (chunk.is_text()) return chunk.text();
  std::optional<std::string> text = binary_handler(chunk.bytes());
  if (!text) return std::nullopt;
  return "<Binary> (" + *text + ")";
}

std::string MetadataContextEnricher::_enrich_with_metadata(std::string content,
                                                           const std::string& metadata) const {
  if (metadata.empty()) return content;
  std::string out;
  out.reserve(metadata.size() + separator.size() + content.size());
  if (position == MetadataPosition::PREFIX.value()) {
    out.append(metadata).append(separator).append(content);
  } else {
    out.append(content).append(separator).append(metadata);
  }
  return out;
}

}  // namespace zelq::generation::context_enricher
