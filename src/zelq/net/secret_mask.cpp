// mask_secret: hiding a key in a text a server sent, also where the text
// holds it JSON-escaped ("sk-\u0070robe", "a\/b"), once or several times
// over, and also where white space breaks it (a key hard-wrapped in a
// plain-text page, which reads back once the text is put on one line). The
// text is read as a stream of bytes, each carrying the span of
// the text it stands for; a chain of JSON decoders turns each stream into
// the next, and a matcher per stream finds the key in it. Every byte of a
// span that holds the key is hidden. Each stage does constant work per byte
// it is given, so the whole is linear in the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zelq/core/text_line.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::net {

namespace {

constexpr std::string_view kMask = "***";
// Decoding stops after this many levels: a key escaped nine times over takes
// 256 backslashes per character, which no reader decodes.
constexpr int kMaxLevels = 8;

// One byte of a stream and the span [begin, end) of the text it stands for.
struct Unit {
  char byte;
  std::size_t begin;
  std::size_t end;
};

using Span = std::pair<std::size_t, std::size_t>;

// The bytes of `key` that masking compares: all but its white space.
std::string pattern_of(std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size());
  for (const char c : key) {
    if (!core::is_line_space(c)) pattern += c;
  }
  return pattern;
}

// Knuth-Morris-Pratt over one stream: the spans of every occurrence of the
// key's pattern (pattern_of), overlapping ones merged. White space in the
// stream is passed over, as one-lining collapses it: inside an occurrence
// it only breaks the key for the eye, and the span hides it with the key.
class Matcher {
 public:
  // `key` is a pattern (pattern_of: not empty, no white space) that
  // outlives the matcher.
  explicit Matcher(std::string_view key) : key_(key), fail_(key.size(), 0), begins_(key.size()) {
    for (std::size_t i = 1, k = 0; i < key.size(); ++i) {
      while (k > 0 && key[i] != key[k]) k = fail_[k - 1];
      if (key[i] == key[k]) ++k;
      fail_[i] = k;
    }
  }

  void put(const Unit& unit) {
    if (core::is_line_space(unit.byte)) return;
    begins_[count_++ % key_.size()] = unit.begin;
    while (matched_ > 0 && unit.byte != key_[matched_]) matched_ = fail_[matched_ - 1];
    if (unit.byte == key_[matched_]) ++matched_;
    if (matched_ < key_.size()) return;
    const std::size_t begin = begins_[count_ % key_.size()];
    if (!spans_.empty() && begin < spans_.back().second) {
      spans_.back().second = std::max(spans_.back().second, unit.end);
    } else {
      spans_.emplace_back(begin, unit.end);
    }
    matched_ = fail_[matched_ - 1];
  }

  std::vector<Span>& spans() { return spans_; }

 private:
  std::string_view key_;
  std::vector<std::size_t> fail_;
  // The begins of the last key.size() units, by count modulo key.size().
  std::vector<std::size_t> begins_;
  std::size_t count_ = 0;
  std::size_t matched_ = 0;
  std::vector<Span> spans_;
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char simple_escape(char c) {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '/':
      return '/';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

// One level of JSON string decoding over a stream, passing its output to a
// matcher and to the next level. A backslash that starts no valid escape
// (a lone surrogate included) stands for itself.
class Decoder {
 public:
  Decoder(Matcher& matcher, Decoder* next) : matcher_(matcher), next_(next) {}

  void put(const Unit& unit) {
    if (pending_.empty()) {
      if (unit.byte == '\\') {
        pending_.push_back(unit);
      } else {
        emit(unit);
      }
      return;
    }
    pending_.push_back(unit);
    step();
  }

  void finish() {
    while (!pending_.empty()) give_up();
    if (next_ != nullptr) next_->finish();
  }

 private:
  void emit(const Unit& unit) {
    matcher_.put(unit);
    if (next_ != nullptr) next_->put(unit);
  }

  // Decides on the pending escape once it is whole or cannot become one.
  void step() {
    const std::size_t n = pending_.size();
    if (n == 2 && pending_[1].byte != 'u') {
      const char c = simple_escape(pending_[1].byte);
      if (c == 0) return give_up();
      const Unit decoded{c, pending_[0].begin, pending_[1].end};
      pending_.clear();
      return emit(decoded);
    }
    // "\uXXXX", then "\uXXXX" again for the low half of a surrogate pair.
    const std::size_t at = n <= 6 ? n - 1 : n - 7;
    if (n > 6 && at < 2) {
      if (pending_[n - 1].byte != (at == 0 ? '\\' : 'u')) return give_up();
      return;
    }
    if (at >= 2 && hex_value(pending_[n - 1].byte) < 0) return give_up();
    if (at != 5) return;
    const std::uint32_t unit = code_unit(n - 6);
    if (n == 6) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) return give_up();
      if (unit >= 0xD800 && unit <= 0xDBFF) return;  // wait for the low half
      return decoded(unit);
    }
    if (unit < 0xDC00 || unit > 0xDFFF) return give_up();
    decoded(0x10000 + ((code_unit(0) - 0xD800) << 10) + (unit - 0xDC00));
  }

