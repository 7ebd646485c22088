#include "zelq/core/utils.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"

namespace zelq::core {
namespace {

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(BinaryHandlers, EncodeAsPythonDoes) {
  // Expected texts from base64.b64encode(b).decode() and b.hex().
  const std::vector<std::tuple<Bytes, std::string, std::string>> cases = {
      {bytes_of(""), "", ""},
      {bytes_of("f"), "Zg==", "66"},
      {bytes_of("fo"), "Zm8=", "666f"},
      {bytes_of("foo"), "Zm9v", "666f6f"},
      {bytes_of("foob"), "Zm9vYg==", "666f6f62"},
      {bytes_of("foobar"), "Zm9vYmFy", "666f6f626172"},
      {Bytes{0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff}, "+vv8/f7/", "fafbfcfdfeff"},
  };
  const auto base64 = binary_handler_factory(BinaryHandlingStrategy::BASE64);
  const auto hex = binary_handler_factory(BinaryHandlingStrategy::HEX);
  const auto none = binary_handler_factory(BinaryHandlingStrategy::NONE);
  for (const auto& [input, b64, hx] : cases) {
    EXPECT_EQ(base64(input), b64);
    EXPECT_EQ(hex(input), hx);
    EXPECT_EQ(none(input), std::nullopt);
  }
  EXPECT_EQ(parse_binary_handling_strategy("HEX"), BinaryHandlingStrategy::HEX);
  try {
    parse_binary_handling_strategy("b64");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid binary handling strategy: b64. Valid options are: base64, hex, none");
  }
}

TEST(Cosine, ScoresInOrderNaNForZeroAndDimensionErrors) {
  const auto scores = cosine({1, 0}, {{1, 0}, {0, 2}, {-3, 0}, {1, 1}, {0, 0}});
  ASSERT_EQ(scores.size(), 5u);
  EXPECT_DOUBLE_EQ(scores[0], 1.0);
  EXPECT_DOUBLE_EQ(scores[1], 0.0);
  EXPECT_DOUBLE_EQ(scores[2], -1.0);
  EXPECT_NEAR(scores[3], std::sqrt(0.5), 1e-12);
  EXPECT_TRUE(std::isnan(scores[4]));
  EXPECT_TRUE(std::isnan(cosine({0, 0}, {{1, 1}})[0]));
  EXPECT_TRUE(cosine({1, 2}, {}).empty());
  try {
    cosine({1, 2}, {{1, 2}, {1, 2, 3}});
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "cosine: vector 1 has dimension 3, expected 2");
  }
}

TEST(Cosine, TinyAndHugeComponentsStayWithinBounds) {
  // Squared norms of these underflow to 0 or overflow to inf when taken
  // unscaled; the scores must still be the true cosines.
  const auto tiny = cosine({1e-170, 2e-170}, {{2e-170, 1e-170}, {-1e-170, -2e-170}});
  EXPECT_NEAR(tiny[0], 0.8, 1e-15);
  EXPECT_DOUBLE_EQ(tiny[1], -1.0);
  const auto subnormal = cosine({1e-320, 0}, {{3e-320, 3e-320}, {5e-324, 0}});
  EXPECT_NEAR(subnormal[0], std::sqrt(0.5), 1e-12);
  EXPECT_DOUBLE_EQ(subnormal[1], 1.0);
  const auto huge = cosine({1e200, 1e200}, {{1e300, 0}, {1e-300, 1e-300}, {1.7e308, 1.7e308}});
  EXPECT_NEAR(huge[0], std::sqrt(0.5), 1e-15);
  EXPECT_DOUBLE_EQ(huge[1], 1.0);
  EXPECT_DOUBLE_EQ(huge[2], 1.0);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(cosine({1, 1}, {{inf, 1}})[0]));
  EXPECT_TRUE(std::isnan(cosine({}, {{}})[0]));
  // Rounding never leaves [-1, 1].
  for (double x : {0.1, 0.3, 1.0 / 3, 7e-5, 123.456}) {
    const double score = cosine({x, x, x}, {{x, x, x}})[0];
    EXPECT_LE(score, 1.0);
    EXPECT_GE(score, 0.999999999999999);
  }
}

TEST(OptionalPackages, MissingPackageNamesTheExtraUntilRegistered) {
  // Registration lasts for the process: each repetition of the test (under
  // --gtest_repeat) checks a package of its own.
  static int run = 0;
  const std::string package = "zelq_test_pkg" + std::to_string(run++);
  try {
    check_optional_packages(package, {.extras = "zelq-test"});
    FAIL();
  } catch (const MissingPackageError& e) {
    EXPECT_EQ(e.what(), "The optional package '" + package +
                            "' is not available. Rebuild zelq_generation "
                            "with -DZELQ_WITH_ZELQ-TEST=ON (extra 'zelq-test') and install it.");
  }
  register_optional_package(package);
  EXPECT_NO_THROW(check_optional_packages(package, {.extras = "zelq-test"}));
}

TEST(FormatChunkForLogging, ShowsFieldsAndCutsLongContentOnCodePoints) {
  Chunk chunk;
  chunk.id = "c1";
  chunk.content = std::string("short 'text'");
  chunk.metadata = Value{{"source", "a.txt"}, {"page", 2}};
  chunk.score = 0.5;
  EXPECT_EQ(format_chunk_for_logging(chunk, 3),
            "\nChunk 3:\n  ID: c1\n  Content: \"short 'text'\"\n  Metadata: {'source': 'a.txt', "
            "'page': 2}\n  Score: 0.5");

  std::string long_text;
  for (int i = 0; i < 60; ++i) long_text += "\xc3\xa9";  // é, two bytes each
  chunk.content = long_text;
  chunk.metadata = Value::object();
  chunk.score.reset();
  std::string expected_preview;
  for (int i = 0; i < 50; ++i) expected_preview += "\xc3\xa9";
  EXPECT_EQ(format_chunk_for_logging(chunk, 1), "\nChunk 1:\n  ID: c1\n  Content: '" +
                                                    expected_preview +
                                                    "'...\n  Metadata: {}\n  Score: None");

  chunk.content = Bytes{'x', 0};
  EXPECT_EQ(format_chunk_for_logging(chunk, 1),
            "\nChunk 1:\n  ID: c1\n  Content: b'x\\x00'\n  Metadata: {}\n  Score: None");
}

}  // namespace
}  // namespace zelq::core
