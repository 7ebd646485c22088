#include "zelq/core/json.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

// The memory budget of reading one text, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

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
    parse_json(text, "The answer of /v1/x", kBudget);
  } catch (const ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ParseJsonTest, BoundsNestingAt512LevelsWhileParsing) {
  const Value value = parse_json(nested_text(512), "x", kBudget);
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

  EXPECT_EQ(parse_json(R"({"a": [1, "b"]})", "x", kBudget), Value({{"a", {1, "b"}}}));
  EXPECT_EQ(parse_json("2.5", "x", kBudget), 2.5);
  for (const char* invalid : {"", "{", "[1,]", "1 2", "{\"a\" 1}", "nul"}) {
    EXPECT_TRUE(parse_json(invalid, "x", kBudget).is_discarded()) << invalid;
  }
}

std::vector<std::string> keys_of(const Value& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

// A repeated key stays where it first came and takes its last value, as
// Python's json.loads reads it; also once an object is large enough to be
// indexed while it is read.
TEST(ParseJsonTest, RepeatedKeysKeepTheFirstPositionAndTheLastValue) {
  Value value = parse_json(R"({"a":1,"b":2,"a":3})", "x", kBudget);
  EXPECT_EQ(keys_of(value), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(value["a"], 3);
  value = parse_json(R"({"a":{"x":1},"b":[{"c":1,"c":[2]}],"a":{"y":2}})", "x", kBudget);
  EXPECT_EQ(value.dump(), R"({"a":{"y":2},"b":[{"c":[2]}]})");

  for (const std::size_t size : {std::size_t{31}, std::size_t{33}, std::size_t{2000}}) {
    SCOPED_TRACE(size);
    std::string text = "{";
    Value expected = Value::object();
    for (std::size_t i = 0; i < size; ++i) {
      text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
      expected["k" + std::to_string(i)] = i;
    }
    // Repeats of the first, a middle and the last key.
    const std::vector<std::size_t> repeats = {0, size / 2, size - 1, size / 2, 0};
    for (std::size_t j = 0; j < repeats.size(); ++j) {
      const std::string key = "k" + std::to_string(repeats[j]);
      text += "\"" + key + "\":\"again " + std::to_string(j) + "\",";
      expected[key] = "again " + std::to_string(j);
    }
    text += "\"last\":null}";
    expected["last"] = nullptr;
    const Value parsed = parse_json(text, "x", kBudget);
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(parsed.size(), size + 1);
    EXPECT_EQ(keys_of(parsed).front(), "k0");
    EXPECT_EQ(parsed["k0"], "again 4");
    EXPECT_EQ(parsed["k" + std::to_string(size / 2)], "again 3");
    EXPECT_EQ(parsed["k" + std::to_string(size - 1)], "again 2");
    EXPECT_EQ(parsed["k1"], 1);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainMalloc = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kPlainMalloc = false;
#else
constexpr bool kPlainMalloc = true;
#endif
#else
constexpr bool kPlainMalloc = true;
#endif

// The heap glibc's malloc has handed out and not had back.
std::size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// The budget bounds the heap the value really holds: a value that holds H
// bytes fails under a budget a little below H and is read under one of a
// few times H (the room growth takes for a moment). Arrays and objects of
// tiny items, long strings and mixed rows, each once small and once large;
// a budget leaves the value as it is.
TEST(ParseJsonTest, ABudgetBoundsTheHeapTheValueHolds) {
  const std::string row = R"({"id":"item-0042","tags":["pollinator","social"],"score":0.875,)"
                          R"("note":"Navigates by the sun, even under clouds."})";
  const std::vector<std::string> items = {
      R"("")", "0", "[]", "{}", "null", R"("a long string of forty bytes or so..")", row};
  // Fewer under the sanitizers, which skip the heap checks and run slowly.
  for (const std::size_t count : {std::size_t{40}, std::size_t{kPlainMalloc ? 20'000 : 2'000}}) {
    for (const std::string& item : items) {
      SCOPED_TRACE(item + " x " + std::to_string(count));
      std::string text = "[";
      for (std::size_t i = 0; i < count; ++i) text += (i ? "," : "") + item;
      text += "]";
      std::string members = "{";
      for (std::size_t i = 0; i < count; ++i) {
        members += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + item;
      }
      members += "}";
      for (const std::string& whole : {text, members}) {
        const std::size_t before = heap_in_use();
        const Value unbounded = parse_json(whole, "x", kBudget);
        const std::size_t held = heap_in_use() - before;
        ASSERT_FALSE(unbounded.is_discarded());
        EXPECT_EQ(parse_json(whole, "x", std::numeric_limits<std::size_t>::max()), unbounded);
        // The sanitizers' allocators are not glibc's; and glibc counts the
        // small blocks it keeps for reuse as in use, which blurs the count
        // of a small value.
        if (!kPlainMalloc || count < 1000) continue;
        EXPECT_EQ(parse_json(whole, "x", 3 * held), unbounded);
        try {
          parse_json(whole, "The answer of /v1/x", held * 95 / 100);
          ADD_FAILURE() << "read within " << held * 95 / 100 << " bytes, holding " << held;
        } catch (const JsonMemoryError& error) {
          EXPECT_EQ(error.what(), "The answer of /v1/x needs more than " +
                                      std::to_string(held * 95 / 100) +
                                      " bytes of memory once parsed");
        }
      }
    }
  }
  // The budget stops a parse before the value grows past it, the text read
  // or not; other faults keep their own errors.
  const std::string huge = "[" + std::string(1'000'000, '[');
  EXPECT_THROW(parse_json("[" + huge, "x", 4096), JsonMemoryError);
  EXPECT_THROW(
      parse_json(R"([0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0)", "x",
                 512),
      JsonMemoryError);
  EXPECT_TRUE(parse_json("[1,", "x", 4096).is_discarded());
  EXPECT_THROW(parse_json(std::string(600, '[') + std::string(600, ']'), "x", 1 << 20), ValueError);
  EXPECT_EQ(parse_json("7", "x", 0), 7);
}

TEST(ParseJsonTest, OrThrowGivesTheParsersDescription) {
  EXPECT_EQ(parse_json_or_throw(R"({"a":1,"a":2})", "x"), Value({{"a", 2}}));
  for (const char* invalid : {"", "{", "[1,]", "1 2", "{\"a\" 1}", "nul"}) {
    std::string expected;
    try {
      [[maybe_unused]] const Value parsed = Value::parse(invalid);
    } catch (const Value::parse_error& error) {
      expected = error.what();
    }
    try {
      parse_json_or_throw(invalid, "x");
      ADD_FAILURE() << invalid;
    } catch (const Value::parse_error& error) {
      EXPECT_EQ(error.what(), expected) << invalid;
    }
  }
  EXPECT_THROW(parse_json_or_throw(nested_text(513) + "]", "x"), ValueError);
}

}  // namespace
}  // namespace zelq::core
