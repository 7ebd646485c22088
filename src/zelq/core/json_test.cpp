#include "zelq/core/json.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

// `levels` objects and arrays by turns around 1: {"k": [{"k": [1]}]} for 4.
std::string nested_text(std::size_t levels) {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) text += i % 2 == 0 ? "{\"k\": " : "[";
  text += '1';
  for (std::size_t i = levels; i-- > 0;) text += i % 2 == 0 ? '}' : ']';
  return text;
}

std::string error_of(const std::string& text) {
  try {
    parse_json(text, "The answer of /v1/x");
  } catch (const ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ParseJsonTest, BoundsNestingAt512LevelsWhileParsing) {
  const Value value = parse_json(nested_text(512), "x");
  const Value* inner = &value;
  for (int i = 0; i < 512; ++i) inner = inner->is_object() ? &inner->at("k") : &inner->at(0);
  EXPECT_EQ(*inner, 1);
  // Levels are counted on the way down only: closed siblings do not add up.
  EXPECT_EQ(error_of("[" + nested_text(511) + ", " + nested_text(511) + "]"), "no error");

  const std::string expected = "The answer of /v1/x is nested deeper than 512 levels";
  EXPECT_EQ(error_of(nested_text(513)), expected);
  EXPECT_EQ(error_of("[" + nested_text(511) + ", [" + nested_text(511) + "]]"), expected);
  EXPECT_EQ(error_of(std::string(100000, '[') + std::string(100000, ']')), expected);
  EXPECT_EQ(error_of(std::string(100000, '[')), expected) << "checked before the text ends";

  EXPECT_EQ(parse_json(R"({"a": [1, "b"]})", "x"), Value({{"a", {1, "b"}}}));
  EXPECT_EQ(parse_json("2.5", "x"), 2.5);
  for (const char* invalid : {"", "{", "[1,]", "1 2", "{\"a\" 1}", "nul"}) {
    EXPECT_TRUE(parse_json(invalid, "x").is_discarded()) << invalid;
  }
}

}  // namespace
}  // namespace zelq::core
