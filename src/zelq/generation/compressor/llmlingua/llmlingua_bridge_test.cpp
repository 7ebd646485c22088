#include "zelq/generation/compressor/detail/llmlingua_bridge.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/generation/compressor.hpp"

// LeakSanitizer: the embedded interpreter is never finalised, so what
// CPython allocated is still held at exit. Only allocations made inside the
// Python library are excused; leaks of our own code are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }

namespace zelq::generation::compressor {
namespace {

// Puts the stand-in llmlingua first on the interpreter's path, before any
// test starts it.
class StandInPath : public testing::Environment {
 public:
  void SetUp() override { setenv("PYTHONPATH", ZELQ_LLMLINGUA_TESTDATA "/standin", 1); }
};
const testing::Environment* const kStandInPath = testing::AddGlobalTestEnvironment(new StandInPath);

std::string compress(const LLMLinguaCompressor& compressor, std::string query,
                     CompressOptions options = {}) {
  return core::run_sync(
      compressor.compress("The whole\n\ncontext.", std::move(query), std::move(options)));
}

TEST(LLMLinguaBridgeTest, PassesTheExactKeywordsToThePythonPackage) {
  EXPECT_NO_THROW(detail::load_llmlingua());
  EXPECT_NO_THROW(core::check_optional_packages("llmlingua", {.extras = "llmlingua"}));

  const LLMLinguaCompressor compressor;
  EXPECT_EQ(compress(compressor, "Why?"),
            "{'model_name': 'NousResearch/Llama-2-7b-hf', 'device_map': 'cuda'} "
            "[('context', ['The whole\\n\\ncontext.']), ('question', 'Why?'), "
            "('instruction', ''), ('rate', 0.5), ('target_token', -1), "
            "('use_sentence_level_filter', False), ('use_context_level_filter', True), "
            "('use_token_level_filter', True), ('rank_method', 'longllmlingua')]");

  const LLMLinguaCompressor custom({.model_name = "tiny", .device_map = "cpu", .rate = 0.25});
  core::Value options = {{"rate", 1},
                         {"rank_method", nullptr},
                         {"unknown", "x"},
                         {"target_token", {1, 2.5, "a"}},
                         {"use_token_level_filter", core::bytes_value({0x00, 0xff})}};
  EXPECT_EQ(compress(custom, "Why?", {.instruction = "Keep names.", .options = options}),
            "{'model_name': 'tiny', 'device_map': 'cpu'} "
            "[('context', ['The whole\\n\\ncontext.']), ('question', 'Why?'), "
            "('instruction', 'Keep names.'), ('rate', 1), ('target_token', [1, 2.5, 'a']), "
            "('use_sentence_level_filter', False), ('use_context_level_filter', True), "
            "('use_token_level_filter', b'\\x00\\xff'), ('rank_method', None)]");
}

TEST(LLMLinguaBridgeTest, ResultsAndPythonErrorsBecomeTheLibrarysKinds) {
  const LLMLinguaCompressor compressor({.model_name = "tiny"});
  EXPECT_EQ(compress(compressor, "answer empty"), "");
  EXPECT_EQ(compress(compressor, "count calls"), "2") << "one PromptCompressor serves every call";
  for (const char* question : {"answer none", "answer nothing"}) {
    try {
      compress(compressor, question);
      ADD_FAILURE() << question;
    } catch (const core::ValueError& error) {
      EXPECT_STREQ(error.what(), "Failed to compress the context");
    }
  }
  try {
    compress(compressor, "raise");
    ADD_FAILURE();
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "rate must be in (0, 1]");
  }
  try {
    compress(compressor, "answer a list");
    ADD_FAILURE();
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "AttributeError: 'list' object has no attribute 'get'");
  }
  EXPECT_THROW(compress(compressor, "answer a number"), core::TypeError);
  core::Value deep = 1;
  for (int i = 0; i < 512; ++i) deep = core::Value::array({std::move(deep)});
  try {
    compress(compressor, "Why?", {.options = {{"target_token", std::move(deep)}}});
    ADD_FAILURE() << "the keywords hold 513 levels";
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(),
                 "maximum recursion depth exceeded while converting a value to Python");
  }
  try {
    LLMLinguaCompressor broken({.model_name = "broken-model"});
    ADD_FAILURE();
  } catch (const core::RuntimeError& error) {
    EXPECT_STREQ(error.what(), "RuntimeError: CUDA is not available");
  }
}

TEST(LLMLinguaBridgeTest, ConcurrentCallsFromManyThreadsAllComplete) {
  const LLMLinguaCompressor compressor({.model_name = "tiny"});
  std::vector<boost::asio::awaitable<std::string>> calls;
  for (int i = 0; i < 16; ++i) calls.push_back(compressor.compress("context", "count calls"));
  const std::vector<std::string> results = core::run_sync(core::parallel_gather(std::move(calls)));
  std::vector<std::string> sorted = results;
  std::sort(sorted.begin(), sorted.end(),
            [](const std::string& a, const std::string& b) { return std::stoi(a) < std::stoi(b); });
  for (int i = 0; i < 16; ++i) EXPECT_EQ(sorted[i], std::to_string(i + 1));
}

}  // namespace
}  // namespace zelq::generation::compressor
