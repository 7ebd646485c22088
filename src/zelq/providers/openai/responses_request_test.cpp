#include "zelq/providers/openai/responses_request.hpp"

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"

namespace zelq::providers::openai {
namespace {

using core::Value;
using inference::Attachment;
using inference::Message;
using inference::NativeTool;
using inference::NativeToolType;
using ::testing::HasSubstr;

std::string value_error(const std::function<void()>& action) {
  try {
    action();
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "no error";
}

TEST(ResponsesRequestTest, MapsNativeToolsToResponsesTools) {
  const Value tools = {
      "web_search",
      {{"type", "web_search"}, {"search_context_size", "high"}},
      {{"type", "code_interpreter"}, {"extra_params", {{"container", "cntr_1"}}}},
      {{"type", "mcp_server"},
       {"name", "files"},
       {"url", "https://mcp.example/sse"},
       {"allowed_tools", {"read"}},
       {"extra_params", {{"headers", {{"X-Team", "a"}}}}}},
      {{"type", "data_store"},
       {"data_stores", {{{"provider", "openai"}, {"id", "vs_1"}}}}}};
  const ResponsesSettings settings = ResponsesSettings::from_config({{"tools", tools}});
  EXPECT_EQ(settings.tools.dump(),
            R"([{"type":"web_search_preview"},)"
            R"({"type":"web_search_preview","search_context_size":"high"},)"
            R"({"type":"code_interpreter","container":"cntr_1"},)"
            R"({"type":"mcp","server_label":"files","server_url":"https://mcp.example/sse",)"
            R"("require_approval":"never","allowed_tools":["read"],"headers":{"X-Team":"a"}},)"
            R"({"type":"file_search","vector_store_ids":["vs_1"]}])");
  EXPECT_FALSE(settings.thinking);
  EXPECT_FALSE(settings.retry_config.has_value());
  EXPECT_TRUE(uses_responses_api("gpt-4o", settings));
  EXPECT_TRUE(uses_responses_api("o3-deep-research-2025-06-26", ResponsesSettings{}));
  EXPECT_FALSE(uses_responses_api("gpt-4o", ResponsesSettings{}));

  EXPECT_EQ(value_error([] {
              ResponsesSettings::from_config({{"tools", {{{"type", "mcp_server"}, {"url", "u"}}}}});
            }),
            "Invalid OpenAI setting 'tools': item 0 ({'type': 'mcp_server', 'url': 'u'}) is not a "
            "usable native tool: An MCP server tool needs 'name' as a non-empty text, got the "
            "settings {'url': 'u'}.");
  EXPECT_THAT(value_error([] { ResponsesSettings::from_config({{"tools", {"telepathy"}}}); }),
              HasSubstr("item 0 ('telepathy') is not a usable native tool"));
  EXPECT_THAT(value_error([] { ResponsesSettings::from_config({{"tools", "web_search"}}); }),
              HasSubstr("expected a list of native tools, got 'web_search'"));
  EXPECT_EQ(value_error([] { ResponsesSettings::from_config({{"thinking", "yes"}}); }),
            "Invalid OpenAI setting 'thinking': expected a bool, got 'yes'.");
  EXPECT_THAT(value_error([] { ResponsesSettings::from_config({{"retry_config", {{"x", 1}}}}); }),
              HasSubstr("Invalid OpenAI setting 'retry_config': Unknown retry_config entry 'x'"));
}

TEST(ResponsesRequestTest, BuildsInstructionsAndInput) {
  const std::vector<Message> messages = {
      Message::system("Be brief."), Message::system(""), Message::assistant("Earlier answer"),
      Message::user({"Look at", Attachment::from_url("https://x/bee.png"),
                     Attachment::from_bytes({'%', 'P'}, "application/pdf", "a.pdf"),
                     Attachment::from_url("https://x/paper.pdf", "application/pdf")})};
  std::string instructions;
  const Value input = responses_input(messages, instructions);
  EXPECT_EQ(instructions, "Be brief.");
  EXPECT_EQ(
      input.dump(),
      R"([{"role":"assistant","content":"Earlier answer"},{"role":"user","content":[)"
      R"({"type":"input_text","text":"Look at"},)"
      R"({"type":"input_image","image_url":"https://x/bee.png"},)"
      R"({"type":"input_file","filename":"a.pdf","file_data":"data:application/pdf;base64,JVA="},)"
      R"({"type":"input_file","file_url":"https://x/paper.pdf"}]}])");
  EXPECT_THAT(value_error([] {
                std::string ignored;
                responses_input({Message::user({Attachment::from_bytes({'x'}, "audio/ogg")})},
                                ignored);
              }),
              HasSubstr("message 0, item 0"));
}

TEST(ResponsesRequestTest, LaysHyperparametersOverTheSettings) {
  ResponsesSettings settings = ResponsesSettings::from_config(
      {{"tools", {"web_search"}}, {"thinking", true}, {"retry_config", {{"max_retries", 1}}}});
  const std::vector<Message> messages = {Message::user("q")};
  ResponsesCall plain = responses_call("o3-deep-research", messages, nullptr, settings);
  EXPECT_EQ(plain.body.dump(),
            R"({"model":"o3-deep-research","input":[{"role":"user","content":"q"}],)"
            R"("tools":[{"type":"web_search_preview"}],"reasoning":{"summary":"auto"},)"
            R"("background":true,"stream":true})");
  ASSERT_TRUE(plain.retry_config.has_value());
  EXPECT_EQ(plain.retry_config->max_retries, 1);

  const Value hyper = {{"metadata", {{"run", "7"}}},
                       {"thinking", false},
                       {"reasoning", {{"effort", "low"}}},
                       {"tools", {{{"type", "web_search_preview"}, {"user_location", "x"}}}},
                       {"timeout", 5},
                       {"instructions", "Cite."}};
  ResponsesCall call = responses_call("o3-deep-research", messages, hyper, settings);
  EXPECT_EQ(call.body.dump(),
            R"({"model":"o3-deep-research","input":[{"role":"user","content":"q"}],)"
            R"("tools":[{"type":"web_search_preview","user_location":"x"}],)"
            R"("metadata":{"run":"7"},"reasoning":{"effort":"low"},"instructions":"Cite.",)"
            R"("background":true,"stream":true})");
  EXPECT_EQ(call.retry_config->timeout, 5.0);
  EXPECT_EQ(call.retry_config->max_retries, 1);
  EXPECT_EQ(settings.tools.size(), 1u);  // the settings are not changed

  for (const char* key : {"model", "input", "background", "stream"}) {
    EXPECT_EQ(value_error([&] { responses_call("m", messages, {{key, 1}}, settings); }),
              std::string("The hyperparameter '") + key +
                  "' is set by the OpenAI invoker itself; leave it out.");
  }
  EXPECT_THAT(value_error([&] { responses_call("m", messages, {{"timeout", -1}}, settings); }),
              HasSubstr("'timeout': expected a number of seconds > 0 or null, got -1"));
}

}  // namespace
}  // namespace zelq::providers::openai
