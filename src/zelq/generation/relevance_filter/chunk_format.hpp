// How the language-model relevance filters are told to write one chunk of a
// batch.
#pragma once

#include <functional>
#include <string>
#include <variant>

#include "zelq/core/chunk.hpp"

namespace zelq::generation::relevance_filter {

// Writes one chunk as its whole context text.
using ChunkFormatter = std::function<std::string(const core::Chunk&)>;

// The text of one chunk: a template filled through Python's str.format rules
// (core::py_format) with named arguments, or a function that writes the whole
// text itself.
using ChunkFormat = std::variant<std::string, ChunkFormatter>;

}  // namespace zelq::generation::relevance_filter
