#include "zelq/generation/reference_formatter/lm_reference_formatter.hpp"

#include <chrono>
#include <functional>
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
#include "zelq/generation/reference_formatter/lm_based_reference_formatter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::reference_formatter {
namespace {

using core::ChunkPtr;
using core::make_chunk;
using core::Value;
using inference::LMOutput;
using inference::testing::ScriptedLMInvoker;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

ChunkPtr named(Value name, std::string content = "text") {
  return make_chunk(std::move(content), Value{{"file_name", std::move(name)}});
}

// Twelve chunks "f0" .. "f11".
std::vector<ChunkPtr> twelve() {
  std::vector<ChunkPtr> chunks;
  for (int i = 0; i < 12; ++i) chunks.push_back(named("f" + std::to_string(i)));
  return chunks;
}

// Answers every request by naming every chunk of its context whose number
// is even.
void name_even_chunks(ScriptedLMInvoker& lm) {
  lm.set_responder([](const ScriptedLMInvoker::Request& request) {
    const std::string context = request.prompt_variables.at("context");
    Value names = Value::array();
    for (int i = 0; i < 12; i += 2) {
      if (context.find("file_name: f" + std::to_string(i) + "\n") != std::string::npos) {
        names.push_back("f" + std::to_string(i));
      }
    }
    LMOutput output;
    output.set_structured_output({{"file_name", names}});
    return output;
  });
}

std::vector<ChunkPtr> select(const LMReferenceFormatter& formatter, std::vector<ChunkPtr> chunks) {
  return std::get<std::vector<ChunkPtr>>(
      core::run_sync(formatter.format_reference("The response.", std::move(chunks))));
}

TEST(LMReferenceFormatterTest, PromptCarriesTheSystemTemplateAndChunkBlocks) {
  EXPECT_EQ(detail::DEFAULT_SYSTEM_TEMPLATE.size(), 377u);
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->push_structured({{"file_name", Value::array()}});
  LMReferenceFormatter formatter(lm, {.stringify = false});
  EXPECT_EQ(formatter._prompt_builder().system_template(), detail::DEFAULT_SYSTEM_TEMPLATE);
  EXPECT_EQ(formatter._prompt_builder().user_template(), "");
  select(formatter,
         {named("report.pdf", "Alpha"), make_chunk(core::Bytes{'a', 'b', 'c'}), named(7, "x\ny")});
  const std::string context =
      "<Chunk>\nfile_name: report.pdf\ncontent:\nAlpha\n</Chunk>\n\n"
      "<Chunk>\nfile_name: None\ncontent:\nb'abc'\n</Chunk>\n\n"
      "<Chunk>\nfile_name: 7\ncontent:\nx\ny\n</Chunk>";
  const auto requests = lm->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].prompt_variables,
            (Value{{"response", "The response."}, {"context", context}}));
  ASSERT_EQ(requests[0].messages.size(), 1u);
  EXPECT_EQ(requests[0].messages[0].text(),
            "\nYou are a helpful assistant that filters the candidate chunks based on their "
            "relevance to the generated response.\n\nHere are the candidate chunks:\n<Context>\n" +
                context +
                "\n</Context>\n\nHere is the generated response:\n<Response>\nThe "
                "response.\n</Response>\n\nReturn only the chunks that are relevant to the "
                "generated response, if any.\nIf there are no relevant chunks, return an empty "
                "list.\n");
  // A formatter with its own prompt shares the invoker without changing the
  // first one's prompt.
  LMReferenceFormatter custom(
      lm, {.stringify = false, .prompt_builder = inference::PromptBuilder("", "{response}")});
  lm->push_structured({{"file_name", Value::array()}});
  select(custom, {named("a", "A")});
  EXPECT_EQ(lm->requests().at(1).messages,
            std::vector<inference::Message>{inference::Message::user("The response.")});
  EXPECT_EQ(formatter._prompt_builder().system_template(), detail::DEFAULT_SYSTEM_TEMPLATE);
}

