#include "zelq/generation/compressor/detail/llmlingua_bridge.hpp"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/generation/compressor.hpp"

// LeakSanitizer: the embedded interpreter is never finalised, so what
// CPython allocated is still held at exit. Only allocations made inside the
// Python library are excused; leaks of our own code are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }

namespace zelq::generation::compressor {
namespace {

// A path without llmlingua, set before any test starts the interpreter.
class PathWithoutLLMLingua : public testing::Environment {
 public:
  void SetUp() override {
    setenv("PYTHONPATH", ZELQ_LLMLINGUA_TESTDATA, 1);
    setenv("PYTHONNOUSERSITE", "1", 1);
  }
};
const testing::Environment* const kPath =
    testing::AddGlobalTestEnvironment(new PathWithoutLLMLingua);

// Built in, the bridge reports the Python package to install; left out, the
// option to rebuild with.
TEST(LLMLinguaBridgeMissingTest, ConstructionNamesWhatToInstallOrEnable) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      LLMLinguaCompressor compressor;
      ADD_FAILURE() << "constructed without llmlingua";
    } catch (const core::MissingPackageError& error) {
      const std::string message = error.what();
#if ZELQ_LLMLINGUA_BUILT
      EXPECT_EQ(
          message.rfind("The Python package 'llmlingua' cannot be imported by the Python 3.", 0),
          0u)
          << message;
      EXPECT_NE(message.find("(ModuleNotFoundError: No module named 'llmlingua')"),
                std::string::npos)
          << message;
      EXPECT_NE(message.find(" -m pip install llmlingua'."), std::string::npos) << message;
#else
      EXPECT_EQ(message,
                "The optional package 'llmlingua' is not available. Rebuild zelq_generation "
                "with -DZELQ_WITH_LLMLINGUA=ON (extra 'llmlingua') and install it.");
#endif
    }
  }
  EXPECT_THROW(core::check_optional_packages("llmlingua", {.extras = "llmlingua"}),
               core::MissingPackageError);
  EXPECT_THROW(detail::make_llmlingua_backend("m", "cpu"), core::MissingPackageError);
}

}  // namespace
}  // namespace zelq::generation::compressor
