// Python text forms. Every place where the library's output depends on how
// Python prints a value goes through this module: printed representations of
// texts, byte strings and values, truthiness, Unicode-aware stripping, the
// default json.dumps form, and str.format for named fields.
#pragma once

#include <string>
#include <string_view>

#include "zelq/core/value.hpp"

namespace zelq::core {

// repr() of a text given as UTF-8: single quotes, or double quotes when the
// text holds a single quote and no double quote; backslash, the enclosing
// quote, \n, \r and \t escaped; other non-printable code points as \xNN,
// \uNNNN or \UNNNNNNNN; printable non-ASCII kept as is. Invalid UTF-8 bytes
// are shown as \xNN escapes of the byte.
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
// py_bytes_repr, lists [a, b], dicts {'k': v}.
std::string py_repr(const Value& value);

// str() of a Value: a text unchanged, everything else as py_repr.
std::string py_str(const Value& value);

// Python's repr of a float (the shortest text that round-trips).
std::string py_float_repr(double value);

// Truth value: null, false, 0, 0.0, "", empty array, object or binary are
// false; everything else true.
bool py_truthy(const Value& value);

// str.strip() / str.isspace()-based blank test with Python's Unicode
// whitespace set. py_is_blank is true for the empty text too.
std::string py_strip(std::string_view text);
bool py_is_blank(std::string_view text);

// json.dumps(value) with Python's defaults: ", " and ": " separators,
// non-ASCII escaped as \uXXXX (surrogate pairs above the BMP), floats in
// Python repr, NaN/Infinity/-Infinity. Binary values throw TypeError
// ("Object of type bytes is not JSON serializable").
std::string json_dumps(const Value& value);

// str.format(template, **kwargs) for named fields. Supports {{ and }},
// attribute-free item access ({a[0]}, {a[key]}), conversions !s !r !a, nested
// replacement fields in the format spec, and the format-spec mini-language
// for texts, integers and floats. Errors follow Python's kinds:
//   unknown name        -> KeyError whose what() is the repr of the name
//   positional field    -> IndexError
//   malformed braces    -> ValueError
//   bad spec for a type -> ValueError
// `kwargs` must be an object (a null Value counts as empty).
std::string py_format(std::string_view templ, const Value& kwargs);

}  // namespace zelq::core
