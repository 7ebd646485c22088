#include "zelq/inference/request_processor.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"

namespace zelq::inference {
namespace {

using core::Value;
using testing::ScriptedLMInvoker;

// A component that reaches the model through a request processor.
class Judge : public UsesLM {
 public:
  Judge(LMRequestProcessorPtr processor, int batch_size)
      : lm_request_processor(std::move(processor)), batch_size(batch_size) {}
  LMRequestProcessorPtr lm_request_processor;
  int batch_size;
};

TEST(LMRequestProcessorTest, ProcessFillsThePromptAndFallsBack) {
  auto main = std::make_shared<ScriptedLMInvoker>();
  auto fallback = std::make_shared<ScriptedLMInvoker>();
  const Value schema = {{"type", "object"}};
  LMRequestProcessor processor(PromptBuilder("Context: {context}", "{query}"), main, {fallback},
                               schema);
  main->push_exception(core::RuntimeError("down"));
  fallback->push_text("answer");
  auto emitter = std::make_shared<testing::RecordingEventEmitter>();
  auto output =
      core::run_sync(processor.process(Value{{"query", "q"}, {"context", "c"}},
                                       {.history = std::vector<Message>{Message::user("before")},
                                        .hyperparameters = Value{{"top_p", 1}},
                                        .event_emitter = emitter}));
  EXPECT_EQ(output.text(), "answer");
  const auto request = fallback->requests().at(0);
  EXPECT_EQ(request.messages, (std::vector<Message>{Message::system("Context: c"),
                                                    Message::user("before"), Message::user("q")}));
  EXPECT_EQ(request.prompt_variables.dump(), R"({"query":"q","context":"c"})");
  EXPECT_EQ(request.hyperparameters, (Value{{"top_p", 1}}));
  // The processor's schema goes to the fallback too, which has none itself.
  EXPECT_EQ(request.response_schema, schema);
  EXPECT_EQ(emitter->types().size(), 3u);
  EXPECT_THROW(core::run_sync(processor.process(Value{{"query", "q"}})), core::KeyError);
  EXPECT_EQ(main->call_count(), 1u);
  EXPECT_THROW(LMRequestProcessor(PromptBuilder(), nullptr), core::ValueError);
  EXPECT_THROW(LMRequestProcessor(PromptBuilder(), main, {}, Value("Verdict")), core::ValueError);
}

TEST(LMRequestProcessorTest, CascadeIsTheInvokerAndItsFallbacks) {
  auto main = std::make_shared<ScriptedLMInvoker>();
  auto fallback = std::make_shared<ScriptedLMInvoker>();
  LMRequestProcessor processor(PromptBuilder("S", "{query}", Value{{"query", "?"}}), main,
                               {fallback});
  auto [invoker, fallbacks] = processor.to_lm_invoker_cascade();
  EXPECT_EQ(invoker, main);
  EXPECT_EQ(fallbacks, std::vector<LMInvokerPtr>{fallback});
}

TEST(UsesLMTest, WithStructuredOutputAndParsing) {
  const Value schema = {{"title", "RelevantChunks"}, {"type", "object"}};
  auto judge = UsesLM::with_structured_output<Judge>(testing::scripted_builder(),
                                                     {.model_id = "scripted/judge",
                                                      .response_schema = schema,
                                                      .system_template = "Judge {context}"},
                                                     3);
  EXPECT_EQ(judge->batch_size, 3);
  const auto& processor = *judge->lm_request_processor;
  EXPECT_EQ(processor.prompt_builder().system_template(), "Judge {context}");
  EXPECT_EQ(processor.prompt_builder().user_template(), "");
  EXPECT_EQ(processor.response_schema(), schema);
  EXPECT_EQ(processor.lm_invoker()->response_schema(), schema);
  EXPECT_THROW(UsesLM::with_structured_output<Judge>(
                   testing::scripted_builder(),
                   {.model_id = "scripted/judge", .response_schema = "RelevantChunks"}, 1),
               core::ValueError);

  LMOutput structured;
  structured.set_structured_output(Value{{"file_name", {"a.pdf"}}});
  EXPECT_EQ(UsesLM::_parse_structured_output(structured, "file_name", Value::array(),
                                             kMaxStructuredOutputMemory),
            Value::array({"a.pdf"}));
  EXPECT_EQ(
      UsesLM::_parse_structured_output(structured, "title", "none", kMaxStructuredOutputMemory),
      "none");
  LMOutput text;
  text.add_text("not json");
  EXPECT_EQ(UsesLM::_parse_structured_output(text, "file_name", Value::array(),
                                             kMaxStructuredOutputMemory),
            Value::array());

  // An answer text nested 512 levels deep is used; a deeper one is refused
  // while parsing, before anything walks it, as an answer without structure.
  const auto nested_answer = [](std::size_t arrays) {
    LMOutput answer;
    answer.add_text(R"({"file_name": )" + std::string(arrays, '[') + std::string(arrays, ']') +
                    "}");
    return answer;
  };
  EXPECT_TRUE(UsesLM::_parse_structured_output(nested_answer(511), "file_name", Value(),
                                               kMaxStructuredOutputMemory)
                  .is_array());
  for (const std::size_t arrays : {512, 600, 100000}) {
    EXPECT_EQ(UsesLM::_parse_structured_output(nested_answer(arrays), "file_name", "none",
                                               kMaxStructuredOutputMemory),
              "none")
        << arrays << " levels";
    EXPECT_TRUE(
        parse_structured_output(nested_answer(arrays), kMaxStructuredOutputMemory).is_null());
  }
}

// A structured answer that comes as text is parsed within the budget its
// reader passes; past it, the reading is refused as over the limit. A
// structured output the invoker parsed already is taken as it is.
TEST(UsesLMTest, StructuredAnswersAreReadWithinTheReadersBudget) {
  std::string items = R"({"file_name": [0)";
  for (int i = 0; i < 10'000; ++i) items += ",0";
  items += "]}";
  const auto text = [](std::vector<std::string> pieces) {
    LMOutput output;
    output.add_text(std::move(pieces));
    return output;
  };
  LMOutput structured;
  structured.set_structured_output(Value{{"file_name", {"a.pdf"}}});
  const std::string refused =
      "over the limit: The language model's answer needs more than "
      "65536 bytes of memory once parsed";
  const struct {
    std::string name;
    LMOutput output;
    std::size_t budget;
    std::string expected;  // the size of "file_name", or the refusal
  } rows[] = {
      {"items within the budget", text({items}), 1 << 20, "10001"},
      {"items in pieces within the budget", text({items.substr(0, 9), items.substr(9)}), 1 << 20,
       "10001"},
      {"items over the budget", text({items}), 1 << 16, refused},
      {"items in pieces over the budget", text({items.substr(0, 9), items.substr(9)}), 1 << 16,
       refused},
      {"a structured output", structured, 0, "1"},
  };
  for (const auto& row : rows) {
    for (const bool uses_lm : {true, false}) {
      std::string outcome;
      try {
        const Value names =
            uses_lm ? UsesLM::_parse_structured_output(row.output, "file_name", nullptr, row.budget)
                    : LMComponent::_parse_structured_output(row.output, row.budget)["file_name"];
        outcome = std::to_string(names.size());
      } catch (const core::RuntimeError& error) {
        const bool over = core::is_over_limit(std::current_exception());
        outcome = (over ? "over the limit: " : "") + std::string(error.what());
      }
      EXPECT_EQ(outcome, row.expected) << row.name << (uses_lm ? " (UsesLM)" : " (LMComponent)");
    }
  }
}

}  // namespace
}  // namespace zelq::inference