TEST(LMReferenceFormatterTest, SelectsListedValuesOfItsOwnBatchByElementEquality) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  const ChunkPtr a = named("report.pdf");
  const ChunkPtr b = named("report.pdf");
  const ChunkPtr elsewhere = named("later.pdf");
  // Batch 1: an int never equals its text, a missing value never equals
  // "None", a name of another batch selects nothing here.
  lm->push_structured({{"file_name", {"report.pdf", "7", "None", "report.pdf", "later.pdf"}}});
  lm->push_structured({{"file_name", nullptr}});        // batch 2: null, not a list
  lm->push_structured({{"file_name", "later.pdf x"}});  // batch 3: a text, no substring test
  lm->push_structured({{"other", {"later.pdf"}}});      // batch 4: no such member
  lm->push_text("no structured answer");                // batch 5
  lm->push_structured({{"file_name", {"f5"}}});
  LMReferenceFormatter formatter(lm, {.batch_size = 4, .stringify = false});
  const ChunkPtr f5 = named("f5");
  std::vector<ChunkPtr> chunks{a, named(7), make_chunk("no name"), b};
  chunks.insert(chunks.end(), 16, elsewhere);
  chunks.push_back(f5);
  EXPECT_THAT(select(formatter, chunks), ElementsAre(a, b, f5));
}

TEST(LMReferenceFormatterTest, AnAnswerTooDeepToParseSelectsNothingOfItsBatch) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  lm->push_text(R"({"file_name": ["a", )" + std::string(600, '[') + std::string(600, ']') + "]}");
  lm->push_structured({{"file_name", {"b"}}});
  LMReferenceFormatter formatter(lm, {.batch_size = 1, .stringify = false});
  const std::vector<ChunkPtr> chunks{named("a"), named("b")};
  EXPECT_THAT(select(formatter, chunks), ElementsAre(chunks[1]));
  EXPECT_EQ(lm->call_count(), 2u);
}

// An answer whose value would outgrow the formatter's budget (1.5 million
// empty texts in 4.5 MB hold about 100 MB) is refused as over the limit,
// after one call: not read as a batch that selects nothing.
TEST(LMReferenceFormatterTest, AnAnswerOverTheFormattersBudgetIsRefused) {
  std::string huge = R"({"file_name": [)";
  for (int i = 0; i < 1'500'000; ++i) huge += "\"\",";
  huge += "\"\"]}";
  const struct {
    std::string name;
    std::function<void(std::shared_ptr<ScriptedLMInvoker>)> select;
  } rows[] = {
      {"LMReferenceFormatter", [](auto lm) { select(LMReferenceFormatter(lm), {named("a")}); }},
      {"LMBasedReferenceFormatter",
       [](auto lm) {
         auto processor = std::make_shared<inference::LMRequestProcessor>(
             inference::PromptBuilder("{context}", ""), lm);
         const LMBasedReferenceFormatter formatter(processor);
         core::run_sync(formatter.format_reference("The response.", {named("a")}));
       }},
  };
  for (const auto& row : rows) {
    auto lm = std::make_shared<ScriptedLMInvoker>();
    lm->push_text(huge);
    std::string refused = "no error";
    try {
      row.select(lm);
    } catch (const core::RuntimeError& error) {
      refused = error.what();
      EXPECT_TRUE(core::is_over_limit(std::current_exception())) << row.name;
    }
    EXPECT_EQ(refused,
              "The language model's answer needs more than 67108864 bytes of memory "
              "once parsed")
        << row.name;
    EXPECT_EQ(lm->call_count(), 1u) << row.name;
  }
}

