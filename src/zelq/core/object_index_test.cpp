#include "zelq/core/object_index.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zelq::core {
namespace {

Value numbered(std::size_t size) {
  Value object = Value::object();
  for (std::size_t i = 0; i < size; ++i) object["k" + std::to_string(i)] = i;
  return object;
}

// Sizes on both sides of the scan limit, looked up often enough that the
// large ones switch to their table halfway.
TEST(ObjectIndexTest, FindsWhatValueFindFinds) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, kScanLimit, kScanLimit + 1, std::size_t{1000}}) {
    SCOPED_TRACE(size);
    const Value object = numbered(size);
    ObjectIndex index(object);
    for (int round = 0; round < 3; ++round) {
      for (std::size_t i = size + 2; i-- > 0;) {
        const std::string key = "k" + std::to_string(i);
        const Value* found = index.find(key);
        if (i < size) {
          ASSERT_NE(found, nullptr) << key;
          EXPECT_EQ(found, &*object.find(key));
        } else {
          EXPECT_EQ(found, nullptr) << key;
        }
      }
      EXPECT_EQ(index.find(""), nullptr);
      EXPECT_EQ(index.find("k"), nullptr);
    }
  }
  const Value text = "k0";
  EXPECT_EQ(ObjectIndex(text).find("k0"), nullptr);
  EXPECT_EQ(ObjectIndex(Value()).find("k0"), nullptr);
  const Value with_empty = {{"", 1}, {std::string("a\0b", 3), 2}};
  ObjectIndex index(with_empty);
  EXPECT_EQ(*index.find(""), 1);
  EXPECT_EQ(*index.find(std::string_view("a\0b", 3)), 2);
  EXPECT_EQ(index.find("a"), nullptr);
}

// d[key] = value: a present key keeps its place and takes the new value,
// a new one goes to the end; the result equals what Value's operator[]
// builds.
TEST(ObjectBuilderTest, AssignsAsPythonDictItemsDo) {
  for (const std::size_t start : {std::size_t{0}, std::size_t{3}, kScanLimit + 5}) {
    SCOPED_TRACE(start);
    Value built = numbered(start);
    Value expected = numbered(start);
    ObjectBuilder builder(built);
    for (std::size_t i = 0; i < 3000; ++i) {
      // Every third key is one seen before (or one already present).
      const std::size_t n = i % 3 == 2 ? i / 7 : start + i;
      const std::string key = "k" + std::to_string(n);
      builder[key] = "v" + std::to_string(i);
      expected[key] = "v" + std::to_string(i);
    }
    EXPECT_EQ(built, expected);
    EXPECT_EQ(builder["k0"], expected["k0"]);
    EXPECT_TRUE(builder["new"].is_null());
    EXPECT_EQ(built.size(), expected.size() + 1);
  }
  Value not_object = Value::array();
  EXPECT_THROW(ObjectBuilder{not_object}, Value::type_error);
}

}  // namespace
}  // namespace zelq::core
