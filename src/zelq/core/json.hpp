// Parsing JSON text that comes from outside the process (model answers,
// server bodies, streamed event data, service records). Such text is
// untrusted: nesting is bounded while parsing, so a hostile document cannot
// exhaust the stack of any later recursive walk over the value.
#pragma once

#include <cstddef>
#include <string_view>

#include "zelq/core/errors.hpp"
#include "zelq/core/value.hpp"

namespace zelq::core {

// The deepest nesting of arrays and objects accepted in outside JSON.
inline constexpr std::size_t kMaxJsonDepth = 512;

// CPython's default recursion limit: the deepest nesting of arrays and
// objects that the library's recursive walks over a Value (repr, str,
// json.dumps, equality, hashing) take, as CPython renders and compares
// values that deep. CPython counts its caller's frames too, so there such a
// walk fails a few levels earlier (from a module's top level, repr at 998
// levels); here nothing else counts. nlohmann's own copy, comparison and
// dump recurse without a bound: a value the application builds much deeper
// can still exhaust the stack there, so applications keep their values
// within this bound; values parsed by parse_json always are.
inline constexpr std::size_t kMaxRecursionDepth = 1000;

// The value of an outside JSON text would hold more memory than its budget:
// a refusal over a limit (OverLimit), which no retry repeats.
class JsonMemoryError : public OverLimitError<RuntimeError> {
 public:
  using OverLimitError<RuntimeError>::OverLimitError;
};

// Parses `text`, its value held to `max_memory` bytes of heap: the budget of
// the client or component the text came to, which every parse of outside
// bytes passes (there is no unlimited form). Text that is not JSON gives a
// discarded Value (`is_discarded()`), so each caller keeps its own wording
// for that case. Nesting deeper than kMaxJsonDepth throws ValueError
// "<source> is nested deeper than 512 levels", detected while parsing,
// before any deeper level is built.
// Objects are read in time linear in their keys; a repeated key keeps its
// first position and takes its last value ({"a":1,"b":2,"a":3} reads as
// {"a":3,"b":2}), as Python's json module reads it.
// The budget counts the value's strings, arrays, objects and members as the
// allocator hands them out, the room arrays and objects keep for growth and
// the spare buffers that growing or merging takes for a moment. A value in
// memory takes several times its text (16 bytes for each `0,`, 64 for each
// `"",`), so this, not the text's size, bounds what a parse costs. Past the
// budget, parsing stops before more is built and throws JsonMemoryError
// "<source> needs more than <n> bytes of memory once parsed"; what was built
// is freed.
Value parse_json(std::string_view text, std::string_view source, std::size_t max_memory);

// Parses JSON text of the application's own (a catalog record), with the
// nesting bound of parse_json and no memory budget; text that is not JSON
// throws Value::parse_error with the parser's description of the fault, as
// Value::parse does. Never for bytes that came from outside.
Value parse_json_or_throw(std::string_view text, std::string_view source);

namespace detail {
[[noreturn]] void throw_recursion_error(std::string_view context);
}  // namespace detail

// Guards one level of a recursive walk over a Value. `level` is how deep the
// walk is (the library's walks count the arrays and objects entered, this
// one included). Beyond `limit` it throws RuntimeError "maximum recursion
// depth exceeded <context>" (Python's RecursionError text, for example
// context "in comparison"), before the stack runs out.
inline void check_recursion_depth(std::size_t level, std::string_view context,
                                  std::size_t limit = kMaxRecursionDepth) {
  if (level > limit) detail::throw_recursion_error(context);
}

}  // namespace zelq::core
