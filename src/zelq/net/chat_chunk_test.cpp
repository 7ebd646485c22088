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

// `count` copies of `item`, comma-separated.
std::string repeated(const std::string& item, std::size_t count) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) list += (i ? "," : "") + item;
  return list;
}

constexpr std::size_t kBudget = std::size_t{256} << 20;
constexpr std::size_t kKept = ChatChunkReader::kKeptStateBytes;

// The memory a reader holds follows what it reads: the usual state is kept
// while the stream reads, a state grown by an outsized chunk serves chunks
// of about its size and is gone at the next smaller one, and release()
// gives everything back.
TEST(ChatChunkReader, HoldsMemoryOnlyWhileReadingAndNeverOutsized) {
  ChatChunkReader reader(kBudget);
  EXPECT_EQ(reader.held(), 0u);
  struct Step {
    std::size_t size;
    bool outsized;  // the reader holds more than a thread keeps
  };
  const Step steps[] = {{200, false},      {2'000, false},    {kKept, true},  {300, false},
                        {kKept * 2, true}, {kKept * 2, true}, {100, false}};
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
    EXPECT_EQ(reader.held() > kKept, step.outsized);
  }
  reader.release();
  EXPECT_EQ(reader.held(), 0u);
}

// Whatever chunk a reader read last, what it gives back to its thread, and
// the next reader there takes, holds at most kKeptStateBytes: a large
// text, thousands of choices, a large field it does not use.
TEST(ChatChunkReader, AThreadKeepsASmallStateWhateverChunkCameLast) {
  const std::string last[] = {
      chunk_of(100),
      chunk_of(kKept * 16),
      R"({"choices":[)" + repeated("{}", 5'400) + "]}",
      R"({"choices":[{"delta":{"content":"a"}}],"pad":[)" + repeated(R"("")", 5'400) + "]}",
  };
  for (const std::string& chunk : last) {
    SCOPED_TRACE(chunk.substr(0, 40));
    std::thread([&chunk] {
      {
        ChatChunkReader first(kBudget);
        ASSERT_NE(first.read(chunk), nullptr);
      }  // gives its state back
      ChatChunkReader next(kBudget);
      ASSERT_NE(next.read(chunk_of(100)), nullptr);
      EXPECT_LE(next.held(), kKept);
      // A reader that fails keeps reading the next chunk.
      EXPECT_EQ(next.read(R"({"choices":[)" + std::string(600, '[')), nullptr);
      const ChatChunk* after = next.read(chunk_of(100, "ok"));
      ASSERT_NE(after, nullptr);
      EXPECT_EQ(after->choices[0].delta->content->substr(0, 2), "ok");
    }).join();
  }
}

// A read holds at most the reader's budget, counted as it builds: a chunk
// that would take more is not read (the caller's parse, held to the same
// budget, decides), whichever part would grow: the parser, a large field
// it does not use, the list of choices.
TEST(ChatChunkReader, AReadHoldsAtMostItsBudget) {
  constexpr std::size_t kSmall = std::size_t{256} << 10;
  struct Row {
    std::string chunk;
    std::size_t budget;
    bool read;
  };
  const std::string text = R"({"choices":[{"delta":{"content":")";
  const Row rows[] = {
      {chunk_of(8'000), kSmall, true},
      {chunk_of(40'000), kSmall, false},
      {text + std::string(12'000, 'a') + R"("}}]})", kSmall, true},
      {text + R"(a"}}],"pad":[)" + repeated(R"("")", 4'000) + "]}", kSmall, false},
      {R"({"choices":[)" + repeated("{}", 100) + "]}", kSmall, true},
      {R"({"choices":[)" + repeated("{}", 1'500) + "]}", kSmall, false},
      {R"({"choices":[)" + repeated("{}", 1'500) + "]}", kBudget, true},
      // Less than the usual state: nothing is read.
      {chunk_of(100), kKept - 1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.chunk.substr(0, 40) + " " + std::to_string(row.chunk.size()));
    ChatChunkReader reader(row.budget);
    EXPECT_EQ(reader.read(row.chunk) != nullptr, row.read);
    EXPECT_LE(reader.held(), row.budget);
  }
}

}  // namespace
}  // namespace zelq::net
