#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using core::Value;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

inference::PromptBuilder prompt(std::string system, Value key_defaults = Value::object()) {
  return inference::PromptBuilder(std::move(system), "{query}", std::move(key_defaults));
}

std::shared_ptr<ScriptedLMInvoker> make_lm() {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder([](const ScriptedLMInvoker::Request&) {
    inference::LMOutput output;
    output.add_text("answer");
    return output;
  });
  return lm;
}

// A language-model strategy that exposes the base's protected operations.
class ProbeStrategy : public BaseSynthesisStrategy, public inference::LMComponent {
 public:
  ProbeStrategy(inference::LMInvokerPtr lm, inference::PromptBuilder prompt) {
    _init_lm_component(std::move(lm), {}, std::move(prompt));
  }
  std::string class_name() const override { return "ProbeStrategy"; }
  boost::asio::awaitable<Value> synthesize(SynthesisContext& context) const override {
    auto call = _synthesize_with_lm(context);
    inference::LMOutput output = co_await std::move(call);
    co_return _default_extractor_func(output);
  }
  using BaseSynthesisStrategy::_synthesize_with_lm;
  using BaseSynthesisStrategy::_validate_prompt_variable;
};

// A strategy without language-model access that defers to the base.
class PlainStrategy : public BaseSynthesisStrategy {
 public:
  std::string class_name() const override { return "PlainStrategy"; }
  boost::asio::awaitable<Value> synthesize(SynthesisContext& context) const override {
    return BaseSynthesisStrategy::synthesize(context);
  }
  using BaseSynthesisStrategy::_synthesize_with_lm;
};

std::vector<std::string> warnings(const core::LogCapture& capture) {
  return capture.messages("ProbeStrategy", core::LogLevel::warn);
}

TEST(BaseSynthesisStrategyTest, EmptyQueryFailsBeforeAnyCheckOrCall) {
  core::LogCapture capture;
  auto lm = make_lm();
  ProbeStrategy probe(lm, prompt("{context}"));
  SynthesisContext context{.kwargs = {{"unused", "x"}, {"context", ""}}};
  try {
    core::run_sync(probe._synthesize_with_lm(context));
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "The `query` parameter is required for LM-based synthesis strategies.");
  }
  EXPECT_THAT(warnings(capture), IsEmpty());
  EXPECT_EQ(lm->call_count(), 0u);
  context.query = "  ";  // blanks are a query
  context.kwargs = {{"context", "c"}};
  EXPECT_EQ(core::run_sync(probe.synthesize(context)), "answer");
  EXPECT_EQ(lm->requests().at(0).prompt_variables.dump(), R"({"query":"  ","context":"c"})");
}

TEST(BaseSynthesisStrategyTest, VariablesAreMergedCheckedAndFiltered) {
  core::LogCapture capture;
  auto lm = make_lm();
  ProbeStrategy probe(lm, prompt("{context}|{draft_response}", {{"draft_response", "N/A"}}));
  SynthesisContext context{
      .query = "q",
      .kwargs = {{"context", "A"}, {"unused", "u"}, {"quiet", ""}, {"draft_response", nullptr}}};
  auto output = core::run_sync(probe._synthesize_with_lm(context, {.kwargs = {{"context", "B"}}}));
  EXPECT_EQ(output.text(), "answer");
  const auto request = lm->requests().at(0);
  EXPECT_EQ(request.prompt_variables.dump(),
            R"({"query":"q","context":"B","draft_response":"N/A"})");
  EXPECT_EQ(request.messages.at(0).text(), "B|N/A");
  EXPECT_THAT(warnings(capture),
              ElementsAre("The 'unused' key is not present in the prompt builder. Ignoring the "
                          "value.",
                          "The 'draft_response' key is empty. Assigning default value: 'N/A'."));
  EXPECT_EQ(context.kwargs.at("context"), "A");
}

TEST(BaseSynthesisStrategyTest, EmptyPromptKeysTakeTheDefaultOrTheEmptyText) {
  core::LogCapture capture;
  auto lm = make_lm();
  ProbeStrategy probe(
      lm, prompt("{context}{draft_response}", {{"context", "N/A"}, {"draft_response", ""}}));
  EXPECT_EQ(probe._validate_prompt_variable("context", ""), Value("N/A"));
  EXPECT_EQ(probe._validate_prompt_variable("draft_response", 0), Value(""));
  EXPECT_EQ(probe._validate_prompt_variable("context", 3), Value(3));
  EXPECT_EQ(probe._validate_prompt_variable("context", Value::array({1})), Value::array({1}));
  EXPECT_EQ(probe._validate_prompt_variable("other", ""), std::nullopt);
  EXPECT_EQ(probe._validate_prompt_variable(SynthesisPromptKey::DRAFT_RESPONSE, nullptr),
            Value(""));
  EXPECT_THAT(warnings(capture),
              ElementsAre("The 'context' key is empty. Assigning default value: 'N/A'.",
                          "The 'draft_response' key is empty. Assigning default value: ''.",
                          "The <SynthesisPromptKey.DRAFT_RESPONSE: 'draft_response'> key is "
                          "empty. Assigning default value: ''."));
  // A key a strategy stored as a member prints as the member in the call.
  capture.clear();
  auto plain_lm = make_lm();
  ProbeStrategy plain(plain_lm, prompt("{context}"));
  SynthesisContext context{.query = "q"};
  context.set_prompt_variable(SynthesisPromptKey::CONTEXT, "");
  core::run_sync(plain._synthesize_with_lm(context));
  EXPECT_THAT(warnings(capture),
              ElementsAre("The <SynthesisPromptKey.CONTEXT: 'context'> key is empty. Assigning "
                          "default value: ''."));
}

