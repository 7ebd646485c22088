// The format-spec mini-language of Python's format(value, spec) for texts,
// integers and floats. It follows CPython's formatter_unicode.c step for step
// (parse, validate, then lay out sign, prefix, padding, grouped digits and
// remainder) so that outputs and error messages agree.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::core {
namespace {

using detail::decode_utf8;

// A character inside an error message: itself when printable ASCII, else
// \x and its hexadecimal code, as CPython's "%c"/"\\x%x" pair writes it.
std::string message_char(char32_t cp) {
  if (cp > 32 && cp < 127) return std::string(1, static_cast<char>(cp));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[cp & 0xF]);
    cp >>= 4;
  } while (cp != 0);
  return "\\x" + digits;
}

bool one_of(char32_t c, std::string_view set) {
  return c != 0 && c < 0x80 && set.find(static_cast<char>(c)) != std::string_view::npos;
}

std::size_t count_chars(std::string_view text) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < text.size(); ++n) pos += decode_utf8(text, pos).size;
  return n;
}

// Python builds a field in one buffer and raises MemoryError when it cannot
// have it. Here a width beyond 4 Gi characters is refused as if the
// allocation had failed: the outcome no longer depends on the machine, and
// no attempt is made at a buffer of 100 GB.
constexpr std::int64_t kMaxFieldWidth = std::int64_t{1} << 32;

void check_width(std::int64_t width) {
  if (width > kMaxFieldWidth) throw MemoryError();
}

// Appends `count` fill characters, growing `out` once.
void append_fill(std::string& out, char32_t fill, std::int64_t count) {
  if (count <= 0) return;
  const auto n = static_cast<std::size_t>(count);
  if (fill < 0x80) {
    out.append(n, static_cast<char>(fill));
    return;
  }
  std::string one;
  detail::append_utf8(one, fill);
  const std::size_t start = out.size();
  const std::size_t total = n * one.size();
  out.resize(start + total);
  char* const first = out.data() + start;
  std::memcpy(first, one.data(), one.size());
  // Doubles the filled part until it covers the whole run.
  for (std::size_t done = one.size(); done < total; done *= 2) {
    std::memcpy(first + done, first, std::min(done, total - done));
  }
}

struct Spec {
  char32_t fill = ' ';
  char32_t align = '<';
  char32_t sign = 0;
  bool no_neg_0 = false;
  bool alternate = false;
  std::int64_t width = -1;
  char32_t grouping = 0;  // 0, ',' or '_'
  std::size_t group_size = 3;
  std::int64_t precision = -1;
  char32_t type = 0;
};

// Reads decimal digits at `pos`; returns how many were read.
std::size_t read_number(const std::u32string& s, std::size_t& pos, std::int64_t& out) {
  const std::size_t start = pos;
  for (out = 0; pos < s.size(); ++pos) {
    const int digit = detail::decimal_digit_value(s[pos]);
    if (digit < 0) break;
    if (out > (INT64_MAX - digit) / 10)
      throw ValueError("Too many decimal digits in format string");
    out = out * 10 + digit;
  }
  return pos - start;
}

// The checks CPython makes on the format spec alone, before the type is consulted.
void check_grouping(Spec& spec) {
  if (spec.type == 0 || one_of(spec.type, "defgEG%F")) return;
  if (one_of(spec.type, "boxX") && spec.grouping == '_') {
    spec.group_size = 4;
    return;
  }
  throw ValueError(std::string("Cannot specify '") + static_cast<char>(spec.grouping) + "' with '" +
                   message_char(spec.type) + "'.");
}

Spec parse_spec(std::string_view text, std::string_view type_name, char32_t default_type,
                char32_t default_align) {
  std::u32string s;
  for (std::size_t pos = 0; pos < text.size(); pos += decode_utf8(text, pos).size) {
    s += decode_utf8(text, pos).code_point;
  }
  Spec spec{.align = default_align, .type = default_type};
  std::size_t pos = 0;
  const bool fill_given = s.size() >= 2 && one_of(s[1], "<>=^");
  const bool align_given = fill_given || (!s.empty() && one_of(s[0], "<>=^"));
  if (fill_given) spec.fill = s[pos++];
  if (align_given) spec.align = s[pos++];
  if (pos < s.size() && one_of(s[pos], " +-")) spec.sign = s[pos++];
  if (pos < s.size() && s[pos] == 'z') spec.no_neg_0 = true, ++pos;
  if (pos < s.size() && s[pos] == '#') spec.alternate = true, ++pos;
  if (!fill_given && pos < s.size() && s[pos] == '0') {
    spec.fill = '0';
    if (!align_given && default_align == '>') spec.align = '=';
    ++pos;
  }
  if (read_number(s, pos, spec.width) == 0) spec.width = -1;
  const char* both = "Cannot specify both ',' and '_'.";
  if (pos < s.size() && s[pos] == ',') spec.grouping = ',', ++pos;
  if (pos < s.size() && s[pos] == '_') {
    if (spec.grouping != 0) throw ValueError(both);
    spec.grouping = '_', ++pos;
  }
  if (pos < s.size() && s[pos] == ',' && spec.grouping == '_') throw ValueError(both);
  if (pos < s.size() && s[pos] == '.') {
    if (read_number(s, ++pos, spec.precision) == 0) {
      throw ValueError("Format specifier missing precision");
    }
  }
  if (s.size() - pos > 1) {
    throw ValueError("Invalid format specifier '" + std::string(text) + "' for object of type '" +
                     std::string(type_name) + "'");
  }
  if (pos < s.size()) spec.type = s[pos];
  if (spec.grouping != 0) check_grouping(spec);
  return spec;
}

