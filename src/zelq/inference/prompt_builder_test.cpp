#include "zelq/inference/prompt_builder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"

namespace zelq::inference {
namespace {

using core::Value;
using ::testing::ElementsAre;

std::vector<std::string> texts_of(const Message& message) {
  std::vector<std::string> texts;
  for (const auto& content : message.contents) {
    texts.push_back(content.is_text() ? content.text() : "<attachment>");
  }
  return texts;
}

TEST(PromptBuilderTest, FillsTemplatesAsPythonStrFormat) {
  // Expected texts were printed by python3's str.format.
  PromptBuilder builder("Answer {query!r} using {context:.<12}|{n:05d}|{{braces}}",
                        "{x:>{w}}|{y:.3f}|{z!s}");
  auto messages = builder.format({.query = "it's",
                                  .variables = Value{{"context", "ctx"},
                                                     {"n", 42},
                                                     {"x", "ab"},
                                                     {"w", 6},
                                                     {"y", 2.0 / 3},
                                                     {"z", Value::array({1, "a"})}}});
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].role, MessageRole::SYSTEM);
  EXPECT_EQ(messages[0].text(), "Answer \"it's\" using ctx.........|00042|{braces}");
  EXPECT_EQ(messages[1].role, MessageRole::USER);
  EXPECT_EQ(messages[1].text(), "    ab|0.667|[1, 'a']");
}

TEST(PromptBuilderTest, MissingVariablesAndKeyDefaults) {
  PromptBuilder builder("Context: {context}", "{query}", Value{{"context", "N/A"}});
  // A prompt key the call leaves out takes its default.
  EXPECT_EQ(builder.format({.query = "q"})[0].text(), "Context: N/A");
  // A variable given explicitly, even empty, is used as given.
  EXPECT_EQ(builder.format({.query = "q", .variables = Value{{"context", ""}}})[0].text(),
            "Context: ");
  // Without a default, a missing variable is a KeyError naming it as Python does.
  try {
    builder.format({.variables = Value{{"context", "c"}}});
    FAIL() << "expected KeyError";
  } catch (const core::KeyError& error) {
    EXPECT_STREQ(error.what(), "'query'");
  }
  EXPECT_THROW(builder.format({.query = "q", .variables = Value{{"query", "again"}}}),
               core::TypeError);
  EXPECT_THROW(builder.format({.query = "q", .variables = Value::array()}), core::TypeError);
}

TEST(PromptBuilderTest, PromptKeySetAndMalformedTemplates) {
  PromptBuilder builder("{a[0]} {b.c} {d!r:>{w}} {} {0} {{e}}", "{query} {a}");
  EXPECT_THAT(builder.prompt_key_set(), ElementsAre("a", "b", "d", "query", "w"));
  EXPECT_THAT(template_field_names("{z}{y:{x}}{z}"), ElementsAre("z", "y", "x"));
  // str.format reads "a[}]" and "a[x}y]" as field names.
  EXPECT_THAT(template_field_names("{a[}]} {b[x}y]!s}"), ElementsAre("a", "b"));

  const std::pair<const char*, const char*> bad[] = {
      {"a}b", "Single '}' encountered in format string"},
      {"oops {", "Single '{' encountered in format string"},
      {"{oops", "expected '}' before end of string"},
      {"{a{b}}", "unexpected '{' in field name"},
      // Messages printed by python3's str.format for the same templates.
      {"{a[}", "expected '}' before end of string"},
      {"{a!r", "unmatched '{' in format spec"},
      {"{a!}", "unmatched '{' in format spec"},
      {"{a:{}", "unmatched '{' in format spec"},
      {"{a!rx}", "expected ':' after conversion specifier"},
      {"{a:{b:{c}}}", "Max string recursion exceeded"},
  };
  for (const auto& [templ, message] : bad) {
    try {
      PromptBuilder("", templ);
      FAIL() << templ;
    } catch (const core::ValueError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Invalid user template '" + std::string(templ) + "': " + message);
    }
  }
  EXPECT_THROW(PromptBuilder("", "", Value::array()), core::ValueError);
}

TEST(PromptBuilderTest, MessageLayout) {
  PromptBuilder builder("", "Q: {query}");
  auto messages = builder.format(
      {.history = std::vector<Message>{Message::user("hi"), Message::assistant("hello")},
       .extra_contents =
           std::vector<MessageContent>{"note", Attachment::from_bytes({1, 2}, "image/png")},
       .query = "why?"});
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], Message::user("hi"));
  EXPECT_EQ(messages[1], Message::assistant("hello"));
  EXPECT_EQ(messages[2].role, MessageRole::USER);
  EXPECT_THAT(texts_of(messages[2]), ElementsAre("Q: why?", "note", "<attachment>"));
  // Nothing to say: no user message at all.
  EXPECT_TRUE(PromptBuilder("", "").format({}).empty());
}

TEST(AgnosticPromptFormatterTest, Layout) {
  AgnosticPromptFormatter formatter;
  EXPECT_EQ(formatter.format({Message::user("just the query")}), "just the query");
  EXPECT_EQ(formatter.format({Message::system("Be brief."), Message::user("hi"),
                              Message::assistant("hello"),
                              Message::user({"a", Attachment::from_url("u"), "b"})}),
            "System:\nBe brief.\n\nUser:\nhi\n\nAssistant:\nhello\n\nUser:\na\nb");
  EXPECT_EQ(formatter.format({}), "");
}

TEST(PromptBuilderTest, BuildFromOptionsKnowsOnlyKeyDefaults) {
  PromptBuilder builder =
      build_prompt_builder({.system_template = "S {context}",
                            .user_template = "{query}",
                            .prompt_builder_kwargs = {{"key_defaults", {{"context", "N/A"}}}}});
  EXPECT_EQ(builder.system_template(), "S {context}");
  EXPECT_EQ(builder.key_defaults(), (Value{{"context", "N/A"}}));
  try {
    build_prompt_builder({.system_template = "X", .prompt_builder_kwargs = {{"use_jinja", true}}});
    FAIL();
  } catch (const core::TypeError& error) {
    EXPECT_STREQ(error.what(), "PromptBuilder got an unexpected keyword argument 'use_jinja'");
  }
  EXPECT_THROW(build_prompt_builder({.prompt_builder_kwargs = 3}), core::TypeError);
  EXPECT_THROW(build_prompt_builder({.user_template = "{"}), core::ValueError);
}

}  // namespace
}  // namespace zelq::inference