TEST(LMReferenceFormatterTest, BatchesRunAtOnceAndKeepInputOrder) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  name_even_chunks(*lm);
  lm->hold_calls();
  LMReferenceFormatter formatter(lm, {.stringify = false});
  const std::vector<ChunkPtr> chunks = twelve();
  boost::asio::io_context io;
  std::optional<ReferenceResult> result;
  boost::asio::co_spawn(
      io,
      [&]() -> boost::asio::awaitable<void> {
        result = co_await formatter.format_reference("r", chunks);
      },
      [](std::exception_ptr error) { ASSERT_FALSE(error); });
  io.poll();
  ASSERT_EQ(lm->in_flight(), 3u);
  for (std::size_t call : {2u, 1u, 0u}) {
    lm->release(call);
    io.poll();
  }
  io.run();
  EXPECT_THAT(lm->completion_order(), ElementsAre(2, 1, 0));
  EXPECT_EQ(lm->peak_concurrency(), 3u);
  const auto requests = lm->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_THAT(requests[2].prompt_variables.at("context").get<std::string>(),
              ::testing::StartsWith("<Chunk>\nfile_name: f10\n"));
  ASSERT_TRUE(result.has_value());
  EXPECT_THAT(std::get<std::vector<ChunkPtr>>(*result),
              ElementsAre(chunks[0], chunks[2], chunks[4], chunks[6], chunks[8], chunks[10]));
}

TEST(LMReferenceFormatterTest, AFailingBatchFailsTheCallAfterTheOthersFinish) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  name_even_chunks(*lm);
  lm->fail_at(1);
  lm->hold_calls();
  LMReferenceFormatter formatter(lm);
  boost::asio::io_context io;
  std::exception_ptr failure;
  bool done = false;
  boost::asio::co_spawn(
      io,
      [&]() -> boost::asio::awaitable<void> { co_await formatter.format_reference("r", twelve()); },
      [&](std::exception_ptr error) {
        failure = error;
        done = true;
      });
  io.poll();
  ASSERT_EQ(lm->in_flight(), 3u);
  // The failing batch ends first; the call fails only once the others end.
  for (std::size_t call : {1u, 0u}) {
    lm->release(call);
    io.poll();
    EXPECT_FALSE(done) << "after batch " << call;
  }
  lm->release(2);
  io.run();
  ASSERT_TRUE(done);
  EXPECT_THROW(std::rethrow_exception(failure), core::RuntimeError);
  EXPECT_THAT(lm->completion_order(), ElementsAre(1, 0, 2));
}

TEST(LMReferenceFormatterTest, BatchSizeZeroFailsBeforeAnyRequest) {
  auto lm = std::make_shared<ScriptedLMInvoker>();
  LMReferenceFormatter formatter(lm, {.batch_size = 0});
  EXPECT_EQ(std::get<std::string>(core::run_sync(formatter.format_reference("r", {}))), "");
  try {
    core::run_sync(formatter.format_reference("r", twelve()));
    ADD_FAILURE() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "range() arg 3 must not be zero");
  }
  formatter.batch_size = -1;
  EXPECT_EQ(std::get<std::string>(core::run_sync(formatter.format_reference("r", twelve()))), "");
  EXPECT_EQ(lm->call_count(), 0u);
}

TEST(LMReferenceFormatterTest, PresetNamesTheSchemaFieldAfterTheKey) {
  std::vector<ScriptedLMInvoker*> built;
  providers::register_lm_provider(
      "scripted",
      inference::testing::scripted_provider([&](ScriptedLMInvoker& lm) { built.push_back(&lm); }));
  auto titled = LMReferenceFormatter::from_preset("scripted/m",
                                                  {.batch_size = 3, .reference_metadata = "title"});
  auto plain = LMReferenceFormatter::from_preset("scripted/m");
  ASSERT_EQ(built.size(), 2u);
  EXPECT_EQ(titled->batch_size, 3);
  EXPECT_EQ(titled->reference_metadata, "title");
  EXPECT_EQ(plain->reference_metadata, "file_name");
  EXPECT_EQ(built[0]->config().at("response_schema"),
            Value::parse(R"({"properties": {"title": {"items": {"type": "string"},
                            "title": "Title", "type": "array"}}, "required": ["title"],
                            "title": "RelevantChunks", "type": "object"})"));
  EXPECT_EQ(built[1]->response_schema()->at("properties").at("file_name").at("title"), "File Name");
  EXPECT_EQ(plain->_response_schema(), built[1]->response_schema());
  EXPECT_EQ(plain->_prompt_builder().system_template(), detail::DEFAULT_SYSTEM_TEMPLATE);
  EXPECT_EQ(plain->lm_invoker().get(), built[1]);
}

}  // namespace
}  // namespace zelq::generation::reference_formatter
