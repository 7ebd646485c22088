#include "zelq/generation/compressor/compressor.hpp"

#include <string>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::generation::compressor {
namespace {

// Shows what reached _compress, or defers to the base's body.
class EchoCompressor : public BaseCompressor {
 public:
  std::string class_name() const override { return "EchoCompressor"; }
  mutable int calls = 0;
  bool use_base = false;

 protected:
  boost::asio::awaitable<std::string> _compress(std::string context, std::string query,
                                                std::optional<std::string> instruction,
                                                core::Value options) const override {
    ++calls;
    if (use_base) {
      auto call = BaseCompressor::_compress(context, query, instruction, options);
      co_return co_await std::move(call);
    }
    co_return "[" + context + "][" + query + "][" + instruction.value_or("<none>") + "][" +
        options.dump() + "]";
  }
};

std::string error_of(const EchoCompressor& compressor, std::string context, std::string query) {
  try {
    core::run_sync(compressor.compress(std::move(context), std::move(query)));
  } catch (const core::ValueError& error) {
    return error.what();
  }
  return "<no error>";
}

TEST(BaseCompressorTest, ChecksContextThenQueryForBlanksBeforeAnyWork) {
  EchoCompressor compressor;
  const std::string context_error = "'context' must be a non-empty string.";
  const std::string query_error = "'query' must be a non-empty string.";
  EXPECT_EQ(error_of(compressor, "", ""), context_error);
  EXPECT_EQ(error_of(compressor, " \t\r\n", "q"), context_error);
  EXPECT_EQ(error_of(compressor, "\u2003\u3000\x1f", "q"), context_error);
  EXPECT_EQ(error_of(compressor, "c", "\n"), query_error);
  EXPECT_EQ(error_of(compressor, "c", "\u00a0"), query_error);
  EXPECT_EQ(compressor.calls, 0);

  EXPECT_EQ(core::run_sync(compressor.compress("  c  ", "\u200bq")),
            "[  c  ][\u200bq][<none>][null]")
      << "texts pass unstripped; U+200B is not whitespace";
  const CompressOptions empty{.instruction = "", .options = core::Value::object()};
  EXPECT_EQ(core::run_sync(compressor.compress("c", "q", empty)), "[c][q][][{}]");
  const CompressOptions odd{.instruction = "i", .options = core::Value::array({1})};
  EXPECT_EQ(core::run_sync(compressor.compress("c", "q", odd)), "[c][q][i][[1]]");

  compressor.use_base = true;
  EXPECT_THROW(core::run_sync(compressor.compress("c", "q")), core::NotImplementedError);
}

}  // namespace
}  // namespace zelq::generation::compressor
