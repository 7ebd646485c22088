#include "zelq/providers/openai/detail/chunk_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      R"({"id":"c","choices":[{"index":0,"delta":{"role":"assistant",)"
      R"("content":"Hi \"x\"\n\u00e9"}}]})",
      R"({"choices":[{"delta":{"reasoning":"r1","reasoning_content":"r2"},"finish_reason":null}]})",
      R"({"choices":[{"delta":{"reasoning":"only"}},{"delta":{"content":"second"}}]})",
      R"({"choices":[{"delta":{"refusal":"no","content":null},"finish_reason":"stop"}]})",
      R"({"choices":[{"index":0,"delta":{}}],"usage":{"total_tokens":5}})",
      R"({"choices":[]})",
      R"({"choices":[{"finish_reason":"length"}]})",
      R"({"object":"chunk"})",
      // Keys are compared as they stand unless they hold an escape.
      R"({"choices":[{"\u0064elta":{"con\u0074ent":"esc","re\"fusal":"x"}}]})",
      // White space around the colons, in a chunk with no escape and in one with.
      "{ \"choices\" :\t[ {\"\" : 1 ,\"delta\"\n:\r\n{\"content\"  :  \"sp\" } } ] }",
      "{ \"choices\" :\t[ {\"\" : 1 ,\"delta\"\n:\r\n{\"content\"  :  \"s\\np\" } } ] }",
  };
  for (const auto& chunk : chunks) {
    auto fast = read_chunk_fast(chunk);
    ASSERT_TRUE(fast.has_value()) << chunk;
    EXPECT_TRUE(same(*fast, read_choice(Value::parse(chunk), "delta", "chunk", {}))) << chunk;
  }
  EXPECT_EQ(read_chunk_fast(chunks[0])->text, "Hi \"x\"\n\xC3\xA9");
  EXPECT_EQ(read_chunk_fast(chunks[1])->thinking, "r2");
  EXPECT_EQ(read_chunk_fast(chunks[8])->text, "esc");
  EXPECT_EQ(read_chunk_fast(chunks[9])->text, "sp");
  EXPECT_EQ(read_chunk_fast(chunks[10])->text, "s\np");
}

// A whole answer: plain ones are read as read_choice reads their
// "message"; any other, and one without a message to read, takes the full
// path, which names what is wrong.
TEST(ChunkReaderTest, PlainAnswersReadAsReadChoiceDoesAndOthersTakeTheFullPath) {
  const std::string plain[] = {
      R"({"id":"chatcmpl-1","object":"chat.completion","created":1700000000,"model":"m",)"
      R"("choices":[{"index":0,"message":{"role":"assistant","content":"Hi \"x\"\n\u00e9",)"
      R"("refusal":null,"annotations":[]},"logprobs":null,"finish_reason":"stop"}],)"
      R"("usage":{"prompt_tokens":5,"completion_tokens":2,"details":{"cached":0}},)"
      R"("system_fingerprint":"fp_1"})",
      R"({"choices":[{"message":{"reasoning":"r1","reasoning_content":"r2","content":"a"}}]})",
      R"({"choices":[{"message":{"reasoning_content":null,"reasoning":"r"}},{"message":null}]})",
      R"({"choices":[{"message":{"refusal":"no","content":null},)"
      R"("finish_reason":"content_filter"}]})",
      R"({"choices":[{"message":{}, "delta":{"content":"not the answer"}}]})",
  };
  for (const auto& answer : plain) {
    const std::optional<ChoicePart> fast = read_answer_fast(answer, kMaxAnswerSize);
    ASSERT_TRUE(fast.has_value()) << answer;
    EXPECT_TRUE(same(*fast, read_choice(Value::parse(answer), "message", "answer", {}))) << answer;
  }
  EXPECT_EQ(read_answer_fast(plain[0], kMaxAnswerSize)->text, "Hi \"x\"\n\xC3\xA9");
  EXPECT_EQ(read_answer_fast(plain[1], kMaxAnswerSize)->thinking, "r2");
  EXPECT_FALSE(read_answer_fast(plain[4], kMaxAnswerSize)->text.has_value());

  const std::string others[] = {
      "not json",
      "[1]",
      "{}",
      R"({"choices":[]})",
      R"({"choices":[{"finish_reason":"stop"}]})",
      R"({"choices":[{"message":null}]})",
      R"({"choices":[{"message":"text"}]})",
      R"({"choices":[7]})",
      R"({"choices":[{"message":{"content":"a"}},{"message":5}]})",
      R"({"choices":[{"message":{"content":5}}]})",
      R"({"error":{"message":"boom"},"choices":[{"message":{"content":"a"}}]})",
      R"({"error":null,"choices":[{"message":{"content":"a"}}]})",
      R"({"choices":[{"message":{"content":"a","content":"b"}}]})",
      R"({"choices":[{"message":{"content":"a"}}]} trailing)",
      // A streamed chunk is no whole answer.
      R"({"choices":[{"delta":{"content":"a"}}]})",
  };
  for (const auto& answer : others) {
    EXPECT_FALSE(read_answer_fast(answer, kMaxAnswerSize).has_value()) << answer;
  }

  // A plain answer whose reading would hold more than the client's budget
  // is left to the parse, which is held to the same budget.
  std::string padded = R"({"choices":[{"message":{"content":"hi"}}],"pad":[)";
  for (int i = 0; i < 40'000; ++i) padded += R"("",)";
  padded += R"(""]})";
  EXPECT_EQ(read_answer_fast(padded, kMaxAnswerSize)->text, "hi");
  EXPECT_FALSE(read_answer_fast(padded, std::size_t{1} << 20).has_value());
}

