#include "zelq/providers/openai/detail/chunk_reader.hpp"

#include <gtest/gtest.h>

#include <string>

#include "zelq/core/value.hpp"

namespace zelq::providers::openai {
namespace {

using core::Value;

bool same(const ChoicePart& a, const ChoicePart& b) {
  return a.text == b.text && a.thinking == b.thinking && a.refusal == b.refusal &&
         a.finish_reason == b.finish_reason;
}

TEST(ChunkReaderTest, PlainChunksReadAsReadChoiceDoes) {
  const std::string chunks[] = {
      R"({"id":"c","choices":[{"index":0,"delta":{"role":"assistant","content":"Hi \"x\"\n\u00e9"}}]})",
      R"({"choices":[{"delta":{"reasoning":"r1","reasoning_content":"r2"},"finish_reason":null}]})",
      R"({"choices":[{"delta":{"reasoning":"only"}},{"delta":{"content":"second"}}]})",
      R"({"choices":[{"delta":{"refusal":"no","content":null},"finish_reason":"stop"}]})",
      R"({"choices":[{"index":0,"delta":{}}],"usage":{"total_tokens":5}})",
      R"({"choices":[]})",
      R"({"choices":[{"finish_reason":"length"}]})",
      R"({"object":"chunk"})",
  };
  for (const auto& chunk : chunks) {
    auto fast = read_chunk_fast(chunk);
    ASSERT_TRUE(fast.has_value()) << chunk;
    EXPECT_TRUE(same(*fast, read_choice(Value::parse(chunk), "delta", "chunk", ""))) << chunk;
  }
  EXPECT_EQ(read_chunk_fast(chunks[0])->text, "Hi \"x\"\n\xC3\xA9");
  EXPECT_EQ(read_chunk_fast(chunks[1])->thinking, "r2");
}

TEST(ChunkReaderTest, AnythingUnusualTakesTheFullPath) {
  for (const std::string chunk :
       {"not json", "[1]", R"({"error":{"message":"boom"}})",
        R"({"choices":[{"delta":{"content":"a"}}]} trailing)",
        R"({"choices":[{"delta":{"content":5}}]})", R"({"choices":[{"delta":{"content":"a"})",
        R"({"choices":[7]})", "",
        // A repeated key: the full parse keeps the last value.
        R"({"choices":[{"delta":{"content":"a"}}],"choices":[{}]})",
        R"({"choices":[{"delta":{"content":"a"},"delta":{}}]})",
        R"({"choices":[{"finish_reason":"stop","finish_reason":null}]})",
        R"({"choices":[{"delta":{"content":"a","content":null}}]})"}) {
    EXPECT_FALSE(read_chunk_fast(chunk).has_value()) << chunk;
  }
}

}  // namespace
}  // namespace zelq::providers::openai
