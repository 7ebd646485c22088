// The built-in prompt compressor backend: the Python package `llmlingua` in
// an embedded CPython interpreter. Built from llmlingua_bridge.cpp when the
// library is configured with ZELQ_WITH_LLMLINGUA, otherwise from
// llmlingua_bridge_missing.cpp.
#pragma once

#include <memory>
#include <string>

#include "zelq/generation/compressor/llmlingua_compressor.hpp"

namespace zelq::generation::compressor::detail {

// Makes sure that `llmlingua` can be used: starts the interpreter (once per
// process, never finalised), imports the package and registers it with
// core::register_optional_package. Returns quietly when the library was
// built without the bridge, so that check_optional_packages reports that.
// Throws MissingPackageError naming the package to install when the import
// fails.
void load_llmlingua();

// Builds PromptCompressor(model_name=..., device_map=...) in the embedded
// interpreter. Python errors become the library's error kinds (ValueError,
// TypeError, KeyError, IndexError, NotImplementedError; ImportError as
// MissingPackageError; others RuntimeError "<type>: <message>"). Throws
// MissingPackageError when the bridge is not built.
std::shared_ptr<PromptCompressorBackend> make_llmlingua_backend(const std::string& model_name,
                                                                const std::string& device_map);

}  // namespace zelq::generation::compressor::detail
