#include "zelq/generation/relevance_filter/lm_relevance_filter.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/relevance_filter/lm_based_relevance_filter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::relevance_filter {
namespace {

using core::ChunkPtr;
using core::Value;
using inference::testing::ScriptedLMInvoker;

constexpr const char* kFallback = "Using default fallback due to failed batch processing: ";

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
  inference::LMOutput output;
  output.set_structured_output({{"results", results}});
  return output;
}

inference::LMOutput answer(Value structured) {
  inference::LMOutput output;
  output.set_structured_output(std::move(structured));
  return output;
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

std::vector<std::string> warnings(const core::LogCapture& capture) {
  return capture.messages("LMRelevanceFilter", zelq::core::LogLevel::warn);
}

class Exposed : public LMRelevanceFilter {
 public:
  using LMRelevanceFilter::_format_chunk;
  using LMRelevanceFilter::LMRelevanceFilter;
};

TEST(LMRelevanceFilterTest, AllBatchesAtOnceResultInInputOrder) {
  core::LogCapture capture;
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->set_responder(judge);
  lm->hold_calls();
  LMRelevanceFilter filter(lm);
  EXPECT_EQ(filter._prompt_builder().system_template().size(), 310u);
  const auto chunks = make_chunks({"keep 0", "drop 1", "keep 2", "drop 3", "drop 4", "keep 5",
                                   "drop 6", "keep 7", "keep 8", "keep 9", "drop 10", "keep 11"});
  std::vector<ChunkPtr> kept;
  boost::asio::io_context io;
  boost::asio::co_spawn(io, filter.filter(chunks, "q"), [&](std::exception_ptr e, auto result) {
    if (e) std::rethrow_exception(e);
    kept = std::move(result);
  });
  while (lm->in_flight() < 3 && io.run_one_for(std::chrono::seconds(5)) > 0) {
  }
  ASSERT_EQ(lm->in_flight(), 3u);
  for (std::size_t i : {2u, 0u, 1u}) lm->release(i);
  io.run();
  EXPECT_EQ(lm->completion_order(), (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(kept, pick(chunks, {0, 2, 5, 7, 8, 9, 11}));
  const auto requests = lm->requests();
  const std::string context = "[CHUNK]\nContent:\ndrop 10\n\n\n[CHUNK]\nContent:\nkeep 11\n";
  EXPECT_EQ(requests[2].prompt_variables, (Value{{"query", "q"}, {"context", context}}));
  EXPECT_EQ(requests[2].messages.at(0).text(),
            "\nYou are a helpful assistant that filters chunks based on their relevance to a "
            "query.\n\nHere are the candidate chunks:\n<Context>\n" +
                context +
                "\n</Context>\n\nHere is the query:\n<Query>\nq\n</Query>\n\nEvaluate whether "
                "each chunk is relevant to the query.\nThe results length must match the number "
                "of candidate chunk.\n");
  EXPECT_TRUE(warnings(capture).empty());
  EXPECT_TRUE(core::run_sync(filter.filter({}, "q")).empty());
  EXPECT_EQ(lm->call_count(), 3u);
}

TEST(LMRelevanceFilterTest, FailedBatchesFallBackWithAWarningOthersKeepTheirVerdicts) {
  core::LogCapture capture;
  auto lm = std::make_shared<ScriptedLMInvoker>();
  // Batches of two, answered in call order (the calls start in batch order).
  lm->push_output(answer({{"results", {{{"is_relevant", true}}}}}))         // mismatch
      .push_output(answer({{"results", {{"is_relevant", true}}}}))          // a dict
      .push_output(answer({{"results", {true, {{"is_relevant", true}}}}}))  // malformed
      .push_output(answer({{"results", {{{"is_relevant", 1}}, {{"explanation", "x"}}}}}))
      .push_text("no structure")
      .push_text(R"({"results": )" + std::string(100000, '[') + std::string(100000, ']') + "}")
      .push_output(
          answer({{"results", {{{"is_relevant", "yes"}, {"extra", 1}}, {{"is_relevant", 0}}}}}));
  const auto chunks =
      make_chunks({"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n"});
  LMRelevanceFilter filter(lm, {.batch_size = 2, .on_failure_keep_all = false});
  EXPECT_EQ(core::run_sync(filter.filter(chunks, "q")), pick(chunks, {12}));
  const std::string prefix = kFallback;
  EXPECT_EQ(warnings(capture),
            (std::vector<std::string>{
                prefix + "Mismatch between results length (1) and candidate chunks length (2).",
                prefix + "Expected list, got <class 'dict'>",
                prefix + "Malformed relevance for chunk: True",
                prefix + "Missing 'is_relevant' key in result",
                prefix + "Failed to parse structured output from LM.",
                prefix + "Failed to parse structured output from LM."}));

  filter.on_failure_keep_all = true;
  lm->set_responder([](const auto&) { return answer({{"other", 1}}); });
  EXPECT_EQ(core::run_sync(filter.filter(chunks, "q")), chunks);

  // A template error that is a ValueError falls back; other errors end the call.
  filter.chunk_format = std::string("{content");
  EXPECT_EQ(core::run_sync(filter.filter(chunks, "q")), chunks);
  filter.chunk_format = std::string("{content}{unknown}");
  EXPECT_THROW(core::run_sync(filter.filter(chunks, "q")), core::KeyError);
  // An attribute in a field fails the call, as the template is wrong for
  // every batch; no batch falls back and no model is asked.
  const std::size_t warned = warnings(capture).size();
  const std::size_t asked = lm->call_count();
  filter.chunk_format = std::string("{content.x}");
  try {
    core::run_sync(filter.filter(chunks, "q"));
    ADD_FAILURE() << "no error";
  } catch (const core::AttributeError& error) {
    EXPECT_STREQ(error.what(), "'str' object has no attribute 'x'");
  }
  EXPECT_EQ(warnings(capture).size(), warned);
  EXPECT_EQ(lm->call_count(), asked);
  filter.chunk_format = std::string(detail::LM_DEFAULT_CHUNK_TEMPLATE);
  lm->fail_at(lm->call_count() + 1);
  EXPECT_THROW(core::run_sync(filter.filter(chunks, "q")), core::RuntimeError);

  filter.batch_size = 0;
  const std::size_t calls = lm->call_count();
  EXPECT_THROW(core::run_sync(filter.filter(chunks, "q")), core::ValueError);
  EXPECT_EQ(lm->call_count(), calls);
  EXPECT_THROW(LMRelevanceFilter(lm, {.batch_size = -3}), core::ValueError);
}

// An answer whose value would outgrow the filter's budget (1.5 million
// empty texts in 4.5 MB hold about 100 MB) is refused as over the limit:
// no fallback verdict, no second call.
TEST(LMRelevanceFilterTest, AnAnswerOverTheFiltersBudgetIsRefused) {
  std::string huge = R"({"results": [)";
  for (int i = 0; i < 1'500'000; ++i) huge += "\"\",";
  huge += "\"\"]}";
  const auto chunks = make_chunks({"a"});
  const struct {
    std::string name;
    std::function<void(std::shared_ptr<ScriptedLMInvoker>)> filter;
  } rows[] = {
      {"LMRelevanceFilter",
       [&](auto lm) { core::run_sync(LMRelevanceFilter(lm).filter(chunks, "q")); }},
      {"LMBasedRelevanceFilter",
       [&](auto lm) {
         auto processor = std::make_shared<inference::LMRequestProcessor>(
             inference::PromptBuilder("{context}", "{query}"), lm);
         core::run_sync(LMBasedRelevanceFilter(processor).filter(chunks, "q"));
       }},
  };
  for (const auto& row : rows) {
    core::LogCapture capture;
    auto lm = std::make_shared<ScriptedLMInvoker>();
    lm->push_text(huge);
    std::string refused = "no error";
    try {
      row.filter(lm);
    } catch (const core::RuntimeError& error) {
      refused = error.what();
      EXPECT_TRUE(core::is_over_limit(std::current_exception())) << row.name;
    }
    EXPECT_EQ(refused,
              "The language model's answer needs more than 67108864 bytes of memory "
              "once parsed")
        << row.name;
    EXPECT_EQ(lm->call_count(), 1u) << row.name;
    EXPECT_TRUE(capture.messages(row.name, zelq::core::LogLevel::warn).empty()) << row.name;
  }
}

TEST(LMRelevanceFilterTest, RendersPerFieldArgumentsBesideTheBlock) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  const ChunkPtr chunk = core::make_chunk("text", {{"source", "S"}, {"score", 0.5}});
  const auto render = [&](std::vector<std::string> fields, std::string templ) {
    return Exposed(lm, {.metadata = std::move(fields), .chunk_format = std::move(templ)})
        ._format_chunk(*chunk);
  };
  EXPECT_EQ(render({"score", "none"}, std::string(detail::LM_DEFAULT_CHUNK_TEMPLATE)),
            "[CHUNK]\nContent:\ntext\n\nMetadata:\n- score: 0.5\n- none: <empty>");
  EXPECT_EQ(render({"source"}, "{metadata}|{source}"), "\nMetadata:\n- source: S|S");
  EXPECT_EQ(render({"metadata"}, "{content}|{metadata}"), "text|<empty>");
  EXPECT_EQ(render({"content"}, "{content}"), "<empty>");
  EXPECT_THROW(render({}, "{content}{source}"), core::KeyError);

  // Metadata as deep as Python prints (600 levels) is rendered, and its
  // chunk judged like any other.
  Value deep = "S";
  for (int i = 0; i < 600; ++i) deep = Value::array({std::move(deep)});
  const std::vector<ChunkPtr> nested{core::make_chunk("keep", {{"source", deep}})};
  lm->set_responder(judge);
  const LMRelevanceFilter filter(lm, {.on_failure_keep_all = false, .metadata = {"source"}});
  EXPECT_EQ(core::run_sync(filter.filter(nested, "q")), nested);
}

// Objects past the size where lookups switch to a table: the block keeps
// the configured order, and the arguments keep Python's dict semantics
// (a repeated field or "content" keeps its place and takes the last value).
TEST(LMRelevanceFilterTest, RendersManyFieldsInConfiguredOrder) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  Value metadata = Value::object();
  for (int i = 0; i < 300; ++i) metadata["f" + std::to_string(i)] = i;
  metadata["content"] = "from metadata";
  const ChunkPtr chunk = core::make_chunk("text", metadata);
  std::vector<std::string> fields;
  std::string block = "\nMetadata:";
  for (int i = 349; i >= 0; i -= 2) {
    fields.push_back("f" + std::to_string(i));
    block += "\n- f" + std::to_string(i) + ": " + (i < 300 ? std::to_string(i) : "<empty>");
  }
  fields.push_back("f1");
  block += "\n- f1: 1";
  const auto render = [&](std::vector<std::string> fields, std::string templ) {
    return Exposed(lm, {.metadata = std::move(fields), .chunk_format = std::move(templ)})
        ._format_chunk(*chunk);
  };
  EXPECT_EQ(render(fields, "{metadata}|{f1}|{f349}|{content}"), block + "|1|<empty>|text");
  fields.push_back("content");
  EXPECT_EQ(render(fields, "{content}|{f299}"), "from metadata|299");
  EXPECT_THROW(render(fields, "{f0}"), core::KeyError);
}

TEST(LMRelevanceFilterTest, FromPresetBuildsTheSchemaAndPrompt) {
  std::vector<ScriptedLMInvoker*> built;
  providers::register_lm_provider("scripted",
                                  inference::testing::scripted_provider([&](ScriptedLMInvoker& lm) {
                                    lm.set_responder(judge);
                                    built.push_back(&lm);
                                  }));
  auto filter = LMRelevanceFilter::from_preset("scripted/m", {.filter = {.batch_size = 1}});
  ASSERT_EQ(built.size(), 1u);
  EXPECT_EQ(
      RelevanceFilter::model_json_schema().dump(),
      R"({"$defs":{"RelevanceFilterItem":{)"
      R"("description":"Defines the relevance filter item schema.\n\nAttributes:\n)"
      R"(    explanation (str): The explanation of why the chunk is or is not relevant.\n)"
      R"(    is_relevant (bool): True if the chunk is relevant to the query, False otherwise.",)"
      R"("properties":{"explanation":{"title":"Explanation","type":"string"},)"
      R"("is_relevant":{"title":"Is Relevant","type":"boolean"}},)"
      R"("required":["explanation","is_relevant"],"title":"RelevanceFilterItem","type":"object"}},)"
      R"("description":"Defines the relevance filter schema.\n\nAttributes:\n)"
      R"(    results (list[RelevanceFilterItem]): The list of relevance filter items,\n)"
      R"(        each containing the relevance decision for a chunk.",)"
      R"("properties":{"results":{"items":{"$ref":"#/$defs/RelevanceFilterItem"},)"
      R"("title":"Results","type":"array"}},"required":["results"],"title":"RelevanceFilter",)"
      R"("type":"object"})");
  EXPECT_EQ(built[0]->response_schema(), RelevanceFilter::model_json_schema());
  EXPECT_EQ(filter->_response_schema(), RelevanceFilter::model_json_schema());
  EXPECT_EQ(filter->_prompt_builder().system_template(), detail::LM_DEFAULT_SYSTEM_TEMPLATE);
  EXPECT_EQ(filter->batch_size, 1);
  const auto chunks = make_chunks({"keep", "drop"});
  EXPECT_EQ(core::run_sync(filter->filter(chunks, "q")), pick(chunks, {0}));
  EXPECT_EQ(built[0]->call_count(), 2u);
}

}  // namespace
}  // namespace zelq::generation::relevance_filter
