#include "zelq/inference/schema.hpp"

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"

namespace zelq::inference {
namespace {

using core::Value;

TEST(SchemaTest, ModelIdsAndProviders) {
  EXPECT_EQ(ModelId::from_string("openai/gpt-5-nano"),
            (ModelId{.provider = "openai", .name = "gpt-5-nano"}));
  EXPECT_EQ(ModelId::from_string("a/b/c").name, "b/c");
  EXPECT_EQ(std::string(to_string(ModelProvider::OPENAI)) + "/o4-mini-deep-research",
            "openai/o4-mini-deep-research");
  EXPECT_EQ(to_string(ModelProvider::GOOGLE), "google");
  EXPECT_THROW(ModelId::from_string("gpt"), core::ValueError);
  EXPECT_THROW(parse_model_provider("OpenAI"), core::ValueError);
  const AttachmentStore store{.provider = ModelProvider::GOOGLE, .id = "stores/1"};
  EXPECT_EQ(store.to_value().dump(), R"({"provider":"google","id":"stores/1"})");
  EXPECT_EQ(AttachmentStore::from_value(store.to_value()), store);
  EXPECT_THROW(AttachmentStore::from_value(Value{{"id", "x"}}), core::ValueError);
}

TEST(SchemaTest, NativeTools) {
  EXPECT_EQ(NativeTool::from_str_or_dict(NativeToolType::WEB_SEARCH).to_value().dump(),
            R"({"type":"web_search"})");
  EXPECT_EQ(NativeTool::from_str_or_dict("code_interpreter").type,
            NativeToolType::CODE_INTERPRETER);
  auto mcp = NativeTool::from_str_or_dict(
      Value{{"type", "mcp_server"}, {"name", "docs"}, {"url", "https://mcp.example"}});
  EXPECT_EQ(mcp.type, NativeToolType::MCP_SERVER);
  EXPECT_EQ(mcp.kwargs.dump(), R"({"name":"docs","url":"https://mcp.example"})");
  auto stores = NativeTool::data_store({{.provider = ModelProvider::GOOGLE, .id = "s1"}});
  EXPECT_EQ(stores.type, NativeToolType::DATA_STORE);
  EXPECT_EQ(stores.kwargs.dump(), R"({"data_stores":[{"provider":"google","id":"s1"}]})");
  try {
    NativeTool::from_str_or_dict("search");
    FAIL();
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "Unknown native tool type 'search'; valid types: 'mcp_server', 'data_store', "
                 "'code_interpreter', 'web_search'.");
  }
  EXPECT_THROW(NativeTool::from_str_or_dict(Value{{"name", "x"}}), core::ValueError);
  EXPECT_THROW(NativeTool::from_str_or_dict(Value(3)), core::ValueError);
}

TEST(SchemaTest, OutputsMessagesAndEvents) {
  LMOutput output;
  EXPECT_EQ(output.text(), "");
  output.add_text("Hello ");
  output.add_text(std::vector<std::string>{"big ", "world"});
  EXPECT_EQ(output.text(), "Hello big world");
  EXPECT_EQ(output.texts().size(), 3u);
  auto a = core::make_chunk("a"), b = core::make_chunk("b");
  output.add_citation(a);
  EXPECT_THROW(output.add_citation(std::vector<core::ChunkPtr>{b, nullptr}), core::ValueError);
  output.add_citation(std::vector<core::ChunkPtr>{b});
  EXPECT_EQ(output.citations(), (std::vector<core::ChunkPtr>{a, b}));

  EXPECT_EQ(MessageContent("it's").repr(), "\"it's\"");
  EXPECT_EQ(repr({"a", Attachment::from_bytes({1, 2, 3}, "image/png", "p.png"),
                  Attachment::from_url("https://x/y.pdf", "application/pdf")}),
            "['a', Attachment(filename='p.png', mime_type='image/png', size=3), "
            "Attachment(url='https://x/y.pdf', mime_type='application/pdf')]");
  EXPECT_THROW(MessageContent("t").attachment(), core::TypeError);

  EXPECT_EQ(ResponseEvent::start("i").to_value().dump(),
            R"({"id":"i","type":"response_start","value":"","level":"INFO"})");
  EXPECT_EQ(ThinkingEvent::content("i", "hm").type, "thinking");
  EXPECT_EQ(ThinkingEvent::end("i").type, "thinking_end");
  struct WebSearch : Activity {
    explicit WebSearch(Value sources) : Activity("web_search", {{"sources", std::move(sources)}}) {}
  };
  auto event = ActivityEvent::from_activity(WebSearch(Value::array({"s"})));
  EXPECT_EQ(event.type, "activity");
  EXPECT_EQ(event.id.size(), 36u);
  EXPECT_EQ(event.value.dump(), R"({"type":"web_search","sources":["s"]})");
  EXPECT_THROW(Activity("x", {{"type", "y"}}), core::ValueError);
  EXPECT_TRUE(StreamBuffer{}.id.empty());
}

}  // namespace
}  // namespace zelq::inference
