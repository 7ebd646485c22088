// Parsing JSON text that comes from outside the process (model answers,
// server bodies, streamed event data, service records). Such text is
// untrusted: nesting is bounded while parsing, so a hostile document cannot
// exhaust the stack of any later recursive walk over the value.
#pragma once

#include <cstddef>
#include <string_view>

#include "zelq/core/value.hpp"

namespace zelq::core {

// The deepest nesting of arrays and objects accepted in outside JSON, and
// the deepest a value may be for the library's recursive functions (hash,
// equality, repr, dumps).
inline constexpr std::size_t kMaxJsonDepth = 512;

// Parses `text`. Text that is not JSON gives a discarded Value
// (`is_discarded()`), so each caller keeps its own wording for that case.
// Nesting deeper than kMaxJsonDepth throws ValueError
// "<source> is nested deeper than 512 levels", detected while parsing,
// before any deeper level is built.
Value parse_json(std::string_view text, std::string_view source);

}  // namespace zelq::core