TEST(BaseSynthesisStrategyTest, KeywordsOfTheInvocationCannotBePromptVariables) {
  core::LogCapture capture;
  auto lm = make_lm();
  ProbeStrategy probe(lm, prompt("{context}{history}"));
  for (const char* name : {"query", "history"}) {
    SynthesisContext context{.query = "q", .kwargs = {{"context", "c"}, {name, "x"}}};
    try {
      core::run_sync(probe._synthesize_with_lm(context));
      FAIL() << name;
    } catch (const core::TypeError& error) {
      EXPECT_EQ(error.what(), "_invoke_lm() got multiple values for keyword argument '" +
                                  std::string(name) + "'");
    }
  }
  EXPECT_EQ(lm->call_count(), 0u);
  EXPECT_THAT(warnings(capture), IsEmpty());
  // Every variable is checked, with its warnings, before the call fails.
  SynthesisContext late{.query = "q", .kwargs = {{"history", ""}, {"unused", "u"}}};
  EXPECT_THROW(core::run_sync(probe._synthesize_with_lm(late)), core::TypeError);
  EXPECT_THAT(warnings(capture),
              ElementsAre("The 'history' key is empty. Assigning default value: ''.",
                          "The 'unused' key is not present in the prompt builder. Ignoring the "
                          "value."));
  EXPECT_EQ(lm->call_count(), 0u);
  capture.clear();
  // Names the slot's prompt does not use are dropped like any other.
  auto other_lm = make_lm();
  ProbeStrategy other(other_lm, prompt("{context}"));
  SynthesisContext context{.query = "q",
                           .kwargs = {{"context", "c"}, {"history", "h"}, {"max_lm_calls", 9}}};
  core::run_sync(other._synthesize_with_lm(context));
  EXPECT_EQ(other_lm->requests().at(0).prompt_variables.dump(), R"({"query":"q","context":"c"})");
  EXPECT_EQ(warnings(capture).size(), 2u);
}

TEST(BaseSynthesisStrategyTest, TheContextGoesWithTheCall) {
  auto lm = make_lm();
  ProbeStrategy probe(lm, prompt("{context}"));
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  SynthesisContext context{.query = "q",
                           .history = std::vector{inference::Message::assistant("before")},
                           .extra_contents = std::vector<inference::MessageContent>{"extra"},
                           .hyperparameters = {{"temperature", 0.5}},
                           .event_emitter = emitter,
                           .kwargs = {{"context", "c"}}};
  core::run_sync(probe._synthesize_with_lm(context));
  const auto request = lm->requests().at(0);
  ASSERT_EQ(request.messages.size(), 3u);
  EXPECT_EQ(request.messages[1].text(), "before");
  EXPECT_EQ(request.messages[2].text(), "q\nextra");
  EXPECT_EQ(request.hyperparameters, (Value{{"temperature", 0.5}}));
  EXPECT_TRUE(request.streamed);
  EXPECT_THAT(emitter->types(), ElementsAre("response_start", "response", "response_end"));
  // A slot without an invoker fails at the first variable's check.
  EXPECT_THROW(core::run_sync(probe._synthesize_with_lm(context, {.slot = "map"})), core::KeyError);
  EXPECT_EQ(lm->call_count(), 1u);
  // Without variables only the query goes in.
  auto bare_lm = make_lm();
  ProbeStrategy bare(bare_lm, prompt("fixed"));
  SynthesisContext bare_context{.query = "q"};
  core::run_sync(bare._synthesize_with_lm(bare_context));
  EXPECT_EQ(bare_lm->requests().at(0).prompt_variables.dump(), R"({"query":"q"})");
}

TEST(BaseSynthesisStrategyTest, BaseOperationsWithoutALanguageModel) {
  PlainStrategy plain;
  SynthesisContext context{.query = "q"};
  EXPECT_THROW(core::run_sync(plain.synthesize(context)), core::NotImplementedError);
  try {
    core::run_sync(plain._synthesize_with_lm(context));
    FAIL() << "no error";
  } catch (const core::TypeError& error) {
    EXPECT_STREQ(error.what(),
                 "PlainStrategy does not derive from LMComponent and cannot invoke a language "
                 "model.");
  }
  EXPECT_EQ(BaseSynthesisStrategy::_default_extractor_func(inference::LMOutput()), Value(""));
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
