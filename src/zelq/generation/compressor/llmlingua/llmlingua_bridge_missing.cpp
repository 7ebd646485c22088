// The bridge of a library built without ZELQ_WITH_LLMLINGUA: nothing to
// load, and no backend to build.
#include "zelq/generation/compressor/detail/llmlingua_bridge.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::generation::compressor::detail {

void load_llmlingua() {}

std::shared_ptr<PromptCompressorBackend> make_llmlingua_backend(const std::string&,
                                                                const std::string&) {
  core::check_optional_packages("llmlingua", {.extras = "llmlingua"});
  // Reached only when something registered the package by hand.
  throw core::MissingPackageError(
      "The LLMLingua bridge is not built into zelq_generation. Rebuild it with "
      "-DZELQ_WITH_LLMLINGUA=ON.");
}

}  // namespace zelq::generation::compressor::detail
