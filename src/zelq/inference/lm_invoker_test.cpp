#include "zelq/inference/lm_invoker.hpp"

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::inference {
namespace {

using core::Value;
using testing::ScriptedLMInvoker;

TEST(BaseLMInvokerTest, InvokeNormalisesOptions) {
  ScriptedLMInvoker invoker("m", nullptr, {{"response_schema", {{"type", "object"}}}});
  invoker.push_text("a").push_text("b");
  core::run_sync(invoker.invoke({Message::user("hi")}, {.hyperparameters = nullptr}));
  core::run_sync(invoker.invoke({Message::user("hi")}, {.response_schema = Value{{"x", 1}}}));
  auto requests = invoker.requests();
  EXPECT_EQ(requests[0].hyperparameters, Value::object());
  EXPECT_EQ(requests[0].response_schema, (Value{{"type", "object"}}));
  EXPECT_EQ(requests[1].response_schema, (Value{{"x", 1}}));
  EXPECT_THROW(core::run_sync(invoker.invoke({}, {.hyperparameters = 3})), core::ValueError);
  EXPECT_EQ(invoker.call_count(), 2u);
  // The schema is fixed at construction and must be an object.
  EXPECT_EQ(invoker.response_schema(), (Value{{"type", "object"}}));
  EXPECT_EQ(ScriptedLMInvoker("m", nullptr, {{"response_schema", nullptr}}).response_schema(),
            std::nullopt);
  try {
    ScriptedLMInvoker("m", nullptr, {{"response_schema", "Verdict"}});
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "The response_schema of an LM invoker must be a JSON Schema object, got "
                 "'Verdict'.");
  }
}

}  // namespace
}  // namespace zelq::inference