  // The four hex digits after the "\u" that starts at pending_[from].
  std::uint32_t code_unit(std::size_t from) const {
    std::uint32_t value = 0;
    for (std::size_t i = from + 2; i < from + 6; ++i) {
      value = value * 16 + static_cast<std::uint32_t>(hex_value(pending_[i].byte));
    }
    return value;
  }

  // The UTF-8 bytes of `code_point`, each standing for the whole escape.
  void decoded(std::uint32_t code_point) {
    const std::size_t begin = pending_.front().begin;
    const std::size_t end = pending_.back().end;
    pending_.clear();
    char bytes[4];
    std::size_t size = 0;
    if (code_point < 0x80) {
      bytes[size++] = static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      bytes[size++] = static_cast<char>(0xC0 | (code_point >> 6));
      bytes[size++] = static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      bytes[size++] = static_cast<char>(0xE0 | (code_point >> 12));
      bytes[size++] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      bytes[size++] = static_cast<char>(0xF0 | (code_point >> 18));
      bytes[size++] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[size++] = static_cast<char>(0x80 | (code_point & 0x3F));
    }
    for (std::size_t i = 0; i < size; ++i) emit(Unit{bytes[i], begin, end});
  }

  // The pending backslash stands for itself; what followed it is read
  // again. At most twelve units are pending, and each is read again at most
  // twice, so the work stays linear.
  void give_up() {
    std::vector<Unit> rest(pending_.begin() + 1, pending_.end());
    const Unit backslash = pending_.front();
    pending_.clear();
    emit(backslash);
    for (const Unit& unit : rest) put(unit);
  }

  Matcher& matcher_;
  Decoder* next_;
  std::vector<Unit> pending_;
};

// How many levels of decoding could show a key: a character escaped at
// level L is preceded by 2^(L-1) backslashes.
int levels_for(std::string_view text) {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '\\') {
      ++i;
      continue;
    }
    std::size_t run = 0;
    while (i < text.size() && text[i] == '\\') ++run, ++i;
    longest = std::max(longest, run);
  }
  int levels = 0;
  while (longest > 0 && levels < kMaxLevels) ++levels, longest >>= 1;
  return levels;
}

// Adds the spans of `pattern` in `text` to `spans`, at every level of JSON
// escaping up to `levels`.
void find_spans(std::string_view text, std::string_view pattern, int levels,
                std::vector<Span>& spans) {
  std::vector<Matcher> matchers(static_cast<std::size_t>(levels) + 1, Matcher(pattern));
  std::vector<Decoder> decoders;
  decoders.reserve(static_cast<std::size_t>(levels));
  for (int level = levels; level >= 1; --level) {
    decoders.emplace_back(matchers[static_cast<std::size_t>(level)],
                          decoders.empty() ? nullptr : &decoders.back());
  }
  Decoder* first = decoders.empty() ? nullptr : &decoders.back();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const Unit unit{text[i], i, i + 1};
    matchers[0].put(unit);
    if (first != nullptr) first->put(unit);
  }
  if (first != nullptr) first->finish();
  for (Matcher& matcher : matchers) {
    spans.insert(spans.end(), matcher.spans().begin(), matcher.spans().end());
  }
}

}  // namespace

std::string mask_secrets(std::string_view text, std::span<const std::string> secrets) {
  std::vector<Span> spans;
  std::optional<int> levels;
  for (const std::string& secret : secrets) {
    const std::string pattern = pattern_of(secret);
    if (pattern.empty() || text.size() < pattern.size()) continue;
    if (!levels) levels = levels_for(text);
    find_spans(text, pattern, *levels, spans);
  }
  if (spans.empty()) return std::string(text);
  std::sort(spans.begin(), spans.end());
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  for (std::size_t i = 0; i < spans.size();) {
    auto [begin, end] = spans[i];
    for (++i; i < spans.size() && spans[i].first < end; ++i) end = std::max(end, spans[i].second);
    out.append(text.substr(at, begin - at)).append(kMask);
    at = end;
  }
  out.append(text.substr(at));
  return out;
}

std::string mask_secret(std::string_view text, std::string_view secret) {
  const std::string key(secret);
  return mask_secrets(text, std::span(&key, 1));
}

}  // namespace zelq::net
