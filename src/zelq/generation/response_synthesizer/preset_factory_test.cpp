#include "zelq/generation/response_synthesizer/preset_factory.hpp"

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/generation/response_synthesizer.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/map_reduce_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/refine_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/stuff_template.hpp"
#include "zelq/generation/response_synthesizer/strategy.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::response_synthesizer {
namespace {

using core::Value;
using inference::testing::ScriptedLMInvoker;

// The prompt builder of `slot` of the synthesizer's language-model strategy.
const inference::PromptBuilder& prompt_of(const ResponseSynthesizer& synthesizer,
                                          std::string_view slot = inference::DEFAULT_SLOT) {
  return dynamic_cast<const inference::LMComponent&>(*synthesizer.strategy())._prompt_builder(slot);
}
using ::testing::ElementsAre;

class SubSynthesizer : public ResponseSynthesizer {
 public:
  using ResponseSynthesizer::ResponseSynthesizer;
  std::string class_name() const override { return "SubSynthesizer"; }
};

std::atomic<int> binds{0};
ResponseSynthesizerClass slow_bind() {
  ++binds;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return ResponseSynthesizerClass::of<ResponseSynthesizer>();
}
ResponseSynthesizerClass failing_bind() { throw core::RuntimeError("cannot bind"); }

// The invokers the "scripted" provider builds, in order; each lives as long
// as the synthesizer that holds it.
std::vector<ScriptedLMInvoker*> built;

void register_provider() {
  built.clear();
  auto on_build = [](ScriptedLMInvoker& lm) {
    lm.set_responder([](const ScriptedLMInvoker::Request& request) {
      inference::LMOutput output;
      output.add_text(request.messages.at(0).text());
      return output;
    });
    built.push_back(&lm);
  };
  providers::register_lm_provider("scripted", inference::testing::scripted_provider(on_build));
}

TEST(PresetFactoryDescriptorTest, OneFactoryBoundToTheFirstClass) {
  EXPECT_EQ(&ResponseSynthesizer::preset(), &ResponseSynthesizer::preset<SubSynthesizer>());

  PresetFactoryDescriptor descriptor;
  EXPECT_THROW(descriptor.get(&failing_bind), core::RuntimeError);
  ResponseSynthesizerPresetFactory& first =
      descriptor.get(&ResponseSynthesizerClass::of<SubSynthesizer>);
  EXPECT_EQ(&descriptor.get(&ResponseSynthesizerClass::of<ResponseSynthesizer>), &first);
  register_provider();
  auto synthesizer = first.stuff({.model_id = "scripted/m"});
  EXPECT_EQ(synthesizer->class_name(), "SubSynthesizer");

  PresetFactoryDescriptor raced;
  binds = 0;
  std::latch start(2);
  ResponseSynthesizerPresetFactory* seen[2] = {nullptr, nullptr};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = &raced.get(&slow_bind);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(binds.load(), 1);
}

TEST(PresetFactoryTest, StuffGetsThePresetPromptUnlessTheCallerGivesOne) {
  register_provider();
  auto& preset = ResponseSynthesizer::preset();
  auto synthesizer = preset.stuff({.model_id = "scripted/small",
                                   .credentials = "key",
                                   .config = {{"temperature", 0}},
                                   .system_template = "",
                                   .streamable = false});
  ASSERT_EQ(built.size(), 1u);
  const auto& lm = *built[0];
  EXPECT_EQ(lm.model_name(), "small");
  EXPECT_EQ(lm.credentials(), "key");
  EXPECT_EQ(lm.config(), (Value{{"temperature", 0}}));
  EXPECT_EQ(prompt_of(*synthesizer).system_template(), preset_prompt::STUFF_SYSTEM_TEMPLATE);
  EXPECT_EQ(prompt_of(*synthesizer).user_template(), "{query}");
  EXPECT_EQ(prompt_of(*synthesizer).key_defaults(), (Value{{"context", "N/A"}}));
  EXPECT_FALSE(synthesizer->streamable());
  // No chunks: the preset default "N/A" stands in for the context.
  const Value answer = core::run_sync(synthesizer->synthesize({.query = "q"}));
  EXPECT_EQ(answer.get<std::string>().find("<Context>\nN/A\n</Context>") != std::string::npos,
            true);

  auto custom = preset.stuff({.model_id = "scripted/small",
                              .system_template = "S {context}",
                              .user_template = "U {query}",
                              .prompt_builder_kwargs = {{"key_defaults", {{"context", "none"}}}}});
  EXPECT_EQ(prompt_of(*custom).system_template(), "S {context}");
  EXPECT_EQ(prompt_of(*custom).user_template(), "U {query}");
  EXPECT_EQ(prompt_of(*custom).key_defaults(), (Value{{"context", "none"}}));
  EXPECT_THROW(preset.stuff({.model_id = "scripted/small", .prompt_builder_kwargs = "x"}),
               core::TypeError);
  // Other settings go to the prompt builder beside "key_defaults"; it names
  // the ones it does not know.
  try {
    preset.stuff({.model_id = "scripted/small", .prompt_builder_kwargs = {{"shouty", true}}});
    FAIL() << "no error";
  } catch (const core::TypeError& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("'shouty'"));
  }
  EXPECT_THROW(preset.stuff({.model_id = "nowhere/model"}), core::ValueError);
}

