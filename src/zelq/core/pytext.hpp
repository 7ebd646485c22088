// Python text forms. Every place where the library's output depends on how
// Python prints a value goes through this module: printed representations of
// texts, byte strings and values, truthiness, Unicode-aware stripping, the
// default json.dumps form, and str.format for named fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "zelq/core/value.hpp"

namespace zelq::core {

// All functions here are pure, thread-safe and keep no reference to their
// arguments. Texts are UTF-8. A byte that does not start a valid UTF-8
// sequence counts as one character of its own; a three-byte encoded surrogate
// (U+D800..U+DFFF, as Python's "surrogatepass" writes it) counts as that code
// point, so Python texts holding lone surrogates keep their printed form.

// repr() of a text given as UTF-8: single quotes, or double quotes when the
// text holds a single quote and no double quote; backslash, the enclosing
// quote, \n, \r and \t escaped; other non-printable code points as \xNN,
// \uNNNN or \UNNNNNNNN; printable non-ASCII kept as is. Invalid UTF-8 bytes
// are shown as \xNN escapes of the byte. Never throws (except bad_alloc).
std::string py_repr(std::string_view text);
// Texts pick the text form, not the Value form.
inline std::string py_repr(const std::string& text) { return py_repr(std::string_view(text)); }
inline std::string py_repr(const char* text) { return py_repr(std::string_view(text)); }

// repr() of a byte string: b'...' with the same quote rule, bytes outside
// printable ASCII as \xNN.
std::string py_bytes_repr(const Bytes& bytes);
std::string py_bytes_repr(std::string_view bytes);

// repr() of a Value: None, True/False, integers, floats in Python's shortest
// repr (1.0, 1e-05, 1e+16, inf, nan), texts as py_repr, binary as
// py_bytes_repr, lists [a, b], dicts {'k': v}. A value with arrays and
// objects nested deeper than kMaxRecursionDepth (1000, CPython's recursion
// limit) levels throws RuntimeError "maximum recursion depth exceeded while
// getting the repr of an object", as do py_str and py_ascii.
std::string py_repr(const Value& value);

// str() of a Value: a text unchanged, everything else as py_repr.
std::string py_str(const Value& value);

// ascii() of a Value: py_repr with every non-ASCII character escaped as
// \xNN, \uNNNN or \UNNNNNNNN.
std::string py_ascii(const Value& value);

// Python's repr of a float (the shortest text that round-trips): scientific
// notation when the decimal exponent is below -4 or at least 16 ("1e-05",
// "1e+16"), otherwise positional with at least one fractional digit ("1.0");
// "inf", "-inf" and "nan" (never "-nan").
std::string py_float_repr(double value);

// Truth value: null, false, 0, 0.0, "", empty array, object or binary are
// false; everything else true.
bool py_truthy(const Value& value);

// str.strip() / str.isspace()-based blank test with Python's Unicode
// whitespace set (ASCII \t\n\v\f\r, \x1c-\x1f and space, U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
// py_is_blank is true for the empty text too (unlike "".isspace()).
std::string py_strip(std::string_view text);
bool py_is_blank(std::string_view text);

// json.dumps(value) with Python's defaults: ", " and ": " separators,
// non-ASCII escaped as \uXXXX (surrogate pairs above the BMP), floats in
// Python repr, NaN/Infinity/-Infinity, keys in insertion order. Binary
// values throw TypeError ("Object of type bytes is not JSON serializable").
// A byte of invalid UTF-8 inside a text is written as \ufffd. Nesting
// deeper than kMaxRecursionDepth (1000) levels throws RuntimeError "maximum
// recursion depth exceeded while encoding a JSON object".
std::string json_dumps(const Value& value);

// str.format(template, **kwargs) for named fields. Supports {{ and }}, item
// access ({a[0]}, {a[key]}), conversions !s !r !a, nested replacement fields
// in the format spec ({x:{w}}), and the format-spec mini-language
// [[fill]align][sign][z][#][0][width][grouping][.precision][type] for texts,
// integers (bools count as integers once a spec is given) and floats; None,
// lists, dicts and bytes accept only the empty spec. Fields are rendered left
// to right, so the first failing field decides the error. Errors follow
// Python's kinds and messages:
//   unknown name           -> KeyError whose what() is the repr of the name
//   positional field       -> IndexError ("Replacement index 0 out of range
//                             for positional args tuple")
//   malformed braces       -> ValueError ("Single '}' encountered in format
//                             string", "expected '}' before end of string")
//   bad spec for a type    -> ValueError ("Unknown format code 'd' for object
//                             of type 'str'") or TypeError ("unsupported
//                             format string passed to NoneType.__format__")
//   bad item access        -> KeyError, IndexError or TypeError as Python's
//                             dict, list, str and bytes give them
//   attribute access {a.b} -> AttributeError ("'dict' object has no
//                             attribute 'b'"): values here have no
//                             attributes
//   'c' out of range       -> ValueError ("%c arg not in range(0x110000)",
//                             an OverflowError in Python)
//   width or precision     -> ValueError ("Too many decimal digits in format
//   past the limits           string" past 2**63 - 1, "precision too big"
//                             for a float precision past 2**31 - 1), or
//                             MemoryError (empty what(), a std::bad_alloc)
//                             for a width past 2**32, where Python runs out
//                             of memory
// An integer-like item key (Unicode decimal digits only, as in {a[0]} or
// {a[007]}) indexes a list, text or bytes; on a dict it is an int key, which
// Value objects never have, so it raises KeyError "0" (or "7") even when the
// text key "0" exists, as Python does. `kwargs` must be an object (a null
// Value counts as empty); anything else throws TypeError before any work.
// Numbers use the C locale for the 'n' type (no grouping).
std::string py_format(std::string_view templ, const Value& kwargs);

namespace detail {

// One decoded character of a UTF-8 text. An invalid byte gives valid ==
// false, code_point == the byte and size == 1.
struct Utf8Char {
  char32_t code_point;
  std::size_t size;
  bool valid;
};

// Decodes the character at `pos` (pos < text.size()).
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

// Whether py_repr keeps the code point as it stands (Python's
// str.isprintable): false for controls, format characters (U+00AD,
// U+200B..U+200F, U+2060, U+FEFF, the bidi controls), separators other than
// the space, surrogates, private use and unassigned code points.
bool is_printable(char32_t code_point) noexcept;

// The one escaper of texts: appends the character that starts at `pos` as
// py_repr writes it between the quotes `quote`, and returns the position
// after it. An invalid UTF-8 byte is written as \xNN. With `quote` 0 (a text
// shown on a line rather than a repr) the backslash, both quotes and the
// white space of a line (is_line_space) stand as they are; everything else
// is escaped as py_repr escapes it.
std::size_t append_repr_char(std::string& out, std::string_view text, std::size_t pos, char quote);

// Appends the UTF-8 form of a code point (surrogates as three bytes).
void append_utf8(std::string& out, char32_t code_point);

// The value 0..9 of a Unicode decimal digit, or -1.
int decimal_digit_value(char32_t code_point);

// The Python type name of a value: NoneType, bool, int, float, str, bytes,
// list or dict.
std::string_view py_type_name(const Value& value);

// PyOS_double_to_string: `code` is one of e E f F g G r ('r' = repr, which
// needs precision 0). `alternate` keeps the decimal point and trailing zeros
// ('#'), `add_dot_0` writes ".0" after an integral positional result, and
// `no_negative_zero` drops the sign of a result that rounds to zero ('z').
struct FloatFormat {
  char code = 'r';
  int precision = 0;
  bool alternate = false;
  bool add_dot_0 = false;
  bool no_negative_zero = false;
};
std::string format_double(double value, const FloatFormat& format);

// Appends format(value, spec): the format-spec mini-language (an empty spec
// gives str(value)). Throws ValueError or TypeError as Python's format does.
void append_format(std::string& out, const Value& value, std::string_view spec);

}  // namespace detail

}  // namespace zelq::core
