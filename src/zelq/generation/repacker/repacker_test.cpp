#include "zelq/generation/repacker/repacker.hpp"

#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/generation/repacker.hpp"

namespace zelq::generation::repacker {
namespace {

using core::ChunkPtr;
using core::make_chunk;

std::vector<ChunkPtr> chunks_of(std::initializer_list<const char*> contents) {
  std::vector<ChunkPtr> chunks;
  for (const char* content : contents) chunks.push_back(make_chunk(std::string(content)));
  return chunks;
}

std::vector<ChunkPtr> repack_list(const Ruzededo& repacker, std::vector<ChunkPtr> chunks) {
  return std::get<std::vector<ChunkPtr>>(core::run_sync(repacker.repack(std::move(chunks))));
}

std::string repack_text(const Ruzededo& repacker, std::vector<ChunkPtr> chunks) {
  return std::get<std::string>(core::run_sync(repacker.repack(std::move(chunks))));
}

// The what() of the ValueError a construction throws, and of its nested cause.
std::pair<std::string, std::string> construction_error(RuzededoOptions options) {
  try {
    Ruzededo repacker(std::move(options));
  } catch (const core::ValueError& error) {
    std::string cause = "<none>";
    try {
      std::rethrow_if_nested(error);
    } catch (const core::ValueError& nested) {
      cause = nested.what();
    }
    return {error.what(), cause};
  }
  return {"<no error>", ""};
}

// A size function that counts its calls.
struct CountingSize {
  int* calls;
  long long operator()(const core::Chunk& chunk) const {
    ++*calls;
    return default_size_func(chunk);
  }
};

TEST(RuzededoTest, DefaultsShareOneStrategyAndHandTheListThrough) {
  const Ruzededo repacker;
  EXPECT_EQ(repacker.method, RepackMethod::FORWARD);
  EXPECT_EQ(repacker.mode, RepackerMode::CHUNK);
  EXPECT_EQ(repacker.delimiter, "\n\n");
  EXPECT_FALSE(repacker.size_limit.has_value());
  EXPECT_EQ(repacker.strategy, Ruzededo().strategy);
  EXPECT_NE(repacker.strategy, Ruzededo({.method = "reverse"}).strategy);
  auto* const* target = repacker.size_func.target<long long (*)(const core::Chunk&) noexcept>();
  ASSERT_NE(target, nullptr);
  EXPECT_EQ(*target, &default_size_func);

  std::vector<ChunkPtr> input = chunks_of({"a", "b"});
  const std::vector<ChunkPtr> expected = input;
  const ChunkPtr* storage = input.data();
  const std::vector<ChunkPtr> output = repack_list(repacker, std::move(input));
  EXPECT_EQ(output, expected);
  EXPECT_EQ(output.data(), storage) << "forward without a limit must not copy the list";

  EXPECT_EQ(to_string(RepackMethod::SIDES), "sides");
  EXPECT_EQ(to_string(RepackerMode::CONTEXT), "context");
  EXPECT_EQ(default_size_func(*make_chunk(std::string("h\xC3\xA9llo \xF0\x9F\x98\x80"))), 7);
  EXPECT_EQ(default_size_func(*make_chunk(core::Bytes{0xC3, 0xA9, 0x00})), 3);
}

TEST(RuzededoTest, OptionsMatchInAnyLetterCaseAndBadOnesNameTheValueAsPassed) {
  const auto* sides = Ruzededo({.method = "sides"}).strategy;
  for (const char* spelling : {"SIDES", "Sides", "sides"}) {
    const Ruzededo repacker({.method = spelling, .mode = "CoNtExT"});
    EXPECT_EQ(repacker.method, RepackMethod::SIDES) << spelling;
    EXPECT_EQ(repacker.strategy, sides) << spelling;
    EXPECT_EQ(repacker.mode, RepackerMode::CONTEXT);
  }
  // The Kelvin sign lower-cases to "k", so this spells "chunk".
  EXPECT_EQ(Ruzededo({.mode = "CHUN\u212A"}).mode, RepackerMode::CHUNK);

  EXPECT_EQ(construction_error({.method = "Middle"}),
            std::make_pair(std::string("Invalid repack method: Middle. Valid options are: forward, "
                                       "reverse, sides"),
                           std::string("'middle' is not a valid RepackMethod")));
  EXPECT_EQ(construction_error({.method = " sides"}).first,
            "Invalid repack method:  sides. Valid options are: forward, reverse, sides");
  EXPECT_EQ(construction_error({.mode = "Chunks"}),
            std::make_pair(
                std::string("Invalid repacker mode: Chunks. Valid options are: chunk, context"),
                std::string("'chunks' is not a valid RepackerMode")));
  // The method is checked before the mode.
  EXPECT_EQ(construction_error({.method = "x", .mode = "y"}).first,
            "Invalid repack method: x. Valid options are: forward, reverse, sides");
}

TEST(RuzededoTest, SizeLimitMustBePositiveAndIsCheckedFirst) {
  const std::string message = "The size limit must be a positive integer.";
  EXPECT_EQ(construction_error({.method = "middle", .size_limit = 0}),
            std::make_pair(message, std::string("<none>")));
  EXPECT_EQ(construction_error({.size_limit = -5}).first, message);
  EXPECT_EQ(Ruzededo({.size_limit = 1}).size_limit, 1);
}

TEST(RuzededoTest, SizeLimitTrimsTheInputOrderAndCallsTheSizeFunctionSparingly) {
  int calls = 0;
  const SizeFunc counting = CountingSize{&calls};

  // Lengths 4, 3, 5 with limit 8: the last input chunk goes, then the rest
  // is reversed. One call per chunk plus one for the removed chunk.
  std::vector<ChunkPtr> input = chunks_of({"aaaa", "bbb", "ccccc"});
  const Ruzededo reverse({.method = "reverse", .size_func = counting, .size_limit = 8});
  EXPECT_EQ(repack_list(reverse, input), (std::vector<ChunkPtr>{input[1], input[0]}));
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(input.size(), 3u) << "the caller's list is left alone";

  // A total equal to the limit is kept; the first chunk is always kept.
  calls = 0;
  const std::vector<ChunkPtr> ten_two = chunks_of({"0123456789", "ab"});
  EXPECT_EQ(repack_list(Ruzededo({.size_func = counting, .size_limit = 12}), ten_two), ten_two);
  EXPECT_EQ(calls, 2);
  calls = 0;
  EXPECT_EQ(repack_list(Ruzededo({.size_func = counting, .size_limit = 8}), ten_two),
            std::vector<ChunkPtr>{ten_two[0]});
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(repack_list(Ruzededo({.size_limit = 3}), {ten_two[0]}),
            std::vector<ChunkPtr>{ten_two[0]});

  // No limit, or no chunks: the size function is never called.
  calls = 0;
  repack_list(Ruzededo({.size_func = counting}), input);
  EXPECT_TRUE(repack_list(Ruzededo({.size_func = counting, .size_limit = 5}), {}).empty());
  EXPECT_EQ(repack_text(Ruzededo({.mode = "context", .size_func = counting, .size_limit = 5}), {}),
            "");
  EXPECT_EQ(calls, 0);

  // Sizes whose sum leaves the 64-bit range are still compared exactly.
  const SizeFunc huge = [](const core::Chunk&) { return std::numeric_limits<long long>::max(); };
  EXPECT_EQ(repack_list(Ruzededo({.size_func = huge, .size_limit = huge(*input[0])}), input),
            std::vector<ChunkPtr>{input[0]});

  // The size function's errors propagate unchanged.
  const SizeFunc failing = [](const core::Chunk&) -> long long {
    throw std::domain_error("cannot measure");
  };
  EXPECT_THROW(
      {
        try {
          repack_list(Ruzededo({.size_func = failing, .size_limit = 5}), input);
        } catch (const std::domain_error& error) {
          EXPECT_STREQ(error.what(), "cannot measure");
          throw;
        }
      },
      std::domain_error);
}

TEST(RuzededoTest, ContextModeJoinsContentsWithTheDelimiter) {
  const std::vector<ChunkPtr> three = chunks_of({"one", "two", "three"});
  EXPECT_EQ(repack_text(Ruzededo({.mode = "context"}), three), "one\n\ntwo\n\nthree");
  EXPECT_EQ(repack_text(Ruzededo({.mode = "context", .delimiter = ""}), three), "onetwothree");
  EXPECT_EQ(repack_text(Ruzededo({.method = "sides", .mode = "context", .delimiter = "|"}), three),
            "one|three|two");
  EXPECT_EQ(repack_text(Ruzededo({.mode = "context"}), {three[0]}), "one");

  const std::vector<ChunkPtr> mixed = {make_chunk(core::Bytes{'x', 'y'}), three[0],
                                       make_chunk(core::Bytes{'\'', 0x00})};
  EXPECT_EQ(repack_text(Ruzededo({.mode = "context", .delimiter = "/"}), mixed),
            "b'xy'/one/b\"'\\x00\"");
}

TEST(RuzededoTest, NullChunkIsRejectedBeforeAnyWork) {
  int calls = 0;
  const Ruzededo repacker({.size_func = CountingSize{&calls}, .size_limit = 1});
  std::vector<ChunkPtr> input = chunks_of({"aaaa", "bbb"});
  input.insert(input.begin() + 1, nullptr);
  try {
    repack_list(repacker, input);
    FAIL() << "expected ValueError";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "The input kwargs must include a 'chunks' key of type list[Chunk].");
  }
  EXPECT_EQ(calls, 0);
}

class MyRepacker : public Ruzededo {
 public:
  using Ruzededo::Ruzededo;
  std::string class_name() const override { return "MyRepacker"; }
};

TEST(RuzededoTest, HookTextsAreLoggedAroundEachCall) {
  core::LogCapture capture;
  const std::vector<ChunkPtr> chunks = chunks_of({"one", "two", "three"});
  const auto messages = [&](std::string_view logger) {
    auto lines = capture.messages(logger, core::LogLevel::debug);
    capture.clear();
    return lines;
  };

  repack_text(Ruzededo({.mode = "context", .size_limit = 6}), chunks);
  EXPECT_EQ(messages("Ruzededo"),
            (std::vector<std::string>{
                "[Start 'Ruzededo'] Repacking 3 chunks.",
                "[Finished 'Ruzededo'] Successfully repacked chunks:\n'one\\n\\ntwo'"}));

  repack_list(Ruzededo({.method = "reverse"}), {chunks[0], chunks[1]});
  EXPECT_EQ(messages("Ruzededo"),
            (std::vector<std::string>{"[Start 'Ruzededo'] Repacking 2 chunks.",
                                      "[Finished 'Ruzededo'] Successfully repacked chunks:" +
                                          core::format_chunk_for_logging(*chunks[1], 1) +
                                          core::format_chunk_for_logging(*chunks[0], 2)}));

  repack_list(Ruzededo(), {});
  EXPECT_EQ(messages("Ruzededo"),
            (std::vector<std::string>{"[Start 'Ruzededo'] Repacking 0 chunks.",
                                      "[Finished 'Ruzededo'] Successfully repacked chunks:"}));

  repack_list(MyRepacker(), {chunks[2]});
  EXPECT_EQ(messages("MyRepacker"),
            (std::vector<std::string>{"[Start 'MyRepacker'] Repacking 1 chunks.",
                                      "[Finished 'MyRepacker'] Successfully repacked chunks:" +
                                          core::format_chunk_for_logging(*chunks[2], 1)}));

  // A rejected call logs nothing.
  EXPECT_THROW(repack_list(Ruzededo(), {nullptr}), core::ValueError);
  EXPECT_TRUE(capture.lines().empty());

  // Metadata as deep as Python prints (600 levels) is logged like any other.
  core::Value deep = 1;
  for (int i = 0; i < 600; ++i) deep = core::Value::array({std::move(deep)});
  const std::vector<ChunkPtr> nested{core::make_chunk("deep", core::Value{{"k", deep}})};
  EXPECT_EQ(repack_list(Ruzededo(), nested), nested);
  EXPECT_EQ(messages("Ruzededo"),
            (std::vector<std::string>{"[Start 'Ruzededo'] Repacking 1 chunks.",
                                      "[Finished 'Ruzededo'] Successfully repacked chunks:" +
                                          core::format_chunk_for_logging(*nested[0], 1)}));
}

}  // namespace
}  // namespace zelq::generation::repacker
