// How the language-model relevance filters write a batch of chunks as one
// context text: the pieces both filters share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/object_index.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/relevance_filter/chunk_format.hpp"

namespace zelq::generation::relevance_filter {

namespace detail {

// Stands where the content of a chunk that is not text would be.
inline constexpr std::string_view BINARY_CONTENT = "(Binary content)";
// The value of a metadata field that the chunk's metadata lacks.
inline constexpr std::string_view EMPTY_FIELD = "<empty>";
// Its presence in a template selects the metadata block argument.
inline constexpr std::string_view METADATA_MARKER = "{metadata}";
// Between two rendered chunks of a batch.
inline constexpr std::string_view CHUNK_SEPARATOR = "\n\n";

// Throws ValueError "The chunk_format function must not be empty." for a
// ChunkFormatter that holds no function.
void check_chunk_format(const ChunkFormat& chunk_format);

// True when the template text contains "{metadata}" exactly.
bool has_metadata_marker(std::string_view templ) noexcept;

// The `content` template argument: the text of a text chunk, otherwise
// "(Binary content)".
core::Value content_argument(const core::Chunk& chunk);

// The chunk's metadata value for `field`, looked up in `metadata` (an index
// of the chunk's metadata), or "<empty>" when the key is absent or the
// chunk's metadata is not an object. A present null stays null (and is
// written "None").
core::Value field_value(core::ObjectIndex& metadata, const std::string& field);

// Sets arguments[field] to the chunk's field_value for each of `fields` in
// order, as Python assigns dict items: a key already present (a repeated
// field, or "content") keeps its position. `arguments` must be an object.
// Linear in the fields and the chunk's metadata together.
void add_field_arguments(core::Value& arguments, const core::Chunk& chunk,
                         const std::vector<std::string>& fields);

// The metadata block: empty when `fields` is empty or the chunk has no
// metadata (an empty or non-object value); otherwise "\nMetadata:\n" and one
// line "- <field>: <str of field_value>" per configured field, in configured
// order, joined with "\n" (no line break after the last).
std::string metadata_block(const core::Chunk& chunk, const std::vector<std::string>& fields);

// The chunk texts joined with "\n\n", nothing before the first or after the
// last.
std::string join_chunk_texts(const std::vector<std::string>& texts);

// "Mismatch between results length (<results>) and candidate chunks length
// (<chunks>)."
std::string mismatch_message(std::size_t results, std::size_t chunks);

// What a verdict object without an "is_relevant" key means.
enum class MissingVerdict { DROP, FAIL };

// The chunks of `chunks` whose verdict in `results` (the model's "results"
// list, one object per chunk in order) has a truthy "is_relevant", in input
// order. Throws ValueError "Expected list, got <class '<type>'>" when
// `results` is not a list, mismatch_message when the lengths differ,
// "Malformed relevance for chunk: <repr>" for the first verdict that is not
// an object, and, with MissingVerdict::FAIL, "Missing 'is_relevant' key in
// result" for the first verdict without the key (MissingVerdict::DROP drops
// that chunk instead). Verdicts are checked in order; the first fault wins.
std::vector<core::ChunkPtr> relevant_chunks(const core::Value& results,
                                            const std::vector<core::ChunkPtr>& chunks,
                                            MissingVerdict missing);

}  // namespace detail
}  // namespace zelq::generation::relevance_filter