[[noreturn]] void unknown_type(const Spec& spec, std::string_view type_name) {
  throw ValueError("Unknown format code '" + message_char(spec.type) + "' for object of type '" +
                   std::string(type_name) + "'");
}

void format_text(std::string& out, std::string_view text, std::string_view spec_text) {
  const Spec spec = parse_spec(spec_text, "str", 's', '<');
  if (spec.type != 's') unknown_type(spec, "str");
  if (spec.sign != 0) {
    throw ValueError(std::string(spec.sign == ' ' ? "Space" : "Sign") +
                     " not allowed in string format specifier");
  }
  if (spec.no_neg_0) {
    throw ValueError("Negative zero coercion (z) not allowed in string format specifier");
  }
  if (spec.alternate) throw ValueError("Alternate form (#) not allowed in string format specifier");
  if (spec.align == '=') throw ValueError("'=' alignment not allowed in string format specifier");
  if (spec.width < 0 && spec.precision < 0) {
    out += text;
    return;
  }
  auto len = static_cast<std::int64_t>(count_chars(text));
  if (spec.precision >= 0 && len > spec.precision) {
    std::size_t cut = 0;
    for (std::int64_t i = 0; i < spec.precision; ++i) cut += decode_utf8(text, cut).size;
    text = text.substr(0, cut);
    len = spec.precision;
  }
  check_width(spec.width);
  const std::int64_t pad = std::max<std::int64_t>(spec.width - len, 0);
  const std::int64_t left = spec.align == '>' ? pad : spec.align == '^' ? pad / 2 : 0;
  append_fill(out, spec.fill, left);
  out += text;
  append_fill(out, spec.fill, pad - left);
}

// A number as CPython's calc_number_widths sees it.
struct NumberParts {
  bool negative = false;
  std::string prefix;  // "0x" and the like
  std::string digits;  // integer digits, to be grouped and zero-padded
  bool has_decimal = false;
  std::string remainder;  // after the decimal point (all of 'c', inf and nan)
};

// _PyUnicode_InsertThousandsGrouping: groups `digits` from the right (no
// grouping when `group` is 0), padding with zeros up to `min_width`.
std::string group_digits(std::string_view digits, std::int64_t min_width, std::size_t group,
                         char sep) {
  std::string reversed;
  auto remaining = static_cast<std::int64_t>(digits.size());
  min_width = std::max<std::int64_t>(min_width, 0);
  bool use_sep = false;
  auto emit = [&](std::int64_t len) {
    const std::int64_t chars = std::max<std::int64_t>(0, std::min(remaining, len));
    if (use_sep) reversed += sep;
    for (std::int64_t i = 0; i < chars; ++i) reversed += digits[--remaining];
    reversed.append(static_cast<std::size_t>(std::max<std::int64_t>(0, len - chars)), '0');
    use_sep = true;
  };
  while (group > 0) {
    const std::int64_t len = std::min<std::int64_t>(
        static_cast<std::int64_t>(group), std::max<std::int64_t>({remaining, min_width, 1}));
    emit(len);
    min_width -= len;
    if (remaining <= 0 && min_width <= 0) return {reversed.rbegin(), reversed.rend()};
    min_width -= 1;  // the separator
  }
  emit(std::max<std::int64_t>({remaining, min_width, 1}));
  return {reversed.rbegin(), reversed.rend()};
}

void fill_number(std::string& out, const NumberParts& n, const Spec& spec, bool group) {
  check_width(spec.width);
  char sign = n.negative ? '-' : 0;
  if (spec.sign == '+' || spec.sign == ' ') sign = n.negative ? '-' : static_cast<char>(spec.sign);
  const std::int64_t non_digits = (sign != 0) + static_cast<std::int64_t>(n.prefix.size()) +
                                  n.has_decimal +
                                  static_cast<std::int64_t>(count_chars(n.remainder));
  const std::int64_t min_width =
      spec.fill == '0' && spec.align == '=' ? spec.width - non_digits : 0;
  group = group && spec.grouping != 0;
  const std::string digits = n.digits.empty()
                                 ? std::string()
                                 : group_digits(n.digits, min_width, group ? spec.group_size : 0,
                                                static_cast<char>(spec.grouping));
  const std::int64_t pad =
      std::max<std::int64_t>(spec.width - non_digits - static_cast<std::int64_t>(digits.size()), 0);
  const std::int64_t left = spec.align == '>' ? pad : spec.align == '^' ? pad / 2 : 0;
  const std::int64_t inner = spec.align == '=' ? pad : 0;
  append_fill(out, spec.fill, left);
  if (sign != 0) out += sign;
  out += n.prefix;
  append_fill(out, spec.fill, inner);
  out += digits;
  if (n.has_decimal) out += '.';
  out += n.remainder;
  append_fill(out, spec.fill, pad - left - inner);
}

