// Python's str.format template engine (CPython's unicode_format.h: literal
// text, fields, item access, conversions, nested specs) and Python's
// float-to-text conversion (PyOS_double_to_string), which the format specs
// and py_float_repr share.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::core {
namespace {

using detail::decode_utf8;
using detail::Utf8Char;

// Python's str.format allows one level of nested fields inside a spec.
constexpr int kRecursionDepth = 2;

// Decimal digits and decimal point position of a finite non-negative double,
// as David Gay's dtoa gives them: value = 0.DIGITS * 10**decpt, no trailing
// zeros; zero is "0" with decpt 1.
struct Digits {
  std::string digits;
  long decpt = 1;
};

// Reads to_chars' scientific output "d[.ddd]e[+-]XX".
Digits parse_scientific(std::string_view text) {
  Digits d;
  const std::size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') d.digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  d.decpt = exponent + 1;
  return d;
}

void strip_trailing_zeros(Digits& d) {
  const std::size_t last = d.digits.find_last_not_of('0');
  if (last == std::string::npos) {
    d = Digits{"0", 1};
  } else {
    d.digits.resize(last + 1);
  }
}

// The exact decimal value of a double has at most 767 significant digits
// and 1074 digits after the point: asking for more only adds zeros, which
// strip_trailing_zeros removes again. Counts are capped above both, so a
// precision of two billion costs no two-billion-digit buffer.
constexpr int kMaxSignificantDigits = 800;
constexpr int kMaxDecimals = 1100;

// mode 0 (shortest round trip) when `significant` is 0, else mode 2.
Digits significant_digits(double value, int significant) {
  significant = std::min(significant, kMaxSignificantDigits);
  std::string buf(static_cast<std::size_t>(significant) + 32, '\0');
  auto res = significant == 0 ? std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                              std::chars_format::scientific)
                              : std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                              std::chars_format::scientific, significant - 1);
  Digits d = parse_scientific(std::string_view(buf.data(), res.ptr - buf.data()));
  strip_trailing_zeros(d);
  return d;
}

// mode 3: correctly rounded to `decimals` digits after the point.
Digits fixed_digits(double value, int decimals) {
  decimals = std::min(decimals, kMaxDecimals);
  std::string buf(static_cast<std::size_t>(decimals) + 330, '\0');
  auto res =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
  std::string_view text(buf.data(), res.ptr - buf.data());
  Digits d;
  d.decpt = static_cast<long>(std::min(text.find('.'), text.size()));
  for (char c : text) {
    if (c != '.') d.digits += c;
  }
  const std::size_t lead = std::min(d.digits.find_first_not_of('0'), d.digits.size());
  d.digits.erase(0, lead);
  d.decpt -= static_cast<long>(lead);
  strip_trailing_zeros(d);
  return d;
}

// Where format_float_short puts the decimal point: the output is the slice
// [vstart, vend) of the digits padded with zeros on both sides, the point
// before index `decpt`, and an exponent when `use_exp`.
struct Layout {
  long decpt;
  long vstart;
  long vend;
  bool use_exp;
  long exponent;
};

Layout plan_layout(const Digits& d, char code, long precision, const detail::FloatFormat& f) {
  Layout l{d.decpt, 0, static_cast<long>(d.digits.size()), false, d.decpt - 1};
  if (code == 'e') {
    l.use_exp = true;
    l.vend = precision;
  } else if (code == 'f') {
    l.vend = l.decpt + precision;
  } else if (code == 'g') {
    l.use_exp = l.decpt <= -4 || l.decpt > (f.add_dot_0 ? precision - 1 : precision);
    if (f.alternate) l.vend = precision;
  } else {
    l.use_exp = l.decpt <= -4 || l.decpt > 16;
  }
  if (l.use_exp) l.decpt = 1;
  l.vstart = l.decpt <= 0 ? l.decpt - 1 : 0;
  l.vend = std::max(l.vend, (!l.use_exp && f.add_dot_0) ? l.decpt + 1 : l.decpt);
  return l;
}

std::string layout_digits(const Digits& d, bool negative, char code, long precision,
                          const detail::FloatFormat& f, bool upper) {
  const Layout l = plan_layout(d, code, precision, f);
  const long n = static_cast<long>(d.digits.size());
  std::string out = negative ? "-" : "";
  const auto zeros = [&out](long count) { out.append(static_cast<std::size_t>(count), '0'); };
  if (l.decpt <= 0) {
    zeros(l.decpt - l.vstart);
    out += '.';
    zeros(-l.decpt);
    out += d.digits;
  } else if (l.decpt <= n) {
    const std::string_view digits = d.digits;
    out += digits.substr(0, static_cast<std::size_t>(l.decpt));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(l.decpt));
  } else {
    out += d.digits;
    zeros(l.decpt - n);
    out += '.';
  }
  zeros(l.vend - std::max(n, l.decpt));
  if (out.back() == '.' && !f.alternate) out.pop_back();
  if (l.use_exp) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%+.02ld", upper ? 'E' : 'e', l.exponent);
    out += buf;
  }
  return out;
}

