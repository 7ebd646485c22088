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

// `text` as one line that a terminal, a log file or a JSON writer takes as
// it stands: every run of white space (is_line_space) becomes one space,
// white space at either end is dropped, every other character that cannot
// be shown as it stands (invalid UTF-8, controls, DEL, invisible format
// characters: all that py_repr escapes) is written as py_repr writes it
// ("\x1b", "\u200b", "\xff" for an invalid byte), and a line longer than
// `limit` bytes is cut before the character or escape that goes past it,
// with "..." appended. The result is valid UTF-8 and holds no control byte.
// Every text the library shows on one line goes through it. Throws nothing
// but std::bad_alloc.
std::string one_line(std::string_view text, std::size_t limit = kOneLineLimit);

// one_line without the escaping, for a caller that escapes the line itself
// (py_repr of it): the characters stand as they are, the cut falls on a
// character boundary.
std::string collapsed_line(std::string_view text, std::size_t limit = kOneLineLimit);

// `text` whole, its lines kept, with every character that one_line escapes
// escaped in the same way; the white space of a line stands as it is.
std::string shown_text(std::string_view text);

// `text` ended as a sentence: with a full stop appended unless it already
// ends with ".", "!" or "?" (so that "... unavailable." followed by a
// further sentence never shows "..").
std::string as_sentence(std::string text);

}  // namespace zelq::core
