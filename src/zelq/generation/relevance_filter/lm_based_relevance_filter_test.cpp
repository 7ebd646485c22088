#include "zelq/generation/relevance_filter/lm_based_relevance_filter.hpp"

#include <chrono>
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

inference::LMOutput answer(Value structured) {
  inference::LMOutput output;
  output.set_structured_output(std::move(structured));
  return output;
}

// One verdict per "[CHUNK]" of the context: relevant when its text says "keep".
inference::LMOutput judge(const ScriptedLMInvoker::Request& request) {
  const std::string context = request.prompt_variables.at("context").get<std::string>();
  Value results = Value::array();
  for (auto at = context.find("[CHUNK]"); at != std::string::npos;) {
    const auto next = context.find("[CHUNK]", at + 1);
    results.push_back(
        {{"is_relevant", context.substr(at, next - at).find("keep") != std::string::npos}});
    at = next;
  }
  return answer({{"results", results}});
}

std::vector<ChunkPtr> make_chunks(std::vector<std::string> contents) {
  std::vector<ChunkPtr> chunks;
  for (auto& content : contents) chunks.push_back(core::make_chunk(std::move(content)));
  return chunks;
}

std::vector<ChunkPtr> pick(const std::vector<ChunkPtr>& chunks, std::vector<std::size_t> indices) {
  std::vector<ChunkPtr> picked;
  for (std::size_t i : indices) picked.push_back(chunks[i]);
  return picked;
}

class Exposed : public LMBasedRelevanceFilter {
 public:
  using LMBasedRelevanceFilter::_format_chunk_as_context;
  using LMBasedRelevanceFilter::_process_lm_response;
  using LMBasedRelevanceFilter::LMBasedRelevanceFilter;
};

struct Scene {
  std::shared_ptr<ScriptedLMInvoker> lm = std::make_shared<ScriptedLMInvoker>();
  inference::LMRequestProcessorPtr processor = std::make_shared<inference::LMRequestProcessor>(
      inference::PromptBuilder("{context}", "{query}"), lm);
};

TEST(LMBasedRelevanceFilterTest, BatchesInSequenceAndFallsBackPerBatch) {
  Scene s;
  s.lm->set_responder(judge);
  s.lm->set_latency(std::chrono::milliseconds(1));
  const auto chunks = make_chunks({"keep 0", "drop 1", "keep 2", "drop 3", "drop 4", "keep 5",
                                   "drop 6", "keep 7", "keep 8", "keep 9", "keep 10", "drop 11"});
  LMBasedRelevanceFilter filter(s.processor);
  EXPECT_EQ(core::run_sync(filter.filter(chunks, "q")), pick(chunks, {0, 2, 5, 7, 8, 9, 10}));
  ASSERT_EQ(s.lm->call_count(), 3u);
  EXPECT_EQ(s.lm->peak_concurrency(), 1u);
  EXPECT_EQ(s.lm->requests()[2].prompt_variables,
            (Value{{"query", "q"},
                   {"context", "[CHUNK]\nContent:\nkeep 10\n\n\n[CHUNK]\nContent:\ndrop 11\n"}}));

  // Bad answers fail only their batch, silently: a count mismatch, results
  // that are not a list, a verdict that is not an object. A "false" text
  // keeps; an absent or null verdict drops.
  Scene t;
  t.lm->push_output(answer({{"results", {{{"is_relevant", true}}}}}))
      .push_output(answer({{"results", {{"is_relevant", true}}}}))
      .push_output(answer({{"results", {true, {{"is_relevant", true}}}}}))
      .push_output(answer({{"results", {{{"is_relevant", "false"}}, {{"is_relevant", nullptr}}}}}));
  const auto letters = make_chunks({"a", "b", "c", "d", "e", "f", "g", "h"});
  LMBasedRelevanceFilter keep_all(t.processor, {.batch_size = 2});
  EXPECT_EQ(core::run_sync(keep_all.filter(letters, "q")), pick(letters, {0, 1, 2, 3, 4, 5, 6}));
  keep_all.on_failure_keep_all = false;
  t.lm->set_responder([](const auto&) { return answer(Value::object()); });
  EXPECT_TRUE(core::run_sync(keep_all.filter(letters, "q")).empty());
  // Other errors end the call; nothing gathered is returned.
  t.lm->push_text("").push_exception(core::RuntimeError("down"));
  EXPECT_THROW(core::run_sync(keep_all.filter(letters, "q")), core::RuntimeError);
  // So does an attribute in a template field, before any model call.
  const std::size_t asked = t.lm->call_count();
  for (const char* templ : {"{content.x}", "{content}{page.x}"}) {
    LMBasedRelevanceFilter attribute(t.processor, {.metadata = {"page"}, .chunk_format = templ});
    try {
      core::run_sync(attribute.filter(letters, "q"));
      ADD_FAILURE() << templ;
    } catch (const core::AttributeError& error) {
      EXPECT_STREQ(error.what(), "'str' object has no attribute 'x'") << templ;
    }
  }
  EXPECT_EQ(t.lm->call_count(), asked);

  keep_all.batch_size = 0;
  EXPECT_TRUE(core::run_sync(keep_all.filter({}, "q")).empty());
  const std::size_t calls = t.lm->call_count();
  EXPECT_THROW(core::run_sync(keep_all.filter(letters, "q")), core::ValueError);
  EXPECT_EQ(t.lm->call_count(), calls);
  EXPECT_THROW(LMBasedRelevanceFilter(t.processor, {.batch_size = -1}), core::ValueError);
  EXPECT_THROW(LMBasedRelevanceFilter(nullptr), core::ValueError);
}

