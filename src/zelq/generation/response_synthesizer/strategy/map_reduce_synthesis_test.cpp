#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

using core::Value;
using inference::testing::RecordingEventEmitter;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The prompt variable "context" of a request, with "\n\n" shown as "+".
std::string context_of(const ScriptedLMInvoker::Request& request) {
  std::string text = request.prompt_variables.value("context", "");
  for (auto at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at)) {
    text.replace(at, 2, "+");
  }
  return text;
}

// The prompt of both slots; the reduce prompt defaults "context" to N/A.
inference::PromptBuilder prompt() {
  return inference::PromptBuilder("{context}", "{query}", {{"context", "N/A"}});
}

// Answers with `tag`[context].
std::shared_ptr<ScriptedLMInvoker> make_lm(std::string tag) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder([tag](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    output.add_text(tag + "[" + context_of(request) + "]");
    return output;
  });
  return lm;
}

std::vector<core::ChunkPtr> chunks_of(int count) {
  std::vector<core::ChunkPtr> chunks;
  for (int i = 1; i <= count; ++i) chunks.push_back(core::make_chunk("c" + std::to_string(i)));
  return chunks;
}

struct Pair {
  std::shared_ptr<ScriptedLMInvoker> map = make_lm("d");
  std::shared_ptr<ScriptedLMInvoker> reduce = make_lm("R");
  std::shared_ptr<RecordingEventEmitter> emitter = std::make_shared<RecordingEventEmitter>();

  MapReduceSynthesisStrategy strategy(int batch_size, int max_iterations) const {
    return MapReduceSynthesisStrategy({.batch_size = batch_size,
                                       .max_iterations = max_iterations,
                                       .map_lm_invoker = map,
                                       .reduce_lm_invoker = reduce,
                                       .map_prompt_builder = prompt(),
                                       .reduce_prompt_builder = prompt()});
  }
  SynthesisContext context(int chunks) const {
    return {.query = "q", .chunks = chunks_of(chunks), .event_emitter = emitter};
  }
  std::vector<std::string> map_contexts() const {
    std::vector<std::string> contexts;
    for (const auto& request : map->requests()) contexts.push_back(context_of(request));
    return contexts;
  }
};

std::vector<std::string> info(const core::LogCapture& capture) {
  return capture.messages("MapReduceSynthesisStrategy", core::LogLevel::info);
}

TEST(MapReduceSynthesisTest, OneIterationThenACompactReduce) {
  core::LogCapture capture;
  Pair run;
  run.map->set_latency(std::chrono::milliseconds(1));  // all three calls wait at once
  auto strategy = run.strategy(3, 2);
  SynthesisContext context = run.context(7);
  EXPECT_EQ(core::run_sync(strategy.synthesize(context)), "R[d[c1+c2+c3]+d[c4+c5+c6]+d[c7]]");
  EXPECT_THAT(run.map_contexts(), ElementsAre("c1+c2+c3", "c4+c5+c6", "c7"));
  EXPECT_EQ(run.map->peak_concurrency(), 3u);
  EXPECT_EQ(run.reduce->call_count(), 1u);
  for (const auto& request : run.map->requests()) EXPECT_FALSE(request.streamed);
  EXPECT_TRUE(run.reduce->requests().at(0).streamed);
  EXPECT_THAT(run.emitter->types(), ElementsAre("response_start", "response", "response_end"));
  EXPECT_THAT(info(capture),
              ElementsAre("Mapping 7 chunk(s) into 3 draft response(s) [Iteration 1 out of "
                          "possible 2]",
                          "Successfully mapped chunks into 3 non-empty draft response(s).",
                          "Context is compact enough, reducing 3 mapped context(s) into a final "
                          "response.",
                          "Successfully reduced mapped context(s) into a final response."));
  EXPECT_EQ(context.chunks.size(), 3u);
  EXPECT_EQ(context.event_emitter, run.emitter);
  EXPECT_EQ(context.kwargs.at("context"), "d[c1+c2+c3]\n\nd[c4+c5+c6]\n\nd[c7]");
}

TEST(MapReduceSynthesisTest, BlankItemsAndEmptyOutputsAreDropped) {
  core::LogCapture capture;
  Pair run;
  run.map->set_responder([](const ScriptedLMInvoker::Request& request) {
    inference::LMOutput output;
    const std::string context = context_of(request);
    if (context == "c4+c5+c6") {
      output.add_text(std::vector<std::string>{"B1", " \t\n", "B2"});
    } else if (context == "c7") {
      output.add_text("");
    } else {
      output.add_text("A");
    }
    return output;
  });
  auto strategy = run.strategy(3, 2);
  SynthesisContext context = run.context(7);
  EXPECT_EQ(core::run_sync(strategy.synthesize(context)), "R[A+B1+B2]");
  EXPECT_EQ(context.chunks.size(), 2u);
  EXPECT_EQ(context.chunks[1]->text(), "B1\n\nB2");
  EXPECT_THAT(info(capture),
              ElementsAre(::testing::_,
                          "Successfully mapped chunks into 2 non-empty draft "
                          "response(s).",
                          "Context is compact enough, reducing 2 mapped context(s) into a final "
                          "response.",
                          ::testing::_));
}

