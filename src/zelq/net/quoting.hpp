// How texts that a server sent are shown in errors and log lines: with the
// API key in use masked, on one line, cut when overlong, and quoted. Every
// client holds one Quoting (the API client's, or one built from the key it
// sends), and every message that names a server's text goes through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "zelq/core/text_line.hpp"
#include "zelq/core/value.hpp"

namespace zelq::net {

// The longest server text a message quotes, in bytes (before "...").
inline constexpr std::size_t kMaxQuotedText = core::kOneLineLimit;

// `text` with every occurrence of `secret` replaced by "***" (the text itself
// when `secret` holds nothing but white space): its literal bytes and its
// JSON-escaped forms ("sk-\u0070robe", "\/" for "/", escaped again inside an
// escaped string, up to eight times over), which a reader decodes to the
// key. White space (core::is_line_space, what one-lining collapses) never
// counts, neither in the key nor in the text: a key that white space breaks
// (hard-wrapped in a plain-text page) is masked with the white space inside
// it, and a key that holds white space is masked whatever white space
// stands at those spots. Occurrences that overlap become one "***". Linear
// in the text. Percent-encoded, base64 and upper-cased forms are not looked
// for: the library never puts the key in a URL or in Basic auth. The one
// function that keeps API keys out of texts taken from servers.
std::string mask_secret(std::string_view text, std::string_view secret);

// The quoting policy of one client: the key it sends and the length limit.
// Each form applies the same steps in one order: mask the key, put the text
// on one line (every run of white space one space, none at either end), cut
// it at `limit` bytes on a UTF-8 character boundary with "..." appended,
// quote it. Masking comes first, so no part of the key survives the cut.
// Cheap to copy; immutable.
class Quoting {
 public:
  // Masks nothing (for a client that sends no key).
  Quoting() = default;
  explicit Quoting(std::string key, std::size_t limit = kMaxQuotedText)
      : key_(std::move(key)), limit_(limit) {}

  // The key masked ("" when none).
  const std::string& key() const noexcept { return key_; }
  std::size_t limit() const noexcept { return limit_; }

  // `text` with the key masked, nothing else changed (for a text shown
  // whole, such as a refusal of the model).
  std::string mask(std::string_view text) const;

  // `text` masked, on one line and cut: "ab cd...".
  std::string line(std::string_view text) const;
  std::string line(const std::string& text) const { return line(std::string_view(text)); }
  std::string line(const char* text) const { return line(std::string_view(text)); }
  // The value as Python shows it (core::py_repr), masked, on one line and
  // cut: "{'a': 1}".
  std::string line(const core::Value& value) const;

  // line(text), then quoted as Python quotes a text: "'ab cd...'".
  std::string quoted(std::string_view text) const;
  std::string quoted(const std::string& text) const { return quoted(std::string_view(text)); }
  std::string quoted(const char* text) const { return quoted(std::string_view(text)); }
  // A text value as quoted(text), any other as line(value).
  std::string quoted(const core::Value& value) const;

  // A piece of a longer text (the body that failed to parse): its start
  // masked and on one line in quotes, then "..." after the quote when the
  // text was cut ("'{\"a\": tru'...").
  std::string excerpt(std::string_view text) const;

 private:
  std::string key_{};
  std::size_t limit_ = kMaxQuotedText;
};

}  // namespace zelq::net
