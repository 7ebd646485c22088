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

TEST(ValueEqualityTest, ValuesNestedDeeperThan512LevelsAreARuntimeError) {
  const Value value = nested(512, 1);
  EXPECT_TRUE(py_equal(value, nested(512, 1.0)));
  EXPECT_FALSE(py_equal(value, nested(512, 2)));
  EXPECT_EQ(py_hash(value), py_hash(nested(512, true)));
  PyValueSet set{value};
  EXPECT_TRUE(set.contains(nested(512, 1.0)));

  for (const std::size_t levels : {513, 50000}) {
    const Value deep = nested(levels, 1);
    EXPECT_EQ(runtime_error_of([&] { py_hash(deep); }),
              "maximum recursion depth exceeded while hashing a value");
    EXPECT_EQ(runtime_error_of([&] { py_equal(deep, deep); }),
              "maximum recursion depth exceeded in comparison");
    EXPECT_EQ(runtime_error_of([&] { set.insert(deep); }),
              "maximum recursion depth exceeded while hashing a value");
    EXPECT_EQ(set.size(), 1u);
  }
}

}  // namespace
}  // namespace zelq::generation::reference_formatter::detail