// format_float_internal: no type is repr-like ('r'), or 'g' keeping one
// fractional digit once a precision is given; 'n' is 'g' in the C locale.
void format_float(std::string& out, double value, const Spec& spec) {
  if (spec.precision > INT_MAX) throw ValueError("precision too big");
  // The digits could take two billion characters; a field too wide fails
  // anyway, so it fails before they are made.
  check_width(spec.width);
  detail::FloatFormat f{.code = static_cast<char>(spec.type),
                        .alternate = spec.alternate,
                        .no_negative_zero = spec.no_neg_0};
  int default_precision = 6;
  if (f.code == 0) f.add_dot_0 = true, f.code = 'r', default_precision = 0;
  if (f.code == 'n') f.code = 'g';
  const bool percent = f.code == '%';
  if (percent) f.code = 'f', value *= 100;
  f.precision = spec.precision < 0 ? default_precision : static_cast<int>(spec.precision);
  if (spec.precision >= 0 && f.code == 'r') f.code = 'g';
  const std::string text = detail::format_double(value, f) + (percent ? "%" : "");
  NumberParts parts;
  std::string_view rest = text;
  parts.negative = rest.front() == '-';
  if (parts.negative) rest.remove_prefix(1);
  const std::size_t ndigits = std::min(rest.find_first_not_of("0123456789"), rest.size());
  parts.digits = rest.substr(0, ndigits);
  rest.remove_prefix(ndigits);
  parts.has_decimal = !rest.empty() && rest.front() == '.';
  parts.remainder = rest.substr(parts.has_decimal ? 1 : 0);
  fill_number(out, parts, spec, spec.type != 'n');
}

void format_integer(std::string& out, const Value& value, std::string_view spec_text) {
  const std::string_view type_name = detail::py_type_name(value);
  const Spec spec = parse_spec(spec_text, type_name, 'd', '>');
  NumberParts parts;
  parts.negative =
      value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0;
  const std::uint64_t magnitude = value.is_boolean() ? std::uint64_t{value.get<bool>()}
                                  : parts.negative
                                      ? 0 - static_cast<std::uint64_t>(value.get<std::int64_t>())
                                      : value.get<std::uint64_t>();
  if (one_of(spec.type, "eEfFgG%")) {
    const auto x = static_cast<double>(magnitude);
    return format_float(out, parts.negative ? -x : x, spec);
  }
  if (!one_of(spec.type, "bcdoxXn")) unknown_type(spec, type_name);
  if (spec.precision != -1) throw ValueError("Precision not allowed in integer format specifier");
  if (spec.no_neg_0) {
    throw ValueError("Negative zero coercion (z) not allowed in integer format specifier");
  }
  if (spec.type == 'c') {
    if (spec.sign != 0) throw ValueError("Sign not allowed with integer format specifier 'c'");
    if (spec.alternate) {
      throw ValueError("Alternate form (#) not allowed with integer format specifier 'c'");
    }
    if (parts.negative || magnitude > 0x10FFFF) throw ValueError("%c arg not in range(0x110000)");
    detail::append_utf8(parts.remainder, static_cast<char32_t>(magnitude));
    return fill_number(out, parts, spec, true);
  }
  const auto type = static_cast<char>(spec.type);
  const unsigned base = type == 'b' ? 2 : type == 'o' ? 8 : one_of(type, "xX") ? 16 : 10;
  const char* symbols = type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  for (std::uint64_t rest = magnitude; rest != 0 || parts.digits.empty(); rest /= base) {
    parts.digits += symbols[rest % base];
  }
  std::reverse(parts.digits.begin(), parts.digits.end());
  if (spec.alternate && base != 10) parts.prefix = {'0', type};
  fill_number(out, parts, spec, type != 'n');
}

void format_float_value(std::string& out, double value, std::string_view spec_text) {
  const Spec spec = parse_spec(spec_text, "float", 0, '>');
  if (spec.type != 0 && !one_of(spec.type, "eEfFgGn%")) unknown_type(spec, "float");
  format_float(out, value, spec);
}

}  // namespace

void detail::append_format(std::string& out, const Value& value, std::string_view spec) {
  if (spec.empty() && value.is_string()) {
    out += value.get_ref<const std::string&>();
    return;
  }
  if (spec.empty()) {
    out += py_str(value);
    return;
  }
  using T = Value::value_t;
  switch (value.type()) {
    case T::string:
      return format_text(out, value.get_ref<const std::string&>(), spec);
    case T::boolean:
    case T::number_integer:
    case T::number_unsigned:
      return format_integer(out, value, spec);
    case T::number_float:
      return format_float_value(out, value.get<double>(), spec);
    default:
      throw TypeError("unsupported format string passed to " +
                      std::string(detail::py_type_name(value)) + ".__format__");
  }
}

}  // namespace zelq::core