TEST(LMBasedRelevanceFilterTest, ResponseMessagesAndChunkRendering) {
  Scene s;
  const auto two = make_chunks({"a", "b"});
  const auto error_for = [&](Value structured) {
    try {
      Exposed(s.processor)._process_lm_response(answer(std::move(structured)), two);
    } catch (const core::ValueError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error_for({{"results", {{"x", 1}}}}), "Expected list, got <class 'dict'>");
  EXPECT_EQ(error_for(Value::object()),
            "Mismatch between results length (0) and candidate chunks length (2).");
  EXPECT_EQ(error_for({{"results", {1, {{"is_relevant", 1}}}}}),
            "Malformed relevance for chunk: 1");
  // A verdict without "is_relevant" drops its chunk rather than failing.
  EXPECT_EQ(
      Exposed(s.processor)
          ._process_lm_response(answer({{"results", {{{"x", 1}}, {{"is_relevant", 1}}}}}), two),
      std::vector<ChunkPtr>{two[1]});

  const ChunkPtr chunk =
      core::make_chunk("text", {{"page", 42}, {"source", "S"}, {"nil", nullptr}});
  const auto render = [&](std::vector<std::string> fields, std::string templ) {
    return Exposed(s.processor, {.metadata = std::move(fields), .chunk_format = std::move(templ)})
        ._format_chunk_as_context(*chunk);
  };
  const std::string templ(DEFAULT_CHUNK_TEMPLATE);
  EXPECT_EQ(render({"source", "missing", "nil", "page"}, templ),
            "[CHUNK]\nContent:\ntext\n\nMetadata:\n- source: S\n- missing: <empty>\n- nil: None\n"
            "- page: 42");
  EXPECT_EQ(Exposed(s.processor, {.metadata = {"source"}})
                ._format_chunk_as_context(*core::make_chunk(core::Bytes{0xff})),
            "[CHUNK]\nContent:\n(Binary content)\n");
  // A key without an argument is retried once as "<empty>".
  EXPECT_EQ(render({"source"}, "{content}|{source}|{page}"), "text|S|<empty>");
  EXPECT_EQ(render({"source"}, "{metadata}|{source}"), "\nMetadata:\n- source: S|<empty>");
  EXPECT_THROW(render({}, "{a}{b}"), core::KeyError);

  Exposed custom(s.processor, {.metadata = {"source"}, .chunk_format = [](const core::Chunk& c) {
                                 return "<" + c.text() + ">";
                               }});
  EXPECT_EQ(custom._format_chunk_as_context(*chunk), "<text>");
  EXPECT_THROW(Exposed(s.processor, {.chunk_format = ChunkFormatter()}), core::ValueError);
}

}  // namespace
}  // namespace zelq::generation::relevance_filter
