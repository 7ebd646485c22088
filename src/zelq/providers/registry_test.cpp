#include "zelq/providers/registry.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::providers {
namespace {

using core::Value;
using inference::LMInvokerPtr;
using inference::ModelId;
using inference::ModelIdArg;
using inference::testing::scripted_provider;
using inference::testing::ScriptedLMInvoker;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string value_error_of(const ModelIdArg& model_id, Value config = nullptr) {
  try {
    build_lm_invoker(model_id, nullptr, std::move(config));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(BuildLMInvokerTest, BuildsThroughTheProviderRegistry) {
  ScriptedLMInvoker* seen = nullptr;
  register_lm_provider("scripted",
                       scripted_provider([&](ScriptedLMInvoker& invoker) { seen = &invoker; }));
  const Value schema = {{"type", "object"}};
  auto invoker = build_lm_invoker("scripted/writer/v2", "secret-key",
                                  Value{{"response_schema", schema}, {"temperature", 0.5}});
  auto* scripted = dynamic_cast<ScriptedLMInvoker*>(invoker.get());
  ASSERT_NE(scripted, nullptr);
  EXPECT_EQ(seen, scripted);
  EXPECT_EQ(scripted->model_name(), "writer/v2");
  EXPECT_EQ(scripted->credentials(), "secret-key");
  EXPECT_EQ(scripted->config().dump(),
            R"({"response_schema":{"type":"object"},"temperature":0.5})");
  EXPECT_EQ(invoker->response_schema(), schema);
  auto other = build_lm_invoker(ModelId{.provider = "scripted", .name = "m"});
  EXPECT_NE(other, invoker);
  EXPECT_EQ(other->response_schema(), std::nullopt);
}

TEST(BuildLMInvokerTest, BadModelIdsAndConfigsNameTheValue) {
  register_lm_provider("scripted", scripted_provider());
  const std::string expected_format = ": expected 'provider/model-name', e.g. 'openai/gpt-5-nano'.";
  EXPECT_EQ(value_error_of("gpt-5-nano"), "Invalid model id 'gpt-5-nano'" + expected_format);
  EXPECT_EQ(value_error_of("/gpt"), "Invalid model id '/gpt'" + expected_format);
  EXPECT_EQ(value_error_of("openai/"), "Invalid model id 'openai/'" + expected_format);
  EXPECT_EQ(value_error_of(ModelId{.provider = "", .name = "x"}),
            "Invalid model id '/x'" + expected_format);
  // The list names every registered provider, built-in ones included.
  EXPECT_THAT(value_error_of("nope/model"),
              AllOf(StartsWith("Unknown model provider 'nope' in model id 'nope/model'; "
                               "registered providers: "),
                    HasSubstr("'scripted'")));
  EXPECT_EQ(value_error_of("scripted/m", Value::array()),
            "The LM invoker config for 'scripted/m' must be an object, got [].");
  EXPECT_EQ(value_error_of("scripted/m", Value{{"response_schema", "Verdict"}}),
            "The response_schema for 'scripted/m' must be a JSON Schema object, got 'Verdict'.");
  register_lm_provider("empty",
                       [](const ModelId&, const Value&, const Value&) { return LMInvokerPtr{}; });
  EXPECT_THROW(build_lm_invoker("empty/m"), core::RuntimeError);
  EXPECT_TRUE(unregister_lm_provider("empty"));
  EXPECT_FALSE(unregister_lm_provider("empty"));
  EXPECT_THROW(register_lm_provider("a/b", [](auto&&...) { return LMInvokerPtr{}; }),
               core::ValueError);
}

}  // namespace
}  // namespace zelq::providers
