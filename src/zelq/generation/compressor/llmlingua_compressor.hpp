// LLMLinguaCompressor: compresses a context with LLMLingua's prompt
// compressor, behind an exchangeable backend.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/generation/compressor/compressor.hpp"

namespace zelq::generation::compressor {

// One prompt compressor model, loaded once and used by every call: the
// library's view of LLMLingua's PromptCompressor. The built-in backend
// embeds CPython and calls the Python package `llmlingua`; tests and
// applications may supply their own through LLMLinguaCompressorOptions.
class PromptCompressorBackend {
 public:
  virtual ~PromptCompressorBackend() = default;

  // Calls compress_prompt with `kwargs` (an object: keyword name to value,
  // in order) and returns the result's "compressed_prompt" entry, or nullopt
  // when the entry is missing or null. Blocking: called off the event loop,
  // possibly from several threads at once. Throws the compressor's errors.
  virtual std::optional<std::string> compress_prompt(const core::Value& kwargs) = 0;
};

// Builds the backend for a model name and a device map, as
// PromptCompressor(model_name=..., device_map=...) does.
using PromptCompressorFactory = std::function<std::shared_ptr<PromptCompressorBackend>(
    const std::string& model_name, const std::string& device_map)>;

// Constructor options of LLMLinguaCompressor, in parameter order.
struct LLMLinguaCompressorOptions {
  // The language model that the compressor uses.
  std::string model_name = "NousResearch/Llama-2-7b-hf";
  // The device to load the model onto ("cuda" for a GPU).
  std::string device_map = "cuda";
  // Default compression rate.
  double rate = 0.5;
  // Default target token count; -1 means no specific target.
  long long target_token = -1;
  bool use_sentence_level_filter = false;
  bool use_context_level_filter = true;
  bool use_token_level_filter = true;
  // Default ranking method; "longllmlingua" is the recommended one. Null is
  // passed on as None.
  std::optional<std::string> rank_method = "longllmlingua";
  // Builds the backend; empty selects the embedded Python `llmlingua`.
  PromptCompressorFactory prompt_compressor_factory = {};
};

// Compresses a context text against a query, and an optional instruction,
// with one prompt compressor built at construction. Each call maps the
// context (as a one-item list), the query, the instruction and the six
// settings onto one compress_prompt call, run on the library's blocking
// pool, off the caller's event loop. Calls on one instance may overlap; the
// built-in backend runs them one after another.
class LLMLinguaCompressor : public BaseCompressor {
 public:
  // Builds the backend, stores the settings as given, and when `rank_method`
  // is not "longllmlingua" warns (zelq::core::warn) "Using '<rank_method>'
  // instead of the recommended 'longllmlingua' method. This may affect
  // performance for longer contexts." (None for a null method).
  //
  // Throws, with the built-in backend: MissingPackageError when the library
  // was built without -DZELQ_WITH_LLMLINGUA=ON, or when the embedded Python
  // cannot import `llmlingua` (the message names what to install); the
  // Python errors of PromptCompressor(...) as the error kinds of
  // PromptCompressorBackend. With a factory: what it throws, or
  // ValueError when it returns null.
  explicit LLMLinguaCompressor(LLMLinguaCompressorOptions options = {});

  std::string class_name() const override { return "LLMLinguaCompressor"; }

  // The compression model; never null, shared by every call.
  std::shared_ptr<PromptCompressorBackend> compressor;
  // The default settings, only read by calls.
  double rate;
  long long target_token;
  bool use_sentence_level_filter;
  bool use_context_level_filter;
  bool use_token_level_filter;
  std::optional<std::string> rank_method;

 protected:
  // Calls compress_prompt with, in this order: context = [context],
  // question = query, instruction = the instruction or "" when null or
  // empty, then rate, target_token, use_sentence_level_filter,
  // use_context_level_filter, use_token_level_filter and rank_method, each
  // taken from `options` when the key is present (even when null) and from
  // the stored setting otherwise. Other keys are ignored.
  //
  // Returns the compressed prompt unchanged (an empty text is a result).
  // Throws ValueError "Failed to compress the context" when it is missing
  // or null; TypeError when `options` is truthy but not a mapping; the
  // backend's errors unchanged. Cancellation ends the call at once
  // (operation_aborted, or with_timeout's TimeoutError); a compression
  // already started cannot be interrupted and finishes on the pool, holding
  // its own reference to the backend and its keywords, and its result is
  // dropped. The instance may be destroyed meanwhile.
  boost::asio::awaitable<std::string> _compress(std::string context, std::string query,
                                                std::optional<std::string> instruction,
                                                core::Value options) const override;
};

}  // namespace zelq::generation::compressor
