#include "zelq/net/chat_chunk.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace zelq::net {
namespace {

// A plain chunk of `size` bytes (at least 60): its delta's text, `mark` and
// then letters, fills it.
std::string chunk_of(std::size_t size, const std::string& mark = "x") {
  const std::string head = R"({"choices":[{"index":0,"delta":{"content":")" + mark;
  const std::string tail = R"("}}]})";
  return head + std::string(size - head.size() - tail.size(), 'a') + tail;
}

// The parser memory a reader holds follows what it reads: the usual size is
// kept while the stream reads, capacity grown by an outsized chunk is gone
// at the next read, and release() gives everything back. A parser given
// back on a thread is never one an outsized chunk grew.
TEST(ChatChunkReader, HoldsParserMemoryOnlyWhileReadingAndNeverOutsized) {
  constexpr std::size_t kKept = ChatChunkReader::kKeptChunkSize;
  ChatChunkReader reader;
  EXPECT_EQ(reader.capacity(), 0u);
  struct Step {
    std::size_t size;
    bool grows;  // the read needs more than the kept capacity
  };
  const Step steps[] = {{200, false},      {kKept, false},    {kKept + 1, true}, {300, false},
                        {kKept * 8, true}, {kKept * 8, true}, {100, false}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.size);
    const std::string data = chunk_of(step.size, std::to_string(step.size));
    const ChatChunk* chunk = reader.read(data);
    ASSERT_NE(chunk, nullptr);
    ASSERT_EQ(chunk->choices.size(), 1u);
    ASSERT_TRUE(chunk->choices[0].delta && chunk->choices[0].delta->content);
    EXPECT_EQ(chunk->choices[0].delta->content->substr(0, std::to_string(step.size).size()),
              std::to_string(step.size));
    EXPECT_GE(reader.capacity(), data.size());
    EXPECT_EQ(reader.capacity() > kKept, step.grows);
  }
  reader.release();
  EXPECT_EQ(reader.capacity(), 0u);

  // What one reader on a thread gives back, the next one takes: never the
  // capacity of an outsized chunk.
  std::thread([kKept] {
    {
      ChatChunkReader big;
      ASSERT_NE(big.read(chunk_of(kKept * 16)), nullptr);
      EXPECT_GE(big.capacity(), kKept * 16);
    }  // destroyed holding its outsized parser
    ChatChunkReader next;
    ASSERT_NE(next.read(chunk_of(100)), nullptr);
    EXPECT_LE(next.capacity(), kKept);
    // A reader that fails keeps reading the next chunk.
    EXPECT_EQ(next.read(R"({"choices":[)" + std::string(600, '[')), nullptr);
    const ChatChunk* after = next.read(chunk_of(100, "ok"));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->choices[0].delta->content->substr(0, 2), "ok");
  }).join();
}

}  // namespace
}  // namespace zelq::net
