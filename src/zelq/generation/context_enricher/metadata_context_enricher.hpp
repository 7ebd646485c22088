// MetadataContextEnricher: writes chosen metadata fields of each chunk into
// the chunk's content, before or after the text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/context_enricher/context_enricher.hpp"

namespace zelq::generation::context_enricher {

// Where the metadata block goes, before or after the content. A text
// enumeration: each member
// converts implicitly to its value and compares equal to that exact text
// (case-sensitive), so `position` may hold either.
class MetadataPosition {
 public:
  // The metadata block goes before the content: "prefix".
  static const MetadataPosition PREFIX;
  // The metadata block goes after the content: "suffix".
  static const MetadataPosition SUFFIX;

  constexpr std::string_view value() const noexcept { return value_; }
  constexpr operator std::string_view() const noexcept { return value_; }  // NOLINT: a text enum
  operator std::string() const { return std::string(value_); }             // NOLINT: a text enum

  friend constexpr bool operator==(MetadataPosition a, MetadataPosition b) noexcept {
    return a.value_ == b.value_;
  }
  friend constexpr bool operator==(MetadataPosition a, std::string_view b) noexcept {
    return a.value_ == b;
  }

 private:
  constexpr explicit MetadataPosition(std::string_view value) noexcept : value_(value) {}

  std::string_view value_;
};

inline constexpr MetadataPosition MetadataPosition::PREFIX{"prefix"};
inline constexpr MetadataPosition MetadataPosition::SUFFIX{"suffix"};

// Constructor options of MetadataContextEnricher, after the required field
// names, in parameter order.
struct MetadataContextEnricherOptions {
  // Where the block goes. "prefix" (exactly) puts it first; any other text,
  // "suffix" included, puts it last.
  std::string position = MetadataPosition::PREFIX;
  // Placed between the block and the content.
  std::string separator = "\n---\n";
  // One line of the block, filled through py_format with the named fields
  // `field` (the field name) and `value` (the rendered value).
  std::string field_template = "- {field}: {value}";
  // Kept for callers that set it; blank values are always left out.
  bool skip_empty = true;
  // How byte values and byte contents are written: base64 or hexadecimal
  // text, or left out ("none").
  core::BinaryHandlingStrategy binary_handling = core::BinaryHandlingStrategy::BASE64;
};

// Renders the configured metadata fields of each chunk as a block of lines,
// one per field whose value is present and not blank, in the order of
// `metadata_fields`, and joins the block to the chunk's text with the
// separator. Values are rendered by type: bytes through the binary handler
// as "<Binary> (<text>)", mappings as "key: value" entries and lists as items,
// both flattened at every depth and joined with ", " (empty renderings
// dropped), anything else in its Python str() form.
//
// The enriched text replaces the content of the caller's own chunks. A byte
// content is written through the binary handler as "<Binary> (<text>)"; when
// the handler leaves bytes out (strategy "none") a chunk whose content is
// bytes keeps its content unchanged, so its data is never lost, and that
// chunk gets no metadata block: there is no text to write it into.
//
// The public members are read at each call and may be changed between
// calls; a call changes nothing in the enricher, so one enricher may serve
// several calls at once (on distinct chunks).
class MetadataContextEnricher : public BaseContextEnricher {
 public:
  // Stores the settings as given; nothing is validated. Throws what
  // binary_handler_factory throws for the strategy.
  explicit MetadataContextEnricher(std::vector<std::string> metadata_fields,
                                   MetadataContextEnricherOptions options = {});

  std::string class_name() const override { return "MetadataContextEnricher"; }

  // Names of the fields to render; a name given twice gives two lines.
  std::vector<std::string> metadata_fields;
  // Compared with MetadataPosition::PREFIX at each call.
  std::string position;
  std::string separator;
  std::string field_template;
  // Read by no operation.
  bool skip_empty = true;
  // Made from the strategy at construction. A nullopt result leaves the
  // value out; a handler that throws fails the call.
  core::BinaryHandler binary_handler;

 protected:
  // Enriches every chunk in list order and returns the same list. A chunk's
  // content is assigned only once its block and content are both rendered,
  // so when rendering fails (a template naming another field, a bad format
  // spec, a throwing handler, nesting beyond 1000 levels) the chunks before
  // it hold their new content and it and the rest are unchanged. Never
  // suspends.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _enrich(
      std::vector<core::ChunkPtr> chunks) const override;

  // The chunk's metadata block: one line per field in `metadata_fields`
  // whose value is not null and whose rendering is not blank (Python's
  // Unicode whitespace), joined with "\n"; "" when there is none. Throws the
  // py_format errors of the template (KeyError, IndexError, ValueError,
  // TypeError) on the first line built, and TypeError when the metadata is
  // neither null nor a mapping.
  std::string _merge_metadata(const core::Chunk& chunk) const;

  // One metadata value as text, recursively (see the class comment). Throws
  // RuntimeError "maximum recursion depth exceeded while formatting a
  // metadata value" for values nested deeper than 1000 levels.
  std::string _format_metadata_value(const core::Value& value) const;

  // The chunk's content as text: a text as it is, bytes as "<Binary> (" +
  // handler text + ")"; nullopt when the content is bytes that the handler
  // leaves out (the content is then kept as it is, without a block).
  std::optional<std::string> _format_content(const core::Chunk& chunk) const;

  // `content` unchanged when `metadata` is empty; otherwise metadata +
  // separator + content for the prefix position, content + separator +
  // metadata for any other.
  std::string _enrich_with_metadata(std::string content, const std::string& metadata) const;

 private:
  void append_value(std::string& out, const core::Value& value, std::size_t depth) const;
  void append_binary(std::string& out, const core::Bytes& bytes) const;
};

}  // namespace zelq::generation::context_enricher