// Python's get_integer: the value of a run of Unicode decimal digits, nullopt
// when `text` is empty or holds a non-digit. Overflow is an error even when a
// non-digit follows.
std::optional<std::int64_t> parse_index(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char ch = decode_utf8(text, pos);
    pos += ch.size;
    const int digit = ch.valid ? detail::decimal_digit_value(ch.code_point) : -1;
    if (digit < 0) return std::nullopt;
    if (value > (INT64_MAX - digit) / 10) {
      throw ValueError("Too many decimal digits in format string");
    }
    value = value * 10 + digit;
  }
  return value;
}

std::string conversion_text(char32_t cp) {
  if (cp > 32 && cp < 127) return std::string(1, static_cast<char>(cp));
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\x%x", static_cast<unsigned>(cp));
  return buf;
}

struct Field {
  std::string_view name;
  std::string_view spec;
  char32_t conversion = 0;
  bool expand_spec = false;
};

// Reads a replacement field whose '{' ends before `pos`; leaves `pos` after
// its closing '}'.
Field parse_field(std::string_view s, std::size_t& pos) {
  Field f;
  const std::size_t start = pos;
  char c = 0;
  while (pos < s.size()) {
    c = s[pos++];
    if (c == '{') throw ValueError("unexpected '{' in field name");
    if (c == '[') {
      while (pos < s.size() && s[pos] != ']') ++pos;
      continue;
    }
    if (c == '}' || c == ':' || c == '!') break;
  }
  if (c != '}' && c != ':' && c != '!') throw ValueError("expected '}' before end of string");
  f.name = s.substr(start, pos - 1 - start);
  if (c == '}') return f;
  if (c == '!') {
    if (pos >= s.size()) throw ValueError("end of string while looking for conversion specifier");
    const Utf8Char ch = decode_utf8(s, pos);
    f.conversion = ch.code_point;
    pos += ch.size;
    if (pos < s.size()) {
      c = s[pos++];
      if (c == '}') return f;
      if (c != ':') throw ValueError("expected ':' after conversion specifier");
    }
  }
  const std::size_t spec_start = pos;
  for (int depth = 1; pos < s.size();) {
    c = s[pos++];
    if (c == '{') {
      f.expand_spec = true;
      ++depth;
    } else if (c == '}' && --depth == 0) {
      f.spec = s.substr(spec_start, pos - 1 - spec_start);
      return f;
    }
  }
  throw ValueError("unmatched '{' in format spec");
}

// obj[key] as Python's list, dict, str and bytes do it. Results that are not
// inside `obj` (a character, a byte) are stored in `holder`.
const Value& get_item(const Value& obj, std::string_view key, std::optional<std::int64_t> index,
                      Value& holder) {
  if (obj.is_object()) {
    // Python looks an integer-like key up as an int; Value objects have text
    // keys only, so that lookup always misses.
    if (index) throw KeyError(std::to_string(*index));
    const auto it = obj.find(std::string(key));
    if (it == obj.end()) throw KeyError(py_repr(key));
    return *it;
  }
  if (!obj.is_array() && !obj.is_string() && !obj.is_binary()) {
    throw TypeError("'" + std::string(detail::py_type_name(obj)) + "' object is not subscriptable");
  }
  if (!index) {
    if (obj.is_string()) throw TypeError("string indices must be integers, not 'str'");
    throw TypeError(std::string(obj.is_array() ? "list" : "byte") +
                    " indices must be integers or slices, not str");
  }
  const auto i = static_cast<std::uint64_t>(*index);
  if (obj.is_array()) {
    if (i >= obj.size()) throw IndexError("list index out of range");
    return obj.at(i);
  }
  if (obj.is_binary()) {
    if (i >= obj.get_binary().size()) throw IndexError("index out of range");
    const int byte = obj.get_binary()[i];
    return holder = byte;
  }
  const std::string& text = obj.get_ref<const std::string&>();
  std::size_t pos = 0;
  for (std::uint64_t n = 0; n < i && pos < text.size(); ++n) pos += decode_utf8(text, pos).size;
  if (pos >= text.size()) throw IndexError("string index out of range");
  std::string ch = text.substr(pos, decode_utf8(text, pos).size);
  return holder = std::move(ch);
}

