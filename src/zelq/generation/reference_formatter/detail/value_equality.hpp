// Python's == between values, and a hash that agrees with it, for the places
// where the reference formatters compare metadata values and rendered
// references the way a Python list membership test does.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::generation::reference_formatter::detail {

// Python equality: booleans and numbers compare by numeric value across
// kinds (True == 1 == 1.0), NaN equals nothing, texts and byte strings by
// their bytes (a text never equals a byte string), lists element-wise, and
// mappings by their key sets and values, whatever the key order. Throws
// RuntimeError "maximum recursion depth exceeded in comparison" when it
// reaches arrays and objects nested deeper than core::kMaxRecursionDepth
// (1000).
bool py_equal(const core::Value& a, const core::Value& b);

// A hash consistent with py_equal: values that py_equal calls equal hash the
// same (mappings independently of key order). It reads values no deeper
// than core::kMaxRecursionDepth (1000) levels, so it never throws: Python's
// membership tests compare without hashing, and what fails on a deeper
// value is py_equal, with Python's error.
std::size_t py_hash(const core::Value& value);

// Both take the values themselves and the references a PyValueSet holds,
// so that a set is searched with a value it does not hold.
struct PyValueHash {
  using is_transparent = void;
  std::size_t operator()(const core::Value& value) const { return py_hash(value); }
};
struct PyValueEqual {
  using is_transparent = void;
  bool operator()(const core::Value& a, const core::Value& b) const { return py_equal(a, b); }
};

// A set of values under Python equality, for membership tests in constant
// expected time. It holds references to the caller's values, which must
// outlive it, never copies: a copy of a value recurses as deep as the value
// is nested, and an application's value may be nested deeper than the stack
// allows.
using PyValueSet =
    std::unordered_set<std::reference_wrapper<const core::Value>, PyValueHash, PyValueEqual>;

}  // namespace zelq::generation::reference_formatter::detail
