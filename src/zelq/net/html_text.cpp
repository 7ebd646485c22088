#include "zelq/net/detail/html_text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "zelq/core/pytext.hpp"

namespace zelq::net::detail {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// True when `text` at `at` starts with `lowered` (lower-case), in any case.
bool starts_with_at(std::string_view text, std::size_t at, std::string_view lowered) {
  if (at > text.size() || text.size() - at < lowered.size()) return false;
  for (std::size_t i = 0; i < lowered.size(); ++i) {
    if (lower(text[at + i]) != lowered[i]) return false;
  }
  return true;
}

// The position of `lowered` in `text` from `from` on, in any case, or npos.
// Only short needles are searched for, so the scan stays linear.
std::size_t find_at(std::string_view text, std::string_view lowered, std::size_t from) {
  for (std::size_t at = from; at < text.size(); ++at) {
    if (lower(text[at]) == lowered[0] && starts_with_at(text, at, lowered)) return at;
  }
  return std::string_view::npos;
}

// True when a tag named `lowered` opens at `at` ("<name" followed by the end
// of the name).
bool opens_tag(std::string_view text, std::size_t at, std::string_view lowered) {
  if (!starts_with_at(text, at, lowered)) return false;
  const std::size_t after = at + lowered.size();
  return after == text.size() || text[after] == '>' || text[after] == '/' || is_space(text[after]);
}

// The position just past `lowered` from `from` on, or the end of the text.
std::size_t past(std::string_view text, std::string_view lowered, std::size_t from) {
  const std::size_t at = find_at(text, lowered, from);
  return at == std::string_view::npos ? text.size() : at + lowered.size();
}

// The character reference at text[at] == '&', appended to `out`; returns
// its length, or 0 when it is none (the '&' is then plain text).
std::size_t decode_reference(std::string_view text, std::size_t at, std::string& out) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kNamed = {{
      {"&amp;", "&"},
      {"&lt;", "<"},
      {"&gt;", ">"},
      {"&quot;", "\""},
      {"&apos;", "'"},
      {"&nbsp;", " "},
  }};
  for (const auto& [name, text_of] : kNamed) {
    if (starts_with_at(text, at, name)) {
      out += text_of;
      return name.size();
    }
  }
  if (!starts_with_at(text, at, "&#")) return 0;
  std::size_t i = at + 2;
  const bool hex = i < text.size() && lower(text[i]) == 'x';
  if (hex) ++i;
  std::uint32_t code_point = 0;
  std::size_t digits = 0;
  for (; i < text.size() && digits < 8; ++i, ++digits) {
    const char c = lower(text[i]);
    const int value = c >= '0' && c <= '9'          ? c - '0'
                      : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                    : -1;
    if (value < 0) break;
    code_point = code_point * (hex ? 16 : 10) + static_cast<std::uint32_t>(value);
  }
  if (digits == 0 || i >= text.size() || text[i] != ';' || code_point == 0 ||
      code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  core::detail::append_utf8(out, static_cast<char32_t>(code_point));
  return i + 1 - at;
}

std::string decode_references(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t taken = text[i] == '&' ? decode_reference(text, i, out) : 0;
    if (taken == 0) out += text[i++];
    i += taken;
  }
  return out;
}

bool is_blank(std::string_view text) { return std::all_of(text.begin(), text.end(), is_space); }

// The title's text, or "" when the page has none.
std::string title_of(std::string_view page) {
  for (std::size_t at = find_at(page, "<title", 0); at != std::string_view::npos;
       at = find_at(page, "<title", at + 1)) {
    if (!opens_tag(page, at, "<title")) continue;
    const std::size_t open_end = page.find('>', at);
    if (open_end == std::string_view::npos) return {};
    const std::size_t begin = open_end + 1;
    const std::size_t end = std::min(find_at(page, "</title", begin), page.size());
    return decode_references(page.substr(begin, end - begin));
  }
  return {};
}

// The page's text without markup, each tag a space.
std::string text_of(std::string_view page) {
  std::string text;
  for (std::size_t i = 0; i < page.size();) {
    const char next = i + 1 < page.size() ? page[i + 1] : '\0';
    if (page[i] != '<' || !(is_letter(next) || next == '/' || next == '!' || next == '?')) {
      const std::size_t end = std::min(page.find('<', i + 1), page.size());
      text += page.substr(i, end - i);
      i = end;
      continue;
    }
    if (starts_with_at(page, i, "<!--")) {
      i = past(page, "-->", i + 4);
    } else if (opens_tag(page, i, "<script")) {
      i = past(page, ">", past(page, "</script", i));
    } else if (opens_tag(page, i, "<style")) {
      i = past(page, ">", past(page, "</style", i));
    } else {
      i = past(page, ">", i);
    }
    text += ' ';
  }
  return decode_references(text);
}

}  // namespace

bool looks_like_html(std::string_view body) {
  std::size_t at = 0;
  if (body.starts_with("\xEF\xBB\xBF")) at = 3;
  for (;;) {
    while (at < body.size() && is_space(body[at])) ++at;
    if (starts_with_at(body, at, "<?xml")) {
      at = past(body, "?>", at);
    } else if (starts_with_at(body, at, "<!--")) {
      at = past(body, "-->", at + 4);
    } else {
      break;
    }
  }
  if (starts_with_at(body, at, "<!doctype") && at + 9 < body.size()) {
    std::size_t name = at + 9;
    while (name < body.size() && is_space(body[name])) ++name;
    return starts_with_at(body, name, "html");
  }
  for (std::string_view tag : {"<html", "<head", "<title", "<body"}) {
    if (opens_tag(body, at, tag)) return true;
  }
  return false;
}

std::string html_text(std::string_view page) {
  std::string title = title_of(page);
  if (!is_blank(title)) return title;
  return text_of(page);
}

}  // namespace zelq::net::detail
