#include "zelq/providers/openai/detail/chat_request.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "zelq/core/errors.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"

namespace zelq::providers::openai {
namespace {

using core::Value;
using inference::Attachment;
using inference::LMOutput;
using inference::Message;

std::string value_error_of(const std::vector<Message>& messages, Value hyperparameters = {},
                           std::optional<Value> schema = std::nullopt) {
  try {
    inference::LMInvokeOptions options;
    options.hyperparameters = hyperparameters.is_null() ? Value::object() : hyperparameters;
    options.response_schema = std::move(schema);
    chat_request_body("m", messages, options, {});
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ChatRequestTest, BodyHoldsMessagesHyperparametersStreamAndSchema) {
  inference::LMInvokeOptions options;
  options.hyperparameters = {{"temperature", 0.2}, {"max_tokens", 5}};
  std::vector<Message> messages = {
      Message::system("S"), Message::assistant("A"),
      Message::user({"look", Attachment::from_bytes({'P', 'N', 'G'}, "image/png"),
                     Attachment::from_url("https://x.test/cat.jpg"),
                     Attachment::from_bytes({'%'}, "application/pdf", "a.pdf"),
                     Attachment::from_bytes({'I', 'D'}, "audio/mpeg")}),
      Message::user(std::vector<inference::MessageContent>{"two", "texts"})};
  EXPECT_EQ(chat_request_body("gpt-x", messages, options, {}).dump(),
            R"({"model":"gpt-x","messages":[{"role":"system","content":"S"},)"
            R"({"role":"assistant","content":"A"},{"role":"user","content":[)"
            R"({"type":"text","text":"look"},)"
            R"({"type":"image_url","image_url":{"url":"data:image/png;base64,UE5H"}},)"
            R"({"type":"image_url","image_url":{"url":"https://x.test/cat.jpg"}},)"
            R"({"type":"file","file":{"file_data":"data:application/pdf;base64,JQ==",)"
            R"("filename":"a.pdf"}},{"type":"input_audio","input_audio":{"data":"SUQ=",)"
            R"("format":"mp3"}}]},{"role":"user","content":"two\ntexts"}],)"
            R"("temperature":0.2,"max_tokens":5})");

  options.hyperparameters = Value::object();
  options.response_schema = Value{{"title", "Verdict (v2)"}, {"type", "object"}};
  ChatRequestOptions request{.stream = true, .strict_schema = true};
  EXPECT_EQ(chat_request_body("m", {Message::user("q")}, options, request).dump(),
            R"({"model":"m","messages":[{"role":"user","content":"q"}],"stream":true,)"
            R"("response_format":{"type":"json_schema","json_schema":{"name":"Verdictv2",)"
            R"x("schema":{"title":"Verdict (v2)","type":"object"},"strict":true}}})x");
  options.response_schema = Value{{"type", "object"}};
  EXPECT_EQ(chat_request_body("m", {}, options, {})["response_format"]["json_schema"]["name"],
            "response");
}

TEST(ChatRequestTest, UnsupportedItemsAndReservedFieldsAreNamed) {
  EXPECT_EQ(value_error_of({Message::user("a"),
                            Message::user({"b", Attachment::from_bytes({1, 2, 3}, "video/mp4")})}),
            "Unsupported content for an OpenAI chat request: message 1, item 1 "
            "(Attachment(mime_type='video/mp4', size=3)): images (URL or bytes), PDF bytes and "
            "WAV or MP3 bytes are supported.");
  EXPECT_EQ(value_error_of({Message{.role = inference::MessageRole::SYSTEM,
                                    .contents = {Attachment::from_url("https://x.test/a.png")}}}),
            "Unsupported content for an OpenAI chat request: message 0, item 0 "
            "(Attachment(url='https://x.test/a.png', mime_type='')): only user messages may "
            "carry attachments.");
  EXPECT_EQ(value_error_of({}, Value{{"stream", false}}),
            "The hyperparameter 'stream' is set by the OpenAI invoker itself; leave it out.");
  EXPECT_EQ(value_error_of({}, Value{{"response_format", {{"type", "json_object"}}}}), "no error");
  EXPECT_EQ(
      value_error_of({}, Value{{"response_format", {{"type", "json_object"}}}}, Value::object()),
      "The hyperparameter 'response_format' is set by the OpenAI invoker itself; leave it out.");
}

TEST(ChatRequestTest, AnswersBecomeOutputs) {
  const Value answer =
      Value::parse(R"({"choices":[{"message":{"role":"assistant","content":"{\"ok\": true}",)"
                   R"("reasoning_content":"hmm"},"finish_reason":"stop"}]})");
  ChoicePart part = read_choice(answer, "message", "The answer", {});
  EXPECT_EQ(part.finish_reason, "stop");
  LMOutput output;
  finish_output(output, part.thinking.value_or(""), part.text, part.refusal, true, {},
                kMaxAnswerSize);
  EXPECT_EQ(output.texts(), std::vector<std::string>{"{\"ok\": true}"});
  EXPECT_EQ(output.thinkings(), std::vector<inference::Thinking>{{"hmm"}});
  EXPECT_EQ(output.structured_output(), (Value{{"ok", true}}));

  LMOutput plain;
  EXPECT_THROW(
      finish_output(plain, "", std::string("not json"), std::nullopt, true, {}, kMaxAnswerSize),
      core::RuntimeError);
  try {
    finish_output(plain, "", std::nullopt, std::string("I can't. sk-9-secret"), false,
                  net::Quoting("sk-9-secret"), kMaxAnswerSize);
    FAIL();
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "The model refused: I can't. ***");
  }
  EXPECT_TRUE(read_choice(Value{{"choices", Value::array()}}, "delta", "A chunk", {}).text ==
              std::nullopt);
  try {
    read_choice(Value{{"error", {{"message", "boom"}}}}, "delta", "A chunk", {});
    FAIL();
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "A chunk reports an error: boom");
  }
  EXPECT_THROW(read_choice(Value{{"id", "x"}}, "message", "The answer", {}), core::RuntimeError);
}

// The server's texts in these messages are shown through the client's
// policy: its key masked; a refusal whole, any other on one line within
// the policy's own limit.
TEST(ChatRequestTest, ServerTextsAreShownThroughTheClientsPolicy) {
  const net::Quoting quoting("sk-chat-KEY", 20);
  const std::string said = "no sk-chat-KEY\nhere " + std::string(40, 'z');
  LMOutput output;
  const struct {
    std::string name;
    std::function<void()> action;
    std::string expected;
  } rows[] = {
      {"a refusal",
       [&] { finish_output(output, "", std::nullopt, said, false, quoting, kMaxAnswerSize); },
       "The model refused: no ***\nhere " + std::string(40, 'z')},
      {"a structured answer that is not JSON",
       [&] { finish_output(output, "", said, std::nullopt, true, quoting, kMaxAnswerSize); },
       "The model's structured answer is not JSON: 'no *** here zzzzzzzz'..."},
      {"an error in the answer",
       [&] {
         read_choice(Value{{"error", {{"message", said}}}}, "delta", "A chunk", quoting);
       },
       "A chunk reports an error: no *** here zzzzzzzz..."},
      // Shown from the value parsed: a member that has no JSON text (bytes
      // that are not UTF-8) is never written out to be read again.
      {"an error beside a member that cannot be written",
       [&] {
         read_choice(Value{{"error", {{"message", said}}}, {"x", "\xff"}}, "delta", "A chunk",
                     quoting);
       },
       "A chunk reports an error: no *** here zzzzzzzz..."},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(net::testing::error_of<core::RuntimeError>(row.action), row.expected) << row.name;
  }
}

// A structured answer is parsed within the client's budget: past it, the
// answer is refused as over the limit, which no retry repeats; other
// faults stay ordinary errors. The text is kept either way.
TEST(ChatRequestTest, StructuredAnswersAreParsedWithinTheClientsBudget) {
  std::string items = "[\"\"";
  for (int i = 0; i < 10'000; ++i) items += ",\"\"";
  items += "]";
  const struct {
    std::string name;
    std::string text;
    std::size_t budget;
    std::string expected;  // the structured output's size, or the error
  } rows[] = {
      {"an object", R"({"ok": true})", 1 << 10, "1"},
      {"items within the budget", items, 1 << 20, "10001"},
      {"items over the budget", items, 1 << 16,
       "over the limit: The model's structured answer needs more than 65536 bytes of memory "
       "once parsed"},
      {"text that is not JSON", "{\"ok\"", 1 << 20,
       "The model's structured answer is not JSON: '{\"ok\"'."},
  };
  for (const auto& row : rows) {
    LMOutput output;
    std::string outcome;
    try {
      finish_output(output, "", row.text, std::nullopt, true, {}, row.budget);
      outcome = std::to_string(output.structured_output()->size());
    } catch (const core::RuntimeError& error) {
      const bool over = core::is_over_limit(std::current_exception());
      outcome = (over ? "over the limit: " : "") + std::string(error.what());
    }
    EXPECT_EQ(outcome, row.expected) << row.name;
    EXPECT_EQ(output.text(), row.text) << row.name;
  }
}

}  // namespace
}  // namespace zelq::providers::openai
