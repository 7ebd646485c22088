#include "zelq/generation/response_synthesizer/preset_prompt/catalog.hpp"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/pytext.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/map_reduce_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/refine_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/stuff_template.hpp"

namespace zelq::generation::response_synthesizer::preset_prompt {
namespace {

using ::testing::ElementsAre;

TEST(PresetPromptCatalogTest, TemplatesCharacterForCharacter) {
  EXPECT_EQ(STUFF_SYSTEM_TEMPLATE, R"(You are a helpful assistant.
Given the following context and query, synthesize a response.

<Context>
{context}
</Context>)");
  EXPECT_EQ(REFINE_SYSTEM_TEMPLATE, R"(You are a helpful assistant.
Refine the draft response based on the new context(s) to answer the query.

<Draft Response>
{draft_response}
</Draft Response>

<Context>
{context}
</Context>)");
  EXPECT_EQ(MAP_SYSTEM_TEMPLATE, R"(You are a helpful assistant.

Given the following context, extract only the key information relevant to the query.
If no information is relevant to the query, return an empty string.

<Context>
{context}
</Context>
)");
  EXPECT_EQ(REDUCE_SYSTEM_TEMPLATE, R"(You are a helpful assistant.

You will be given several context containing extracted information relevant to the query,
These contexts were extracted from different parts of the source data.
Your task is to combine them into a single, clear, and comprehensive response.

Please note that your final response should:
1. Preserve all the key information and insights.
2. Remove redundancy or repetition.
3. Maintain logical flow and coherence.
4. Answer the question directly and clearly.

<Context>
{context}
</Context>
)");
  EXPECT_EQ(STUFF_SYSTEM_TEMPLATE.size(), 122u);
  EXPECT_EQ(REFINE_SYSTEM_TEMPLATE.size(), 188u);
  EXPECT_EQ(MAP_SYSTEM_TEMPLATE.size(), 215u);
  EXPECT_EQ(REDUCE_SYSTEM_TEMPLATE.size(), 519u);
  for (auto user :
       {STUFF_USER_TEMPLATE, REFINE_USER_TEMPLATE, MAP_USER_TEMPLATE, REDUCE_USER_TEMPLATE}) {
    EXPECT_EQ(user, "{query}");
  }
}

TEST(PresetPromptCatalogTest, FourEntriesWithTheirKeyDefaults) {
  EXPECT_EQ(&PRESET_PROMPT_CATALOG, &detail::preset_prompt_catalog());
  std::vector<std::string> names;
  for (const auto& entry : PRESET_PROMPT_CATALOG.entries()) names.push_back(entry.name);
  EXPECT_THAT(names, ElementsAre("stuff", "refine", "map", "reduce"));
  EXPECT_EQ(PRESET_PROMPT_CATALOG["stuff"].system_template, STUFF_SYSTEM_TEMPLATE);
  EXPECT_EQ(PRESET_PROMPT_CATALOG["refine"].system_template, REFINE_SYSTEM_TEMPLATE);
  EXPECT_EQ(PRESET_PROMPT_CATALOG["map"].system_template, MAP_SYSTEM_TEMPLATE);
  EXPECT_EQ(PRESET_PROMPT_CATALOG["reduce"].system_template, REDUCE_SYSTEM_TEMPLATE);
  for (const char* name : {"stuff", "map", "reduce"}) {
    EXPECT_EQ(PRESET_PROMPT_CATALOG[name].user_template, "{query}");
    EXPECT_EQ(core::json_dumps(PRESET_PROMPT_CATALOG[name].kwargs),
              R"({"key_defaults": {"context": "N/A"}})");
  }
  // The refine entry lists "draft_response" first.
  EXPECT_EQ(core::json_dumps(PRESET_PROMPT_CATALOG["refine"].kwargs),
            R"({"key_defaults": {"draft_response": "N/A", "context": "N/A"}})");
  EXPECT_EQ(PRESET_PROMPT_CATALOG["refine"].key_defaults.dump(),
            R"({"draft_response":"N/A","context":"N/A"})");
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::preset_prompt
