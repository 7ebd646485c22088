#include "zelq/core/chunk.hpp"

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/uuid.hpp"

namespace zelq::core {
namespace {

TEST(Chunk, TextAndBytesContentsAndTheirDump) {
  ChunkPtr text = make_chunk("hello", Value{{"k", 1}}, 0.25);
  EXPECT_TRUE(text->is_text());
  EXPECT_EQ(text->text(), "hello");
  EXPECT_THROW(text->bytes(), TypeError);
  EXPECT_EQ(
      text->model_dump(),
      (Value{{"id", text->id}, {"content", "hello"}, {"metadata", {{"k", 1}}}, {"score", 0.25}}));

  ChunkPtr bytes = make_chunk(Bytes{1, 2}, nullptr);
  EXPECT_FALSE(bytes->is_text());
  EXPECT_THROW(bytes->text(), TypeError);
  EXPECT_TRUE(bytes->metadata.is_object());
  const Value dump = bytes->model_dump();
  EXPECT_TRUE(dump["content"].is_binary());
  EXPECT_EQ(static_cast<const Bytes&>(dump["content"].get_binary()), (Bytes{1, 2}));
  EXPECT_TRUE(dump["score"].is_null());
}

TEST(Uuid, FreshLowerCaseVersion4TextsFromManyThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[t].push_back(new_uuid());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::regex v4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (const auto& ids : made) {
    for (const auto& id : ids) {
      EXPECT_TRUE(std::regex_match(id, v4)) << id;
      seen.insert(id);
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_NE(Chunk().id, Chunk().id);
}

}  // namespace
}  // namespace zelq::core
