#include "zelq/inference/catalog.hpp"

#include <gtest/gtest.h>

#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::inference {
namespace {

using core::Value;

Value record(const char* name, const char* system, const char* user, const char* kwargs) {
  return Value{{"name", name}, {"system", system}, {"user", user}, {"kwargs", kwargs}};
}

TEST(PromptBuilderCatalogTest, EntriesInRecordOrder) {
  auto catalog = PromptBuilderCatalog::from_records(Value::array({
      record("stuff", "S {context}", "{query}", R"({"key_defaults": {"context": "N/A"}})"),
      record("refine", "R {draft_response} {context}", "{query}",
             R"({"key_defaults": {"draft_response": "N/A", "context": "N/A"}})"),
      record("plain", "P", "U", ""),
  }));
  ASSERT_EQ(catalog.entries().size(), 3u);
  EXPECT_EQ(catalog.entries()[0].name, "stuff");
  EXPECT_EQ(catalog.entries()[1].name, "refine");
  EXPECT_EQ(catalog["stuff"].system_template, "S {context}");
  EXPECT_EQ(catalog["stuff"].user_template, "{query}");
  EXPECT_EQ(catalog["stuff"].key_defaults.dump(), R"({"context":"N/A"})");
  // Key order of the kwargs text is kept.
  EXPECT_EQ(catalog["refine"].key_defaults.dump(), R"({"draft_response":"N/A","context":"N/A"})");
  EXPECT_EQ(catalog["plain"].key_defaults, Value::object());
  EXPECT_TRUE(catalog.contains("refine"));
  EXPECT_FALSE(catalog.contains("map"));
  try {
    (void)catalog["map"];
    FAIL();
  } catch (const core::KeyError& error) {
    EXPECT_STREQ(error.what(),
                 "No prompt 'map' in the catalog; known prompts: 'stuff', 'refine', 'plain'.");
  }
}

TEST(PromptBuilderCatalogTest, BadRecordsNameTheRecordAndTheProblem) {
  auto message_of = [](const Value& records) -> std::string {
    try {
      PromptBuilderCatalog::from_records(records);
    } catch (const core::ValueError& error) {
      return error.what();
    }
    return "no error";
  };
  const std::string malformed = message_of(Value::array(
      {record("stuff", "S", "U", "{}"), record("refine", "R", "U", R"({"key_defaults": )")}));
  EXPECT_EQ(malformed.rfind("Catalog record 1 ('refine'): 'kwargs' is not valid JSON, got "
                            "'{\"key_defaults\": ' (",
                            0),
            0u)
      << malformed;
  EXPECT_EQ(message_of(Value::array({record("map", "S", "U", "[1]")})),
            "Catalog record 0 ('map'): 'kwargs' must be a JSON object, got '[1]'.");
  EXPECT_EQ(message_of(Value::array({record("map", "S", "U", R"({"key_defaults": 3})")})),
            "Catalog record 0 ('map'): 'key_defaults' in 'kwargs' must be an object, got 3.");
  EXPECT_EQ(message_of(Value::array({Value{{"name", "x"}, {"system", "S"}}})),
            "Catalog record 0 ('x') has no 'user' field.");
  EXPECT_EQ(message_of(Value::array({record("a", "S", "U", ""), record("a", "S", "U", "")})),
            "Catalog record 1 ('a'): the name 'a' is used twice.");
  EXPECT_EQ(message_of(Value::object()), "Catalog records must be a list, got {}.");
  const std::string deep =
      R"({"key_defaults": )" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_EQ(message_of(Value::array({record("deep", "S", "U", deep.c_str())})),
            "Catalog record 0 ('deep'): 'kwargs' is nested deeper than 512 levels");
}

}  // namespace
}  // namespace zelq::inference
