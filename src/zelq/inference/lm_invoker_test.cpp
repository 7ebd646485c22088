#include "zelq/inference/lm_invoker.hpp"

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::inference {
namespace {

using core::Value;
using testing::ScriptedLMInvoker;

TEST(LMPromptTest, BuildReplacesThePromptOrChangesNothing) {
  ScriptedLMInvoker invoker;
  invoker.prompt.build({.system_template = "S {context}",
                        .user_template = "{query}",
                        .prompt_builder_kwargs = {{"key_defaults", {{"context", "N/A"}}}}});
  EXPECT_TRUE(invoker.prompt.is_configured());
  EXPECT_EQ(invoker.prompt.prompt_builder.key_defaults(), (Value{{"context", "N/A"}}));
  try {
    invoker.prompt.build({.system_template = "X", .prompt_builder_kwargs = {{"use_jinja", true}}});
    FAIL();
  } catch (const core::TypeError& error) {
    EXPECT_STREQ(error.what(), "PromptBuilder got an unexpected keyword argument 'use_jinja'");
  }
  EXPECT_THROW(invoker.prompt.build({.user_template = "{"}), core::ValueError);
  EXPECT_EQ(invoker.prompt.prompt_builder.system_template(), "S {context}");
}

TEST(BaseLMInvokerTest, InvokeNormalisesOptions) {
  ScriptedLMInvoker invoker;
  invoker.response_schema = Value{{"type", "object"}};
  invoker.push_text("a").push_text("b");
  core::run_sync(invoker.invoke({Message::user("hi")}, {.hyperparameters = nullptr}));
  core::run_sync(invoker.invoke({Message::user("hi")}, {.response_schema = Value{{"x", 1}}}));
  auto requests = invoker.requests();
  EXPECT_EQ(requests[0].hyperparameters, Value::object());
  EXPECT_EQ(requests[0].response_schema, (Value{{"type", "object"}}));
  EXPECT_EQ(requests[1].response_schema, (Value{{"x", 1}}));
  EXPECT_THROW(core::run_sync(invoker.invoke({}, {.hyperparameters = 3})), core::ValueError);
  EXPECT_EQ(invoker.call_count(), 2u);
}

}  // namespace
}  // namespace zelq::inference