// The value a field name such as "a", "a[0]" or "a[key][1]" stands for.
const Value& resolve_field(std::string_view name, const Value& kwargs, Value& holder) {
  const std::size_t split = std::min(name.find_first_of(".["), name.size());
  const std::string_view first = name.substr(0, split);
  const std::optional<std::int64_t> first_index = parse_index(first);
  if (first.empty() || first_index) {
    throw IndexError("Replacement index " + std::to_string(first_index.value_or(0)) +
                     " out of range for positional args tuple");
  }
  const auto found = kwargs.is_object() ? kwargs.find(std::string(first)) : kwargs.end();
  if (!kwargs.is_object() || found == kwargs.end()) throw KeyError(py_repr(first));
  const Value* current = &*found;
  const std::string_view rest = name.substr(split);
  for (std::size_t pos = 0; pos < rest.size();) {
    const char c = rest[pos++];
    const std::size_t start = pos;
    if (c == '.') {
      pos = std::min(rest.find_first_of(".[", pos), rest.size());
      const std::string_view attr = rest.substr(start, pos - start);
      if (attr.empty()) throw ValueError("Empty attribute in format string");
      throw AttributeError("'" + std::string(detail::py_type_name(*current)) +
                           "' object has no attribute '" + std::string(attr) + "'");
    }
    if (c != '[') throw ValueError("Only '.' or '[' may follow ']' in format field specifier");
    pos = rest.find(']', pos);
    if (pos == std::string_view::npos) throw ValueError("Missing ']' in format string");
    const std::string_view key = rest.substr(start, pos++ - start);
    const std::optional<std::int64_t> index = parse_index(key);
    if (key.empty()) throw ValueError("Empty attribute in format string");
    current = &get_item(*current, key, index, holder);
  }
  return *current;
}

void build(std::string_view templ, const Value& kwargs, int depth, std::string& out);

void render_field(const Field& field, const Value& kwargs, int depth, std::string& out) {
  Value holder;
  const Value* value = &resolve_field(field.name, kwargs, holder);
  Value converted;
  if (field.conversion != 0) {
    if (field.conversion == 'r') {
      converted = py_repr(*value);
    } else if (field.conversion == 's') {
      converted = py_str(*value);
    } else if (field.conversion == 'a') {
      converted = py_ascii(*value);
    } else {
      throw ValueError("Unknown conversion specifier " + conversion_text(field.conversion));
    }
    value = &converted;
  }
  std::string expanded;
  if (field.expand_spec) build(field.spec, kwargs, depth - 1, expanded);
  detail::append_format(out, *value, field.expand_spec ? std::string_view(expanded) : field.spec);
}

// Python's MarkupIterator loop: literal text, doubled braces and fields, in
// order, so the first failing field decides the error.
void build(std::string_view templ, const Value& kwargs, int depth, std::string& out) {
  if (depth <= 0) throw ValueError("Max string recursion exceeded");
  std::size_t pos = 0;
  while (pos < templ.size()) {
    const std::size_t start = pos;
    const std::size_t brace = templ.find_first_of("{}", pos);
    if (brace == std::string_view::npos) {
      out += templ.substr(start);
      return;
    }
    const char c = templ[brace];
    pos = brace + 1;
    const bool at_end = pos >= templ.size();
    if (c == '}' && (at_end || templ[pos] != '}')) {
      throw ValueError("Single '}' encountered in format string");
    }
    if (at_end) throw ValueError("Single '{' encountered in format string");
    if (templ[pos] == c) {
      out += templ.substr(start, ++pos - start - 1);
      continue;
    }
    out += templ.substr(start, brace - start);
    render_field(parse_field(templ, pos), kwargs, depth, out);
  }
}

}  // namespace

namespace detail {

std::string format_double(double value, const FloatFormat& f) {
  const bool upper = f.code >= 'A' && f.code <= 'Z';
  const char code = static_cast<char>(upper ? f.code - 'A' + 'a' : f.code);
  if (std::isnan(value)) return upper ? "NAN" : "nan";
  bool negative = std::signbit(value);
  if (std::isinf(value)) return std::string(negative ? "-" : "") + (upper ? "INF" : "inf");
  const double magnitude = std::fabs(value);
  long precision = f.precision;
  Digits d;
  if (code == 'f') {
    d = fixed_digits(magnitude, f.precision);
  } else if (code == 'e') {
    // CPython counts the digits of 'e' (precision + 1) in a C int, which
    // wraps around after INT_MAX; dtoa then reads a count below 1 as 1.
    precision = f.precision == INT_MAX ? INT_MIN : precision + 1;
    d = significant_digits(magnitude, static_cast<int>(std::max(precision, 1L)));
  } else if (code == 'g') {
    precision = std::max(precision, 1L);
    d = significant_digits(magnitude, static_cast<int>(precision));
  } else {
    d = significant_digits(magnitude, 0);
  }
  if (f.no_negative_zero && d.digits == "0") negative = false;
  return layout_digits(d, negative, code, precision, f, upper);
}

}  // namespace detail

std::string py_format(std::string_view templ, const Value& kwargs) {
  if (!kwargs.is_null() && !kwargs.is_object()) {
    throw TypeError("str.format() argument after ** must be a mapping, not " +
                    std::string(detail::py_type_name(kwargs)));
  }
  std::size_t expected = templ.size();
  if (kwargs.is_object()) {
    for (const auto& item : kwargs) {
      if (item.is_string()) expected += item.get_ref<const std::string&>().size();
    }
  }
  std::string out;
  out.reserve(expected);
  build(templ, kwargs, kRecursionDepth, out);
  return out;
}

}  // namespace zelq::core
