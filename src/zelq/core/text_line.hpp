// Texts that must read as one line: a failure's reason in a log line or an
// event, a server's answer quoted in an error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zelq::core {

// The default length limit of one_line(), in bytes.
inline constexpr std::size_t kOneLineLimit = 300;

// The white space of a line: space, tab, line feed, carriage return,
// vertical tab and form feed. one_line() collapses exactly these, and the
// masking of a key in a text passes over exactly these, so that no key
// reads back once its text is on one line.
constexpr bool is_line_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// `text` as one line: every run of white space (is_line_space) becomes one
// space, white space at either end is dropped, and a text longer than
// `limit` bytes is cut at a UTF-8 character boundary with "..." appended.
// Throws nothing but std::bad_alloc.
std::string one_line(std::string_view text, std::size_t limit = kOneLineLimit);

// `text` ended as a sentence: with a full stop appended unless it already
// ends with ".", "!" or "?" (so that "... unavailable." followed by a
// further sentence never shows "..").
std::string as_sentence(std::string text);

}  // namespace zelq::core
