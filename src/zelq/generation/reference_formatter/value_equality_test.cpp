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

  // The set holds references, never copies: a copy recurses as deep as the
  // value is nested.
  for (const std::size_t levels : {1001, 50000, 200000}) {
    const Value deep = nested(levels, 1);
    EXPECT_EQ(py_hash(deep), py_hash(nested(levels, 2))) << "levels below 1000 are not hashed";
    EXPECT_EQ(runtime_error_of([&] { py_equal(deep, deep); }),
              "maximum recursion depth exceeded in comparison");
    const Value same = nested(levels, 1.0);
    PyValueSet deep_set;
    EXPECT_TRUE(deep_set.insert(deep).second);
    EXPECT_EQ(runtime_error_of([&] { deep_set.insert(same); }),
              "maximum recursion depth exceeded in comparison");
    EXPECT_EQ(runtime_error_of([&] { (void)deep_set.contains(same); }),
              "maximum recursion depth exceeded in comparison");
    EXPECT_EQ(deep_set.size(), 1u);
    EXPECT_EQ(&deep_set.begin()->get(), &deep);
  }
  // A shallow difference is found without going deep.
  EXPECT_FALSE(py_equal(Value::array({1, nested(1001, 1)}), Value::array({2, nested(1001, 1)})));
}

// Large mappings compare by key sets and values whatever their key order,
// and hash alike when equal.
TEST(ValueEqualityTest, LargeMappingsCompareWhateverTheKeyOrder) {
  Value forward = Value::object();
  Value backward = Value::object();
  for (int i = 0; i < 2000; ++i) forward["k" + std::to_string(i)] = {{"n", i}, {"half", i / 2}};
  for (int i = 2000; i-- > 0;) {
    backward["k" + std::to_string(i)] = {{"half", i / 2.0 - (i % 2) / 2.0}, {"n", i}};
  }
  EXPECT_TRUE(py_equal(forward, backward));
  EXPECT_TRUE(py_equal(backward, forward));
  EXPECT_EQ(py_hash(forward), py_hash(backward));
  Value shuffled = forward;
  std::swap(shuffled["k0"], shuffled["k1999"]);
  EXPECT_FALSE(py_equal(forward, shuffled));
  Value renamed = backward;
  renamed.erase("k1000");
  renamed["k2000"] = forward["k1000"];
  EXPECT_FALSE(py_equal(forward, renamed));
  EXPECT_FALSE(py_equal(renamed, forward));
  Value same_order = forward;
  same_order["k1500"]["n"] = true;
  EXPECT_FALSE(py_equal(forward, same_order));
}

}  // namespace
}  // namespace zelq::generation::reference_formatter::detail
