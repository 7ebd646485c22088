#include "zelq/generation/relevance_filter/lm_based_relevance_filter.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::generation::relevance_filter {
namespace {

using core::ChunkPtr;
using core::Value;
using inference::testing::ScriptedLMInvoker;

// One verdict per "[CHUNK]" of the context: relevant when its text says "keep".
inference::LMOutput judge(const ScriptedLMInvoker::Request& request) {
  const std::string context = request.prompt_variables.at("context").get<std::string>();
  Value results = Value::array();
  for (auto at = context.find("[CHUNK]"); at != std::string::npos;) {
    const auto next = context.find("[CHUNK]", at + 1);
    const bool keep = context.substr(at, next - at).find("keep") != std::string::npos;
    results.push_back({{"explanation", "because"}, {"is_relevant", keep}});
    at = next;
  }
  inference::LMOutput output;
  output.set_structured_output({{"results", results}});
  return output;
}

inference::LMOutput answer(Value structured) {
  inference::LMOutput output;
  output.set_structured_output(std::move(structured));
  return output;
}

// Exposes the chunk rendering.
class Exposed : public LMBasedRelevanceFilter {
 public:
  using LMBasedRelevanceFilter::_format_batch_context;
  using LMBasedRelevanceFilter::_format_chunk_as_context;
  using LMBasedRelevanceFilter::_process_lm_response;
  using LMBasedRelevanceFilter::LMBasedRelevanceFilter;
};

struct Scene {
  std::shared_ptr<ScriptedLMInvoker> lm = std::make_shared<ScriptedLMInvoker>();
  inference::LMRequestProcessorPtr processor = std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder("{context}", "{query}"), lm);
  std::vector<ChunkPtr> chunks;

  explicit Scene(std::vector<std::string> contents) {
    for (auto& content : contents) chunks.push_back(core::make_chunk(std::move(content)));
  }
  std::vector<ChunkPtr> pick(std::vector<int> indices) const {
    std::vector<ChunkPtr> picked;
    for (int i : indices) picked.push_back(chunks[static_cast<std::size_t>(i)]);
    return picked;
  }
};

TEST(LMBasedRelevanceFilterTest, BatchesInSequenceAndFallsBackPerBatch) {
  Scene s({"keep 0", "drop 1", "keep 2", "drop 3", "drop 4", "keep 5", "drop 6", "keep 7", "keep 8",
           "keep 9", "keep 10", "drop 11"});
  s.lm->set_responder(judge);
  s.lm->set_latency(std::chrono::milliseconds(1));
  LMBasedRelevanceFilter filter(s.processor);
  EXPECT_EQ(core::run_sync(filter.filter(s.chunks, "q")), s.pick({0, 2, 5, 7, 8, 9, 10}));
  ASSERT_EQ(s.lm->call_count(), 3u);
  EXPECT_EQ(s.lm->peak_concurrency(), 1u);
  EXPECT_EQ(s.lm->requests()[2].prompt_variables,
            (Value{{"query", "q"},
                   {"context",
                    "[CHUNK]\nContent:\nkeep 10\n\n\n[CHUNK]\n"
                    "Content:\ndrop 11\n"}}));

  // Bad answers fail only their batch: a count mismatch, results that are
  // not a list, a verdict that is not an object. Absent or null verdicts drop.
  Scene t({"a", "b", "c", "d", "e", "f", "g", "h"});
  t.lm->push_output(answer({{"results", {{{"is_relevant", true}}}}}))
      .push_output(answer({{"results", {{"is_relevant", true}}}}))
      .push_output(answer({{"results", {true, {{"is_relevant", true}}}}}))
      .push_output(answer({{"results", {{{"is_relevant", "false"}}, {{"is_relevant", nullptr}}}}}));
  LMBasedRelevanceFilter keep_all(t.processor, {.batch_size = 2});
  EXPECT_EQ(core::run_sync(keep_all.filter(t.chunks, "q")), t.pick({0, 1, 2, 3, 4, 5, 6}));
  keep_all.on_failure_keep_all = false;
  t.lm->set_responder([](const auto&) { return answer({{"results", Value::object()}}); });
  EXPECT_TRUE(core::run_sync(keep_all.filter(t.chunks, "q")).empty());

  // Other errors end the call; nothing gathered is returned.
  t.lm->push_text("").push_exception(core::RuntimeError("down"));
  EXPECT_THROW(core::run_sync(keep_all.filter(t.chunks, "q")), core::RuntimeError);
}

