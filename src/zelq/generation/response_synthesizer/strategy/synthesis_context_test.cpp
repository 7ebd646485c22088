#include "zelq/generation/response_synthesizer/strategy/synthesis_context.hpp"

#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using core::Value;

TEST(SynthesisContextTest, DefaultsAreFreshAndEmpty) {
  SynthesisContext first;
  SynthesisContext second;
  EXPECT_EQ(first.query, "");
  EXPECT_TRUE(first.chunks.empty());
  EXPECT_FALSE(first.history.has_value());
  EXPECT_FALSE(first.extra_contents.has_value());
  EXPECT_TRUE(first.hyperparameters.is_null());
  EXPECT_EQ(first.event_emitter, nullptr);
  EXPECT_EQ(first.max_lm_calls, 5);
  EXPECT_EQ(first.kwargs, Value::object());
  first.kwargs["x"] = 1;
  first.chunks.push_back(core::make_chunk("c"));
  EXPECT_EQ(second.kwargs, Value::object());
  EXPECT_TRUE(second.chunks.empty());
}

TEST(SynthesisPromptKeyTest, MembersBehaveAsTheirTexts) {
  EXPECT_EQ(SynthesisPromptKey::CONTEXT, "context");
  EXPECT_EQ(SynthesisPromptKey::DRAFT_RESPONSE, "draft_response");
  EXPECT_EQ(SynthesisPromptKey::QUERY, "query");
  const std::set<std::string, std::less<>> plain = {"context"};
  EXPECT_TRUE(plain.contains(std::string_view(SynthesisPromptKey::CONTEXT)));
  // The printed form of a text enumeration member (Python 3.12 repr).
  EXPECT_EQ(SynthesisPromptKey::CONTEXT.repr(), "<SynthesisPromptKey.CONTEXT: 'context'>");
  EXPECT_EQ(SynthesisPromptKey::DRAFT_RESPONSE.repr(),
            "<SynthesisPromptKey.DRAFT_RESPONSE: 'draft_response'>");
  EXPECT_EQ(SynthesisPromptKey::from_value("query"), SynthesisPromptKey::QUERY);
  EXPECT_FALSE(SynthesisPromptKey::from_value("Query").has_value());
}

TEST(SynthesisContextTest, KeysStoredAsMembersPrintAsMembers) {
  SynthesisContext context{.kwargs = {{"draft_response", "mine"}}};
  context.set_prompt_variable(SynthesisPromptKey::CONTEXT, "packed");
  context.set_prompt_variable(SynthesisPromptKey::DRAFT_RESPONSE, "");
  // A new key is stored as the member; an existing one keeps its plain key
  // and its position.
  EXPECT_EQ(context.kwargs.dump(), R"({"draft_response":"","context":"packed"})");
  EXPECT_EQ(context.key_repr("context"), "<SynthesisPromptKey.CONTEXT: 'context'>");
  EXPECT_EQ(context.key_repr("draft_response"), "'draft_response'");
  EXPECT_EQ(context.key_repr("other"), "'other'");
}

TEST(SynthesisContextTest, ValidateNamesTheBadField) {
  const auto message = [](const SynthesisContext& context) -> std::string {
    try {
      context.validate();
    } catch (const core::ValidationError& error) {
      return error.what();
    }
    return "<valid>";
  };
  EXPECT_EQ(message(SynthesisContext{}), "<valid>");
  EXPECT_EQ(message(SynthesisContext{.chunks = {core::make_chunk("a"), nullptr}}),
            "1 validation error for SynthesisContext: chunks.1: Input should be an instance of "
            "Chunk");
  EXPECT_EQ(message(SynthesisContext{.hyperparameters = "hot"}),
            "1 validation error for SynthesisContext: hyperparameters: Input should be a valid "
            "dictionary, got 'hot'");
  EXPECT_EQ(message(SynthesisContext{.kwargs = Value::array()}),
            "1 validation error for SynthesisContext: kwargs: Input should be a valid dictionary, "
            "got []");
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