TEST(ChunkReaderTest, APartReadIntoAgainKeepsNothingOfTheChunkBefore) {
  ChoicePart part;
  ASSERT_TRUE(read_chunk_fast(
      R"({"choices":[{"delta":{"content":"a","reasoning":"r"},"finish_reason":"stop"}]})", part));
  ASSERT_TRUE(read_chunk_fast(R"({"choices":[{"delta":{"refusal":"no"}}]})", part));
  EXPECT_FALSE(part.text || part.thinking || part.finish_reason);
  EXPECT_EQ(part.refusal, "no");
  ASSERT_TRUE(read_chunk_fast(R"({"choices":[]})", part));
  EXPECT_FALSE(part.text || part.thinking || part.refusal || part.finish_reason);
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
        R"({"choices":[{"delta":{"content":"a","content":null}}]})",
        R"({"choices":[{"delta":{"content":"a","\u0063ontent":"b"}}]})"}) {
    EXPECT_FALSE(read_chunk_fast(chunk).has_value()) << chunk;
  }
}

// The fast reader passes over fields it does not use; it must still read
// them as JSON, so that it never accepts a chunk the full parse rejects.
TEST(ChunkReaderTest, InvalidJsonInFieldsItSkipsTakesTheFullPath) {
  const std::string delta = R"("delta":{"content":"a"})";
  for (const std::string& chunk : std::vector<std::string>{
           R"({"x":[1 2 3],"choices":[{)" + delta + "}]}",
           R"({"x":tru,"choices":[{)" + delta + "}]}",
           // A skipped text followed by ':' is not a key.
           R"({"x":"a":"b","choices":[{)" + delta + "}]}",
           R"({"choices":[{"index":01,)" + delta + "}]}",
           R"({"choices":[{"logprobs":nul,)" + delta + "}]}",
           R"({"choices":[{"delta":{"role":"\q","content":"a"}}]})",
           R"({"choices":[{"delta":{"content":nul}}]})",
           R"({"choices":[{"finish_reason":nulx,)" + delta + "}]}",
           R"({"choices":[{)" + delta + R"(}],"usage":{"a":-}})",
           R"({"choices":[{)" + delta + R"(}],"search_results":[{"a":[1,]}]})",
           // A bad escape in a key, or in the chunk's last text, and nowhere else.
           R"({"\q":1,"choices":[{)" + delta + "}]}",
           R"({"choices":[{)" + delta + R"(}],"x":"ab\q"})",
       }) {
    EXPECT_FALSE(read_chunk_fast(chunk).has_value()) << chunk;
  }
  // Valid fields it skips keep the fast path.
  const std::string skipped =
      R"({"x":[1,-2.5e3,{"a":true,"b":false,"c":null,"d":"\u00e9\n"}],"choices":[{"index":0,)" +
      delta + R"(,"logprobs":null}],"usage":{}})";
  ASSERT_TRUE(read_chunk_fast(skipped).has_value());
  EXPECT_EQ(read_chunk_fast(skipped)->text, "a");
}

TEST(ChunkReaderTest, NestingBeyond512LevelsTakesTheFullPath) {
  // `levels` arrays in all, the chunk's own object and list counted, with
  // the nest in a field of the chunk, of a choice or of a delta.
  auto nested = [](std::size_t levels, std::size_t around) {
    return std::string(levels - around, '[') + std::string(levels - around, ']');
  };
  for (std::size_t levels : {512u, 513u}) {
    const std::string chunks[] = {
        R"({"x":)" + nested(levels, 1) + R"(,"choices":[{"delta":{"content":"a"}}]})",
        R"({"choices":[{"x":)" + nested(levels, 3) + R"(,"delta":{"content":"a"}}]})",
        R"({"choices":[{"delta":{"x":)" + nested(levels, 4) + R"(,"content":"a"}}]})",
    };
    for (const auto& chunk : chunks) {
      EXPECT_EQ(read_chunk_fast(chunk).has_value(), levels == 512) << levels << " " << chunk;
    }
  }
}

}  // namespace
}  // namespace zelq::providers::openai
