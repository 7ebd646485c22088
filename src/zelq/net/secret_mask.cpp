// mask_secret: hiding a key in a text a server sent, also where the text
// holds it escaped (JSON's "sk-\u0070robe" and "a\/b", Python's "\x0b" and
// "\U0001f600"), once or several times over, and also where something that
// is never shown as it stands breaks it: white space (a key hard-wrapped in a
// plain-text page, which reads back once the text is put on one line), and
// what one-lining escapes (controls, invisible format characters, invalid
// UTF-8), which a terminal shows as nothing. The text is read as a stream
// of characters, each carrying the span of the text it stands for; a chain
// of decoders of escapes turns each stream into the next, and a matcher per
// stream finds the key in it. Every byte of a span that holds the key is
// hidden. Each stage does constant work per character it is given, so the
// whole is linear in the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zelq/core/pytext.hpp"
#include "zelq/core/text_line.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::net {

namespace {

constexpr std::string_view kMask = "***";
// Decoding stops after this many levels: a key escaped nine times over takes
// 256 backslashes per character, which no reader decodes.
constexpr int kMaxLevels = 8;
// An invalid UTF-8 byte of the text.
constexpr char32_t kInvalidByte = 0xFFFFFFFF;

// One character of a stream and the span [begin, end) of the text it stands
// for.
struct Unit {
  char32_t code_point;
  std::size_t begin;
  std::size_t end;
};

using Span = std::pair<std::size_t, std::size_t>;

// What masking passes over, in the key and in the text: what one-lining
// collapses or escapes, since a reader sees nothing of it.
bool counts_as_nothing(char32_t code_point) {
  if (code_point < 0x80)
    return core::is_line_space(static_cast<char>(code_point)) ||
           !core::detail::is_printable(code_point);
  return code_point == kInvalidByte || !core::detail::is_printable(code_point);
}

// Calls `put(unit)` for every character of `text`.
template <class Put>
void for_each_character(std::string_view text, Put&& put) {
  for (std::size_t pos = 0; pos < text.size();) {
    const core::detail::Utf8Char ch = core::detail::decode_utf8(text, pos);
    put(Unit{ch.valid ? ch.code_point : kInvalidByte, pos, pos + ch.size});
    pos += ch.size;
  }
}

// The characters of `key` that masking compares: all but those that count
// as nothing.
std::u32string pattern_of(std::string_view key) {
  std::u32string pattern;
  for_each_character(key, [&](const Unit& unit) {
    if (!counts_as_nothing(unit.code_point)) pattern += unit.code_point;
  });
  return pattern;
}

// Knuth-Morris-Pratt over one stream: the spans of every occurrence of the
// key's pattern (pattern_of), overlapping ones merged. What counts as
// nothing in the stream is passed over: inside an occurrence it only breaks
// the key for the eye, and the span hides it with the key.
class Matcher {
 public:
  // `key` is a pattern (pattern_of, not empty) that outlives the matcher.
  explicit Matcher(std::u32string_view key) : key_(key), fail_(key.size(), 0), begins_(key.size()) {
    for (std::size_t i = 1, k = 0; i < key.size(); ++i) {
      while (k > 0 && key[i] != key[k]) k = fail_[k - 1];
      if (key[i] == key[k]) ++k;
      fail_[i] = k;
    }
  }

