#include "zelq/net/json_text.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::net {

namespace {

[[noreturn]] void refuse(std::string_view text, std::string_view source, std::string_view secret,
                         std::string_view what) {
  throw core::RuntimeError(sentence(std::string(source) + " is " + std::string(what) + ": " +
                                    quoted_excerpt(text, secret)));
}

}  // namespace

std::string quoted_excerpt(std::string_view text, std::string_view secret) {
  std::string line = one_line(text, secret);
  const bool cut = line.size() > kMaxQuotedText;
  if (cut) line.resize(line.size() - 3);  // the "..." goes after the quote
  return core::py_repr(line) + (cut ? "..." : "");
}

core::Value parse_json(std::string_view text, std::string_view source, std::string_view secret) {
  core::Value value = core::parse_json(text, source);
  if (!value.is_discarded()) return value;
  refuse(text, source, secret, is_utf8(text) ? "not JSON" : "not valid UTF-8");
}

core::Value parse_json_object(std::string_view text, std::string_view source,
                              std::string_view secret) {
  core::Value value = parse_json(text, source, secret);
  if (!value.is_object()) refuse(text, source, secret, "not a JSON object");
  return value;
}

bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned int code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

}  // namespace zelq::net