TEST(PresetFactoryTest, RefineAndMapReduce) {
  register_provider();
  auto& preset = ResponseSynthesizer::preset();
  auto refine = preset.refine({.model_id = "scripted/r",
                               .prompt_builder_kwargs = {{"key_defaults", {{"context", "X"}}}},
                               .batch_size = 2,
                               .stream_drafts = true});
  EXPECT_EQ(prompt_of(*refine).system_template(), preset_prompt::REFINE_SYSTEM_TEMPLATE);
  EXPECT_EQ(prompt_of(*refine).key_defaults(), (Value{{"context", "X"}}));
  auto refine_strategy =
      std::dynamic_pointer_cast<strategy::RefineSynthesisStrategy>(refine->strategy());
  ASSERT_NE(refine_strategy, nullptr);
  EXPECT_EQ(refine_strategy->batch_size(), 2);
  EXPECT_TRUE(refine_strategy->stream_drafts());
  // The strategy's checks run after the invoker is built.
  try {
    preset.refine({.model_id = "scripted/r", .batch_size = 0});
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "The `batch_size` parameter must be greater than 0.");
  }
  EXPECT_EQ(built.size(), 2u);  // the second invoker is gone with the failed synthesizer

  built.clear();
  auto map_reduce = preset.map_reduce({.map_model_id = "scripted/mapper",
                                       .reduce_model_id = "scripted/reducer",
                                       .map_credentials = "mk",
                                       .reduce_config = {{"top_p", 1}},
                                       .reduce_user_template = "R {query}",
                                       .batch_size = 2,
                                       .max_iterations = 2});
  ASSERT_EQ(built.size(), 2u);
  EXPECT_EQ(built[0]->model_name(), "mapper");
  EXPECT_EQ(built[0]->credentials(), "mk");
  EXPECT_EQ(prompt_of(*map_reduce, "map").system_template(), preset_prompt::MAP_SYSTEM_TEMPLATE);
  EXPECT_EQ(built[1]->model_name(), "reducer");
  EXPECT_EQ(built[1]->config(), (Value{{"top_p", 1}}));
  EXPECT_EQ(prompt_of(*map_reduce, "reduce").system_template(),
            preset_prompt::REDUCE_SYSTEM_TEMPLATE);
  EXPECT_EQ(prompt_of(*map_reduce, "reduce").user_template(), "R {query}");
  auto strategy =
      std::dynamic_pointer_cast<strategy::MapReduceSynthesisStrategy>(map_reduce->strategy());
  ASSERT_NE(strategy, nullptr);
  EXPECT_EQ(strategy->_lm_invokers_slot().at("map").get(), built[0]);
  EXPECT_EQ(strategy->_lm_invokers_slot().at("reduce").get(), built[1]);
  EXPECT_EQ(strategy->max_iterations(), 2);
}

// Threads build and run synthesizers through the one shared factory and the
// provider registry at once; each answer echoes its own thread's query.
TEST(PresetFactoryTest, ServesManyThreadsAtOnce) {
  std::atomic<int> invokers{0};
  providers::register_lm_provider(
      "scripted", inference::testing::scripted_provider([&invokers](ScriptedLMInvoker& lm) {
        ++invokers;
        lm.set_responder([](const ScriptedLMInvoker::Request& request) {
          inference::LMOutput output;
          output.add_text(request.messages.back().text());
          return output;
        });
      }));
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::vector<std::string> answers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      auto synthesizer = ResponseSynthesizer::preset().stuff({.model_id = "scripted/m"});
      SynthesizeOptions options{.query = "question " + std::to_string(t)};
      answers[t] = core::run_sync(synthesizer->synthesize(std::move(options))).get<std::string>();
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(answers[t], "question " + std::to_string(t));
  EXPECT_EQ(invokers.load(), kThreads);
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer
