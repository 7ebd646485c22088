#include "zelq/generation/reference_formatter/detail/value_equality.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::generation::reference_formatter::detail {
namespace {

using core::Value;

// `levels` arrays and objects by turns around `leaf`.
Value nested(std::size_t levels, Value leaf) {
  for (std::size_t i = 0; i < levels; ++i) {
    if (i % 2 == 0) {
      leaf = Value::array({std::move(leaf)});
    } else {
      Value object = Value::object();
      object["k"] = std::move(leaf);
      leaf = std::move(object);
    }
  }
  return leaf;
}

template <typename Call>
std::string runtime_error_of(Call call) {
  try {
    call();
  } catch (const core::RuntimeError& error) {
    return error.what();
  }
  return "no error";
}

// CPython compares values as deep as its recursion limit of 1000 (less what
// its caller's frames take); python3 raises "maximum recursion depth
// exceeded in comparison" beyond. A list membership test in Python compares
// without hashing: the hash never fails, and a set fails only where it
// compares.
TEST(ValueEqualityTest, ComparingDeeperThan1000LevelsIsARuntimeError) {
  for (const std::size_t levels : {600, 900}) {
    EXPECT_TRUE(py_equal(nested(levels, 1), nested(levels, 1.0))) << levels;
    EXPECT_EQ(py_hash(nested(levels, 1)), py_hash(nested(levels, true))) << levels;
  }
  const Value value = nested(1000, 1);
  EXPECT_TRUE(py_equal(value, nested(1000, 1.0)));
  EXPECT_FALSE(py_equal(value, nested(1000, 2)));
  EXPECT_EQ(py_hash(value), py_hash(nested(1000, true)));
  PyValueSet set{value};
  EXPECT_TRUE(set.contains(nested(1000, 1.0)));

  for (const std::size_t levels : {1001, 50000}) {
    const Value deep = nested(levels, 1);
    EXPECT_EQ(py_hash(deep), py_hash(nested(levels, 2))) << "levels below 1000 are not hashed";
    EXPECT_EQ(runtime_error_of([&] { py_equal(deep, deep); }),
              "maximum recursion depth exceeded in comparison");
    PyValueSet deep_set;  // values moved in: nlohmann copies recursively
    EXPECT_TRUE(deep_set.insert(nested(levels, 1)).second);
    EXPECT_EQ(runtime_error_of([&] { deep_set.insert(nested(levels, 1.0)); }),
              "maximum recursion depth exceeded in comparison");
    EXPECT_EQ(deep_set.size(), 1u);
  }
  // A shallow difference is found without going deep.
  EXPECT_FALSE(py_equal(Value::array({1, nested(1001, 1)}), Value::array({2, nested(1001, 1)})));
}

}  // namespace
}  // namespace zelq::generation::reference_formatter::detail
