#include "zelq/core/text_line.hpp"

#include <algorithm>

#include "zelq/core/pytext.hpp"

namespace zelq::core {

namespace {

// Appends the character at `pos` as it stands; returns the position after it.
std::size_t append_as_is(std::string& out, std::string_view text, std::size_t pos) {
  const std::size_t size = detail::decode_utf8(text, pos).size;
  out.append(text.substr(pos, size));
  return pos + size;
}

// one_line, with the characters escaped (`escape`) or as they stand.
std::string collapse(std::string_view text, std::size_t limit, bool escape) {
  std::string line;
  line.reserve(std::min(text.size(), limit + 3));
  bool pending_space = false;
  for (std::size_t pos = 0; pos < text.size();) {
    if (is_line_space(text[pos])) {
      pending_space = !line.empty();
      ++pos;
      continue;
    }
    if (pending_space) line += ' ';
    pending_space = false;
    const std::size_t before = line.size();
    pos = escape ? detail::append_repr_char(line, text, pos, 0) : append_as_is(line, text, pos);
    // The cut falls before the character (or escape) that goes past the
    // limit; the rest is never shown.
    if (line.size() > limit) {
      line.resize(before);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      return line + "...";
    }
  }
  return line;
}

}  // namespace

std::string one_line(std::string_view text, std::size_t limit) {
  return collapse(text, limit, true);
}

std::string collapsed_line(std::string_view text, std::size_t limit) {
  return collapse(text, limit, false);
}

std::string shown_text(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) pos = detail::append_repr_char(shown, text, pos, 0);
  return shown;
}

std::string as_sentence(std::string text) {
  if (text.empty() || (text.back() != '.' && text.back() != '!' && text.back() != '?')) {
    text += '.';
  }
  return text;
}

}  // namespace zelq::core
