#include "zelq/core/text_line.hpp"

#include <algorithm>

namespace zelq::core {

namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string one_line(std::string_view text, std::size_t limit) {
  std::string line;
  line.reserve(std::min(text.size(), limit + 3));
  bool pending_space = false;
  for (const char c : text) {
    if (is_line_space(c)) {
      pending_space = !line.empty();
      continue;
    }
    if (pending_space) line += ' ';
    pending_space = false;
    line += c;
    // Collapsing stops once the cut is certain; the rest is never shown.
    if (line.size() > limit) break;
  }
  if (line.size() <= limit) return line;
  std::size_t cut = limit;
  while (cut > 0 && is_continuation(line[cut])) --cut;
  line.resize(cut);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + "...";
}

std::string as_sentence(std::string text) {
  if (text.empty() || (text.back() != '.' && text.back() != '!' && text.back() != '?')) {
    text += '.';
  }
  return text;
}

}  // namespace zelq::core
