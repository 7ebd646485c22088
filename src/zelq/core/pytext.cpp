#include "zelq/core/pytext.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/text_line.hpp"

namespace zelq::core {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

#include "zelq/core/unicode_tables.inc"

constexpr char kHexDigits[] = "0123456789abcdef";

bool is_printable(char32_t cp) noexcept {
  const auto* it = std::lower_bound(std::begin(kNonPrintable), std::end(kNonPrintable), cp,
                                    [](const CodePointRange& r, char32_t c) { return r.last < c; });
  return it == std::end(kNonPrintable) || cp < it->first;
}

bool is_space(char32_t cp) {
  return std::binary_search(std::begin(kWhitespace), std::end(kWhitespace), cp);
}

// Appends `prefix` and `digits` lower-case hexadecimal digits of `value`.
void append_hex(std::string& out, const char* prefix, std::uint32_t value, int digits) {
  out += prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
    out += kHexDigits[(value >> shift) & 0xF];
}

// The escape Python's repr and ascii() use for a code point they do not keep.
void append_code_point_escape(std::string& out, char32_t cp) {
  if (cp <= 0xFF) {
    append_hex(out, "\\x", cp, 2);
  } else if (cp <= 0xFFFF) {
    append_hex(out, "\\u", cp, 4);
  } else {
    append_hex(out, "\\U", cp, 8);
  }
}

char pick_quote(std::string_view text) {
  bool single = text.find('\'') != std::string_view::npos;
  bool dbl = text.find('"') != std::string_view::npos;
  return single && !dbl ? '"' : '\'';
}

// Escapes one ASCII character the way both str and bytes reprs do. With
// `quote` 0 (a line, not a repr), the backslash, both quotes and the white
// space of a line stand as they are.
void append_ascii_repr(std::string& out, unsigned char c, char quote) {
  static constexpr std::string_view kSpecial = "\\\n\r\t";
  static constexpr const char* kEscapes[] = {"\\\\", "\\n", "\\r", "\\t"};
  if (quote == 0 && (c == '\\' || is_line_space(static_cast<char>(c)))) {
    out += static_cast<char>(c);
  } else if (const std::size_t i = kSpecial.find(static_cast<char>(c));
             i != std::string_view::npos) {
    out += kEscapes[i];
  } else if (quote != 0 && c == static_cast<unsigned char>(quote)) {
    out += '\\';
    out += quote;
  } else if (c < 0x20 || c >= 0x7F) {
    append_hex(out, "\\x", c, 2);
  } else {
    out += static_cast<char>(c);
  }
}

void append_text_repr(std::string& out, std::string_view text) {
  const char quote = pick_quote(text);
  out += quote;
  for (std::size_t pos = 0; pos < text.size();)
    pos = detail::append_repr_char(out, text, pos, quote);
  out += quote;
}

void append_bytes_repr(std::string& out, std::string_view bytes) {
  const char quote = pick_quote(bytes);
  out += 'b';
  out += quote;
  for (char c : bytes) append_ascii_repr(out, static_cast<unsigned char>(c), quote);
  out += quote;
}

void append_json_text(std::string& out, std::string_view text) {
  static constexpr std::string_view kSpecial = "\"\\\n\r\t\b\f";
  static constexpr const char* kEscapes[] = {"\\\"", "\\\\", "\\n", "\\r", "\\t", "\\b", "\\f"};
  out += '"';
  for (std::size_t pos = 0; pos < text.size();) {
    const detail::Utf8Char ch = detail::decode_utf8(text, pos);
    pos += ch.size;
    const char32_t cp = ch.valid ? ch.code_point : 0xFFFD;
    if (const std::size_t i = cp < 0x80 ? kSpecial.find(static_cast<char>(cp)) : kSpecial.npos;
        i != kSpecial.npos) {
      out += kEscapes[i];
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (cp > 0xFFFF) {
      append_hex(out, "\\u", 0xD800 + ((cp - 0x10000) >> 10), 4);
      append_hex(out, "\\u", 0xDC00 + ((cp - 0x10000) & 0x3FF), 4);
    } else {
      append_hex(out, "\\u", cp, 4);
    }
  }
  out += '"';
}

std::string_view as_chars(const Bytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string json_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-Infinity" : "Infinity";
  return py_float_repr(x);
}

// Writes repr(value), or json.dumps(value) when `json` is set: the two differ
// only in their scalars. `depth` counts the arrays and objects around
// `value`.
void append_value(std::string& out, const Value& value, bool json, std::size_t depth) {
  using T = Value::value_t;
  const auto text = json ? append_json_text : append_text_repr;
  switch (value.type()) {
    case T::boolean:
      out += value.get<bool>() ? (json ? "true" : "True") : (json ? "false" : "False");
      return;
    case T::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return;
    case T::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return;
    case T::number_float:
      out += json ? json_float(value.get<double>()) : py_float_repr(value.get<double>());
      return;
    case T::string:
      text(out, value.get_ref<const std::string&>());
      return;
    case T::binary:
      if (json) throw TypeError("Object of type bytes is not JSON serializable");
      append_bytes_repr(out, as_chars(value.get_binary()));
      return;
    case T::array:
    case T::object: {
      check_recursion_depth(
          depth + 1, json ? "while encoding a JSON object" : "while getting the repr of an object");
      out += value.is_array() ? '[' : '{';
      const char* sep = "";
      for (auto it = value.begin(); it != value.end(); ++it) {
        out += std::exchange(sep, ", ");
        if (value.is_object()) {
          text(out, it.key());
          out += ": ";
        }
        append_value(out, *it, json, depth + 1);
      }
      out += value.is_array() ? ']' : '}';
      return;
    }
    default:
      out += json ? "null" : "None";
  }
}

}  // namespace

namespace detail {

bool is_printable(char32_t code_point) noexcept { return core::is_printable(code_point); }

std::size_t append_repr_char(std::string& out, std::string_view text, std::size_t pos, char quote) {
  const Utf8Char ch = decode_utf8(text, pos);
  if (ch.code_point < 0x80) {
    append_ascii_repr(out, static_cast<unsigned char>(ch.code_point), quote);
  } else if (!ch.valid) {
    append_hex(out, "\\x", ch.code_point, 2);
  } else if (is_printable(ch.code_point)) {
    out.append(text.substr(pos, ch.size));
  } else {
    append_code_point_escape(out, ch.code_point);
  }
  return pos + ch.size;
}

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t left = text.size() - pos;
  const unsigned char b0 = p[0];
  const Utf8Char invalid{b0, 1, false};
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t size = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    size = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    size = 3, cp = b0 & 0x0F, lo = b0 == 0xE0 ? 0xA0 : 0x80;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    size = 4, cp = b0 & 0x07, lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
  } else {
    return invalid;
  }
  if (left < size || p[1] < lo || p[1] > hi) return invalid;
  for (std::size_t i = 1; i < size; ++i) {
    if ((p[i] & 0xC0) != 0x80) return invalid;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  return {cp, size, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int decimal_digit_value(char32_t cp) {
  if (cp >= '0' && cp <= '9') return static_cast<int>(cp - '0');
  const auto* it = std::upper_bound(std::begin(kDecimalRunStarts), std::end(kDecimalRunStarts), cp);
  if (it == std::begin(kDecimalRunStarts)) return -1;
  const char32_t offset = cp - *(it - 1);
  return offset < 10 ? static_cast<int>(offset) : -1;
}

std::string_view py_type_name(const Value& value) {
  switch (value.type()) {
    case Value::value_t::boolean:
      return "bool";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
      return "int";
    case Value::value_t::number_float:
      return "float";
    case Value::value_t::string:
      return "str";
    case Value::value_t::binary:
      return "bytes";
    case Value::value_t::array:
      return "list";
    case Value::value_t::object:
      return "dict";
    default:
      return "NoneType";
  }
}

}  // namespace detail

std::string py_repr(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_text_repr(out, text);
  return out;
}

std::string py_bytes_repr(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 3);
  append_bytes_repr(out, bytes);
  return out;
}

std::string py_bytes_repr(const Bytes& bytes) { return py_bytes_repr(as_chars(bytes)); }

std::string py_repr(const Value& value) {
  std::string out;
  append_value(out, value, false, 0);
  return out;
}

std::string py_str(const Value& value) {
  return value.is_string() ? value.get<std::string>() : py_repr(value);
}

std::string py_ascii(const Value& value) {
  const std::string repr = py_repr(value);
  std::string out;
  out.reserve(repr.size());
  for (std::size_t pos = 0; pos < repr.size();) {
    const detail::Utf8Char ch = detail::decode_utf8(repr, pos);
    if (ch.code_point < 0x80) {
      out += repr[pos];
    } else {
      append_code_point_escape(out, ch.code_point);
    }
    pos += ch.size;
  }
  return out;
}

std::string py_float_repr(double value) {
  return detail::format_double(value, {.code = 'r', .add_dot_0 = true});
}

bool py_truthy(const Value& value) {
  switch (value.type()) {
    case Value::value_t::boolean:
      return value.get<bool>();
    case Value::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Value::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Value::value_t::number_float:
      return value.get<double>() != 0.0;
    case Value::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Value::value_t::binary:
      return !value.get_binary().empty();
    case Value::value_t::array:
    case Value::value_t::object:
      return !value.empty();
    default:
      return false;
  }
}

std::string py_strip(std::string_view text) {
  std::size_t begin = std::string_view::npos;
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const detail::Utf8Char ch = detail::decode_utf8(text, pos);
    if (!ch.valid || !is_space(ch.code_point)) {
      if (begin == std::string_view::npos) begin = pos;
      end = pos + ch.size;
    }
    pos += ch.size;
  }
  return begin == std::string_view::npos ? std::string()
                                         : std::string(text.substr(begin, end - begin));
}

bool py_is_blank(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const detail::Utf8Char ch = detail::decode_utf8(text, pos);
    if (!ch.valid || !is_space(ch.code_point)) return false;
    pos += ch.size;
  }
  return true;
}

std::string json_dumps(const Value& value) {
  std::string out;
  append_value(out, value, true, 0);
  return out;
}

}  // namespace zelq::core