  void put(const Unit& unit) {
    if (counts_as_nothing(unit.code_point)) return;
    begins_[count_++ % key_.size()] = unit.begin;
    while (matched_ > 0 && unit.code_point != key_[matched_]) matched_ = fail_[matched_ - 1];
    if (unit.code_point == key_[matched_]) ++matched_;
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
  std::u32string_view key_;
  std::vector<std::size_t> fail_;
  // The begins of the last key.size() units, by count modulo key.size().
  std::vector<std::size_t> begins_;
  std::size_t count_ = 0;
  std::size_t matched_ = 0;
  std::vector<Span> spans_;
};

int hex_value(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// The character of a one-letter escape of JSON or of Python's repr, or 0.
char32_t simple_escape(char32_t c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
    case '\'':
      return c;
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

// The hex digits of an escape that starts with "\<c>": \xNN, \uNNNN,
// \UNNNNNNNN; 0 for another letter.
std::size_t hex_digits(char32_t c) { return c == 'x' ? 2 : c == 'u' ? 4 : c == 'U' ? 8 : 0; }

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One level of decoding of escapes, JSON's and Python's repr's, over a
// stream, passing its output to a matcher and to the next level. A
// backslash that starts no valid escape stands for itself. A lone surrogate
// ("\ud800") decodes to itself, which counts as nothing.
class Decoder {
 public:
  Decoder(Matcher& matcher, Decoder* next) : matcher_(matcher), next_(next) {}

  void put(const Unit& unit) {
    if (!pending_.empty()) {
      pending_.push_back(unit);
      return step();
    }
    if (unit.code_point == '\\') return pending_.push_back(unit);
    emit(unit);
  }

  void finish() {
    // A "\u" escape of six units or more is a high half waiting for its low
    // half (step() settles any other "\u" escape at once).
    while (!pending_.empty()) {
      if (pending_.size() >= 6 && pending_[1].code_point == 'u') {
        lone_high_half();
      } else {
        give_up();
      }
    }
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
    const char32_t letter = pending_[1].code_point;
    const std::size_t digits = hex_digits(letter);
    if (n == 2 && digits == 0) {
      const char32_t c = simple_escape(letter);
      return c == 0 ? give_up() : decoded(c, n);
    }
    if (n <= 2 + digits) {
      if (n > 2 && hex_value(pending_[n - 1].code_point) < 0) return give_up();
      if (n < 2 + digits) return;
      const char32_t value = hex_at(2, digits);
      if (value > 0x10FFFF) return give_up();
      if (letter == 'u' && is_high_surrogate(value)) return;  // the low half may follow
      // Python's repr writes "\x80".."\xff" only for what it does not show:
      // an invalid byte or a control.
      return decoded(letter == 'x' && value >= 0x80 ? kInvalidByte : value, n);
    }
    // "\uD8xx" waits for "\uDCxx": its own seven-unit tail.
    const std::size_t at = n - 7;
    const bool fits = at == 0   ? pending_[n - 1].code_point == '\\'
                      : at == 1 ? pending_[n - 1].code_point == 'u'
                                : hex_value(pending_[n - 1].code_point) >= 0;
    if (!fits) return lone_high_half();
    if (n < 12) return;
    const char32_t low = hex_at(8, 4);
    if (!is_low_surrogate(low)) return lone_high_half();
    decoded(0x10000 + ((hex_at(2, 4) - 0xD800) << 10) + (low - 0xDC00), n);
  }

  // The value of the `digits` hex digits from pending_[from].
  char32_t hex_at(std::size_t from, std::size_t digits) const {
    char32_t value = 0;
    for (std::size_t i = from; i < from + digits; ++i) {
      value = value * 16 + static_cast<char32_t>(hex_value(pending_[i].code_point));
    }
    return value;
  }

  // The first `size` pending units stand for `code_point`; the rest are read
  // again.
  void decoded(char32_t code_point, std::size_t size) {
    const Unit unit{code_point, pending_.front().begin, pending_[size - 1].end};
    std::vector<Unit> rest(pending_.begin() + static_cast<std::ptrdiff_t>(size), pending_.end());
    pending_.clear();
    emit(unit);
    for (const Unit& again : rest) put(again);
  }

  void lone_high_half() { decoded(hex_at(2, 4), 6); }

  // The pending backslash stands for itself; what followed it is read
  // again. At most twelve units are pending, and each is read again at most
  // twice, so the work stays linear.
  void give_up() { decoded('\\', 1); }

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

// Adds the spans of `pattern` in `text` to `spans`, at every level of
// escaping up to `levels`.
void find_spans(std::string_view text, std::u32string_view pattern, int levels,
                std::vector<Span>& spans) {
  std::vector<Matcher> matchers(static_cast<std::size_t>(levels) + 1, Matcher(pattern));
  std::vector<Decoder> decoders;
  decoders.reserve(static_cast<std::size_t>(levels));
  for (int level = levels; level >= 1; --level) {
    decoders.emplace_back(matchers[static_cast<std::size_t>(level)],
                          decoders.empty() ? nullptr : &decoders.back());
  }
  Decoder* first = decoders.empty() ? nullptr : &decoders.back();
  for_each_character(text, [&](const Unit& unit) {
    matchers[0].put(unit);
    if (first != nullptr) first->put(unit);
  });
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
    const std::u32string pattern = pattern_of(secret);
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

bool is_maskable_key(std::string_view value) { return pattern_of(value).size() >= kMinKeyLength; }

std::string mask_secret(std::string_view text, std::string_view secret) {
  const std::string key(secret);
  return mask_secrets(text, std::span(&key, 1));
}

}  // namespace zelq::net
