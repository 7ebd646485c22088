#include "demo_masking.hpp"

#include <algorithm>
#include <array>

#include "zelq/core/text_line.hpp"
#include "zelq/net/quoting.hpp"
#include "zelq/net/url.hpp"

namespace zelq_demo {
namespace {

constexpr std::string_view kMask = "***";
// Punctuation that ends a clause when white space follows it.
constexpr std::string_view kClauseEnd = ":;,.";

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

std::string without_controls(std::string text) {
  std::replace_if(text.begin(), text.end(), is_control, '?');
  return text;
}

// True when the name of a "name=value" pair says its value is a credential.
bool names_a_credential(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  static constexpr std::array<std::string_view, 10> kWords = {
      "key", "token", "secret", "password",   "passwd",
      "pwd", "auth",  "sig",    "credential", "session"};
  return std::any_of(kWords.begin(), kWords.end(),
                     [&](std::string_view word) { return lower.find(word) != std::string::npos; });
}

// The values of "name=value" pairs whose name names a credential, masked.
std::string mask_credential_values(std::string text) {
  constexpr std::string_view kNameEnd = "/;&?,:";
  constexpr std::string_view kValueEnd = "/;&,)";
  for (std::size_t eq = text.find('='); eq != std::string::npos; eq = text.find('=', eq + 1)) {
    const std::size_t before = text.find_last_of(kNameEnd, eq == 0 ? 0 : eq - 1);
    const std::size_t name_start = before == std::string::npos || eq == 0 ? 0 : before + 1;
    if (!names_a_credential(std::string_view(text).substr(name_start, eq - name_start))) continue;
    const std::size_t value_end = std::min(text.find_first_of(kValueEnd, eq + 1), text.size());
    if (value_end > eq + 1) text.replace(eq + 1, value_end - eq - 1, kMask);
  }
  return text;
}

// True when `word` may be (part of) a URL that carries a credential.
bool looks_like_url(std::string_view word) {
  if (word.find('@') != std::string_view::npos) return true;
  const std::size_t query = word.find('?');
  if (query != std::string_view::npos && query + 1 < word.size()) return true;
  return word.find("//") != std::string_view::npos && word.find('#') != std::string_view::npos;
}

}  // namespace

std::string mask_url(std::string_view url) {
  // The library's redaction masks the user information and drops a query
  // or fragment; "?***" or "#***" then shows that one was there.
  std::string text = zelq::net::redact_url_text(url);
  const std::size_t at = url.rfind('@');
  const std::size_t query = url.find_first_of("?#");
  if (query != std::string_view::npos && (at == std::string_view::npos || query > at) &&
      query + 1 < url.size()) {
    text.append(1, url[query]).append(kMask);
  }
  return mask_credential_values(std::move(text));
}

std::string mask_text(std::string_view text, std::string_view secret) {
  const std::string unmasked = zelq::net::Quoting(std::string(secret)).mask(text);
  constexpr std::string_view kWordEnd = " \t\n\r\v\f'\"`";
  std::string out;
  out.reserve(unmasked.size());
  std::size_t pos = 0;
  while (pos < unmasked.size()) {
    const std::size_t end = std::min(unmasked.find_first_of(kWordEnd, pos), unmasked.size());
    std::string_view word = std::string_view(unmasked).substr(pos, end - pos);
    // A word followed by white space may end with the punctuation of the
    // sentence ("cannot open x?token=t: No such file"); it is kept, not
    // taken for part of the value that is masked.
    const bool ends_clause = end < unmasked.size() && zelq::core::is_line_space(unmasked[end]) &&
                             word.size() > 1 &&
                             kClauseEnd.find(word.back()) != std::string_view::npos;
    if (ends_clause) word.remove_suffix(1);
    out += looks_like_url(word) ? mask_url(word) : mask_credential_values(std::string(word));
    if (ends_clause) out += unmasked[end - 1];
    if (end < unmasked.size()) out += unmasked[end];
    pos = end + 1;
  }
  return without_controls(std::move(out));
}

}  // namespace zelq_demo
