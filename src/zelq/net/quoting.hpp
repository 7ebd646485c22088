// How texts that a server sent are shown in errors, log lines and events:
// with the API keys masked, escaped where they cannot be shown as they
// stand, on one line, cut when overlong, and quoted. The owner of a call
// holds one Quoting (an API client's, a service client's, a researcher's)
// and passes it on; every message that names a server's text goes through
// it, and no layer below sees the raw key.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zelq/core/text_line.hpp"
#include "zelq/core/value.hpp"

namespace zelq::net {

// The longest server text a message quotes, in bytes (before "...").
inline constexpr std::size_t kMaxQuotedText = core::kOneLineLimit;

// `text` with every occurrence of `secret` replaced by "***" (the text itself
// when `secret` holds nothing that counts): its literal bytes and its
// escaped forms, JSON's ("sk-\u0070robe", "\/" for "/") and Python's repr's
// ("\x0b", "\u200b", "\U0001f600"), escaped again inside an escaped
// string, up to eight times over, which a reader decodes to the key. What a
// reader sees nothing of never counts, neither in the key nor in the text:
// white space (core::is_line_space, what one-lining collapses) and what
// one-lining escapes (controls, DEL, invisible format characters such as
// U+200B and U+00AD, invalid UTF-8; see core::one_line). A key that these
// break (hard-wrapped in a plain-text page, split by a zero-width space or
// a NUL) is masked with what breaks it, and a key that holds white space is
// masked whatever white space stands at those spots. Occurrences that
// overlap become one "***". Linear in the text. Percent-encoded, base64
// and upper-cased forms are not looked for: the library never puts the key
// in a URL or in Basic auth. The one function that keeps API keys out of
// texts taken from servers.
std::string mask_secret(std::string_view text, std::string_view secret);

// As mask_secret, for all of `secrets` at once: occurrences of different
// keys that overlap become one "***" too. Linear in the text for each key.
std::string mask_secrets(std::string_view text, std::span<const std::string> secrets);

// The fewest characters a value needs for a Quoting to mask it as a key,
// counting only what masking compares (see mask_secret). A shorter value
// (an environment variable set to "in") is no key: masking it would garble
// every text that holds those letters.
inline constexpr std::size_t kMinKeyLength = 8;

// Whether a Quoting masks `value` as a key (kMinKeyLength).
bool is_maskable_key(std::string_view value);

// The quoting policy of one owner of keys (a client, or a researcher that
// knows several): the keys it masks and the length limit. Each form applies
// the same steps in one order: mask the keys, put the text on one line
// (every run of white space one space, none at either end), cut it at
// `limit` bytes on a character boundary with "..." appended, and escape
// what cannot be shown as it stands (core::one_line), or quote it as
// py_repr does, which escapes the same. Masking comes first, so no part of
// a key survives the cut, and it passes over what is escaped, so no
// escape keeps a key from being found. Every form gives valid UTF-8 with
// no control byte (mask() keeps the white space of lines). The keys are
// never handed out again. Immutable; copies share the keys, so a copy is
// as cheap as a shared pointer and carries the limit along.
class Quoting {
 public:
  // Masks nothing (for a client that sends no key).
  Quoting() = default;
  // Masks `key`, unless it is no key (is_maskable_key).
  explicit Quoting(std::string key, std::size_t limit = kMaxQuotedText);

  // This policy, its limit included, also masking `key`; the same policy
  // when `key` is no key (is_maskable_key) or masked already.
  Quoting also_masking(std::string_view key) const;

  std::size_t limit() const noexcept { return limit_; }

  // `text` with the keys masked and what cannot be shown as it stands
  // escaped (core::shown_text), its lines kept (for a text shown whole,
  // such as a refusal of the model).
  std::string mask(std::string_view text) const;

  // `text` masked, on one line, cut and escaped: "ab\x1b cd...".
  std::string line(std::string_view text) const;
  std::string line(const std::string& text) const { return line(std::string_view(text)); }
  std::string line(const char* text) const { return line(std::string_view(text)); }
  // The value as Python shows it (core::py_repr), masked, on one line and
  // cut: "{'a': 1}".
  std::string line(const core::Value& value) const;

  // `text` masked, on one line and cut, then quoted as Python quotes a
  // text: "'ab\x1b cd...'".
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
  Quoting(std::shared_ptr<const std::vector<std::string>> keys, std::size_t limit)
      : keys_(std::move(keys)), limit_(limit) {}

  // `text` with the keys masked, nothing else changed.
  std::string masked(std::string_view text) const;

  // Null when it masks nothing.
  std::shared_ptr<const std::vector<std::string>> keys_{};
  std::size_t limit_ = kMaxQuotedText;
};

// Where a client keeps its quoting policy, once: the base of every abstract
// service client, which offers it to the callers that quote the service's
// texts.
class QuotingHolder {
 public:
  // How the texts of the service (ids, statuses, messages, values) are shown
  // in messages: the key the client sends masked, on one line, cut when
  // overlong.
  const Quoting& quoting() const noexcept { return quoting_; }

 protected:
  explicit QuotingHolder(Quoting quoting) noexcept : quoting_(std::move(quoting)) {}
  QuotingHolder(const QuotingHolder&) = default;
  QuotingHolder& operator=(const QuotingHolder&) = default;
  ~QuotingHolder() = default;

 private:
  Quoting quoting_;
};

}  // namespace zelq::net