TEST(MapReduceSynthesisTest, IterationLimitsAndSmallInputs) {
  core::LogCapture capture;
  Pair ten;
  auto two_iterations = ten.strategy(2, 2);
  SynthesisContext context = ten.context(10);
  EXPECT_EQ(core::run_sync(two_iterations.synthesize(context)),
            "R[d[d[c1+c2]+d[c3+c4]]+d[d[c5+c6]+d[c7+c8]]+d[d[c9+c10]]]");
  EXPECT_EQ(ten.map->call_count(), 8u);
  EXPECT_THAT(info(capture),
              ElementsAre("Mapping 10 chunk(s) into 5 draft response(s) [Iteration 1 out of "
                          "possible 2]",
                          "Successfully mapped chunks into 5 non-empty draft response(s).",
                          "Mapping 5 chunk(s) into 3 draft response(s) [Iteration 2 out of "
                          "possible 2]",
                          "Successfully mapped chunks into 3 non-empty draft response(s).",
                          "Max iterations reached, reducing 3 mapped context(s) into a final "
                          "response.",
                          "Successfully reduced mapped context(s) into a final response."));
  capture.clear();
  Pair four;
  auto single = four.strategy(1, 1);
  SynthesisContext four_context = four.context(4);
  EXPECT_EQ(core::run_sync(single.synthesize(four_context)), "R[d[c1]+d[c2]+d[c3]+d[c4]]");
  EXPECT_EQ(info(capture).at(2),
            "Max iterations reached, reducing 4 mapped context(s) into a final response.");
  // Few chunks: no map iteration, the caller's chunks go to the reduce call.
  capture.clear();
  Pair compact;
  auto wide = compact.strategy(3, 1);
  SynthesisContext small = compact.context(2);
  EXPECT_EQ(core::run_sync(wide.synthesize(small)), "R[c1+c2]");
  EXPECT_EQ(compact.map->call_count(), 0u);
  EXPECT_THAT(info(capture), ElementsAre("Context is compact enough, reducing 2 mapped "
                                         "context(s) into a final response.",
                                         ::testing::_));
  // No chunks: the reduce prompt's default for "context".
  capture.clear();
  SynthesisContext empty{.query = "q", .kwargs = {{"context", "caller's"}}};
  EXPECT_EQ(core::run_sync(wide.synthesize(empty)), "R[N/A]");
  EXPECT_EQ(info(capture).at(0), "Synthesizing response without any provided context.");
}

TEST(MapReduceSynthesisTest, FailedIterationsRestoreTheEmitterAndKeepTheChunks) {
  Pair empty_maps;
  empty_maps.map->set_responder([](const auto&) { return inference::LMOutput(); });
  auto strategy = empty_maps.strategy(3, 2);
  SynthesisContext context = empty_maps.context(7);
  const auto original = context.chunks;
  try {
    core::run_sync(strategy.synthesize(context));
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "Map phase produced 0 non-empty result(s) from 3 map call(s); refusing to "
                 "reduce without mapped context.");
  }
  EXPECT_EQ(context.event_emitter, empty_maps.emitter);
  EXPECT_EQ(context.chunks, original);
  EXPECT_EQ(empty_maps.reduce->call_count(), 0u);
  // Every failing map call surfaces the same way.
  for (std::size_t failing = 0; failing < 3; ++failing) {
    Pair run;
    run.map->fail_at(failing);
    auto failing_strategy = run.strategy(3, 2);
    SynthesisContext failing_context = run.context(7);
    const auto chunks = failing_context.chunks;
    EXPECT_THROW(core::run_sync(failing_strategy.synthesize(failing_context)), core::RuntimeError);
    EXPECT_EQ(failing_context.event_emitter, run.emitter);
    EXPECT_EQ(failing_context.chunks, chunks);
    EXPECT_EQ(run.reduce->call_count(), 0u);
    EXPECT_THAT(run.emitter->events(), IsEmpty());
  }
  // An empty query fails inside the first iteration, after its mapping line.
  core::LogCapture capture;
  Pair no_query;
  auto query_strategy = no_query.strategy(3, 2);
  SynthesisContext no_query_context = no_query.context(7);
  no_query_context.query.clear();
  EXPECT_THROW(core::run_sync(query_strategy.synthesize(no_query_context)), core::ValueError);
  EXPECT_EQ(no_query_context.event_emitter, no_query.emitter);
  EXPECT_EQ(info(capture).size(), 1u);
}

TEST(MapReduceSynthesisTest, ResultsKeepBatchOrderWhateverOrderCallsFinish) {
  Pair run;
  run.map->hold_calls();
  auto strategy = run.strategy(3, 2);
  SynthesisContext context = run.context(7);
  boost::asio::io_context io;
  std::optional<Value> answer;
  boost::asio::co_spawn(
      io, [&]() -> boost::asio::awaitable<void> { answer = co_await strategy.synthesize(context); },
      [](std::exception_ptr error) { ASSERT_FALSE(error); });
  io.poll();
  ASSERT_EQ(run.map->in_flight(), 3u);
  EXPECT_EQ(context.event_emitter, nullptr);  // silenced while the map calls run
  for (std::size_t call : {2u, 0u, 1u}) {
    run.map->release(call);
    io.poll();
  }
  io.run();
  EXPECT_THAT(run.map->completion_order(), ElementsAre(2, 0, 1));
  EXPECT_EQ(run.map->peak_concurrency(), 3u);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, "R[d[c1+c2+c3]+d[c4+c5+c6]+d[c7]]");
  EXPECT_EQ(context.event_emitter, run.emitter);
}

}  // namespace
}  // namespace zelq::generation::response_synthesizer::strategy
