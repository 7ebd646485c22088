#include "zelq/generation/reference_formatter/value_equality.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace zelq::generation::reference_formatter::detail {
namespace {

using core::Value;

// Python: 1 == 1.0 == True, 0 == -0.0, "1" != 1, None != "None", b"a" != "a",
// [1] == [1.0], {"a": 1, "b": 2} == {"b": 2, "a": 1}, nan != nan.
TEST(PyEqualTest, FollowsPythonEqualityWithAMatchingHash) {
  const auto same = [](const Value& a, const Value& b) {
    EXPECT_TRUE(py_equal(a, b)) << a.dump() << " vs " << b.dump();
    EXPECT_TRUE(py_equal(b, a));
    EXPECT_EQ(py_hash(a), py_hash(b)) << a.dump();
  };
  const auto different = [](const Value& a, const Value& b) {
    EXPECT_FALSE(py_equal(a, b)) << a.dump() << " vs " << b.dump();
    EXPECT_FALSE(py_equal(b, a));
  };
  same(1, 1.0);
  same(true, 1u);
  same(0, -0.0);
  same(-3, -3.0);
  same(std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max());
  same(Value::array({1, "a"}), Value::array({1.0, "a"}));
  same(Value{{"a", 1}, {"b", 2}}, Value{{"b", 2}, {"a", 1}});
  same(nullptr, nullptr);
  different("1", 1);
  different(nullptr, "None");
  different(core::bytes_value({'a'}), "a");
  different(1.5, 1);
  different(-1, std::numeric_limits<std::uint64_t>::max());
  different(std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN());
  different(Value::array({1}), Value::array({1, 1}));
  different(Value{{"a", 1}}, Value{{"b", 1}});
  different(Value::array(), Value::object());
}

}  // namespace
}  // namespace zelq::generation::reference_formatter::detail