TEST(LMBasedRelevanceFilterTest, ResponseMessagesAndBatchSizeChecks) {
  Scene s({"a", "b"});
  Exposed filter(s.processor, {.batch_size = 2});
  const auto error_for = [&](Value structured) {
    try {
      return Value(filter._process_lm_response(answer(std::move(structured)), s.chunks).size());
    } catch (const core::ValueError& error) {
      return Value(error.what());
    }
  };
  EXPECT_EQ(error_for({{"results", {{"x", 1}}}}), "Expected list, got <class 'dict'>");
  EXPECT_EQ(error_for(Value::object()),
            "Mismatch between results length (0) and candidate chunks length (2).");
  EXPECT_EQ(error_for({{"results", {1, {{"is_relevant", 1}}}}}),
            "Malformed relevance for chunk: 1");
  EXPECT_EQ(error_for({{"results", {{{"is_relevant", 1}}, {{"is_relevant", "no"}}}}}), 2);

  for (int size : {0, -1}) {
    EXPECT_THROW(LMBasedRelevanceFilter(s.processor, {.batch_size = size}), core::ValueError);
  }
  filter.batch_size = 0;
  EXPECT_TRUE(core::run_sync(filter.filter({}, "q")).empty());
  EXPECT_THROW(core::run_sync(filter.filter(s.chunks, "q")), core::ValueError);
  EXPECT_EQ(s.lm->call_count(), 0u);
  EXPECT_THROW(LMBasedRelevanceFilter(nullptr), core::ValueError);
}

TEST(LMBasedRelevanceFilterTest, RendersChunksWithMetadataAndMissingKeys) {
  Scene s({});
  ChunkPtr chunk = core::make_chunk("text", {{"page", 42}, {"source", "S"}, {"nil", nullptr}});
  ChunkPtr binary = core::make_chunk(core::Bytes{0xff});
  Exposed plain(s.processor);
  EXPECT_EQ(plain._format_batch_context({chunk, binary}),
            "[CHUNK]\nContent:\ntext\n\n\n[CHUNK]\nContent:\n(Binary content)\n");

  Exposed fields(s.processor, {.metadata = {"source", "missing", "nil", "page"}});
  EXPECT_EQ(fields._format_chunk_as_context(*chunk),
            "[CHUNK]\nContent:\ntext\n\nMetadata:\n- source: S\n- missing: <empty>\n- nil: None\n"
            "- page: 42");
  EXPECT_EQ(fields._format_chunk_as_context(*core::make_chunk("bare")),
            "[CHUNK]\nContent:\nbare\n");

  const auto render = [&](std::string templ) {
    Exposed filter(s.processor, {.metadata = {"source"}, .chunk_format = std::move(templ)});
    return filter._format_chunk_as_context(*chunk);
  };
  EXPECT_EQ(render("{content}|{source}|{page}"), "text|S|<empty>");
  EXPECT_EQ(render("{metadata}|{source}"), "\nMetadata:\n- source: S|<empty>");
  EXPECT_THROW(render("{a}{b}"), core::KeyError);
  EXPECT_THROW(render("{0}"), core::IndexError);
  EXPECT_THROW(render("{content"), core::ValueError);

  Exposed custom(s.processor, {.metadata = {"source"}, .chunk_format = [](const core::Chunk& c) {
                                 return "<" + c.id + ">";
                               }});
  EXPECT_EQ(custom._format_chunk_as_context(*chunk), "<" + chunk->id + ">");
  EXPECT_THROW(Exposed(s.processor, {.chunk_format = ChunkFormatter()}), core::ValueError);
}

}  // namespace
}  // namespace zelq::generation::relevance_filter
