// Ready-made response synthesizers built from model ids and the preset
// prompt catalog.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "zelq/core/value.hpp"
#include "zelq/generation/repacker/repacker.hpp"
#include "zelq/generation/response_synthesizer/response_synthesizer.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"
#include "zelq/inference/model_id.hpp"

namespace zelq::generation::response_synthesizer {

// Options of ResponseSynthesizerPresetFactory::stuff, in parameter order.
struct PresetStuffOptions {
  // "provider/name" or a ModelId; required (an empty id fails in
  // build_lm_invoker).
  inference::ModelIdArg model_id{};
  // An API key, a credentials-file path, an object, or null to let the
  // provider find them.
  core::Value credentials = nullptr;
  // Further model settings (an object or null).
  core::Value config = nullptr;
  // Replaces the preset template when non-empty.
  std::string system_template{};
  std::string user_template{};
  // Added to the preset prompt-builder settings (an object or null); its
  // "key_defaults" replaces the preset key defaults as a whole.
  core::Value prompt_builder_kwargs = nullptr;
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  strategy::ExtractorFunc extractor_func{};
  bool streamable = true;
};

// Options of ResponseSynthesizerPresetFactory::refine, in parameter order
// (the fields mean what they mean in PresetStuffOptions).
struct PresetRefineOptions {
  inference::ModelIdArg model_id{};
  core::Value credentials = nullptr;
  core::Value config = nullptr;
  std::string system_template{};
  std::string user_template{};
  core::Value prompt_builder_kwargs = nullptr;
  int batch_size = 1;
  strategy::ExtractorFunc extractor_func{};
  bool stream_drafts = false;
  bool streamable = true;
};

// Options of ResponseSynthesizerPresetFactory::map_reduce, in parameter
// order: the map and reduce settings alternate, map first.
struct PresetMapReduceOptions {
  inference::ModelIdArg map_model_id{};
  inference::ModelIdArg reduce_model_id{};
  core::Value map_credentials = nullptr;
  core::Value reduce_credentials = nullptr;
  core::Value map_config = nullptr;
  core::Value reduce_config = nullptr;
  std::string map_system_template{};
  std::string reduce_system_template{};
  std::string map_user_template{};
  std::string reduce_user_template{};
  core::Value map_prompt_builder_kwargs = nullptr;
  core::Value reduce_prompt_builder_kwargs = nullptr;
  std::shared_ptr<repacker::Ruzededo> chunks_repacker{};
  strategy::ExtractorFunc extractor_func{};
  int batch_size = 1;
  int max_iterations = 1;
  bool streamable = true;
};

// Builds ready-made synthesizers of one class: per phase, a new invoker from
// build_lm_invoker and a prompt builder of the caller's templates or those of
// the matching PRESET_PROMPT_CATALOG entry, with the entry's key defaults;
// then the class's own class-level constructor of the same name, which
// receives both (the prompt stays with the synthesizer's strategy). Keeps nothing
// between calls; its methods may be called from any thread.
class ResponseSynthesizerPresetFactory {
 public:
  explicit ResponseSynthesizerPresetFactory(ResponseSynthesizerClass response_synthesizer_class);

  // A stuff synthesizer (catalog entry "stuff"). Throws TypeError when
  // prompt_builder_kwargs is neither null nor an object, then whatever
  // build_lm_invoker, inference::build_prompt_builder and the class-level
  // constructor throw.
  std::unique_ptr<ResponseSynthesizer> stuff(PresetStuffOptions options) const;
  // A refine synthesizer (entry "refine", the strategy's default repacker).
  // Throws as stuff; the refine strategy's checks (batch size) run after the
  // invoker and its prompt are built.
  std::unique_ptr<ResponseSynthesizer> refine(PresetRefineOptions options) const;
  // A map-reduce synthesizer (entries "map" and "reduce"): the map invoker
  // and prompt are built first, then the reduce ones. Throws as stuff.
  std::unique_ptr<ResponseSynthesizer> map_reduce(PresetMapReduceOptions options) const;

 private:
  ResponseSynthesizerClass response_synthesizer_class_;
};

// Holds the shared preset factory: created by the first successful get()
// (under a lock, checked again inside it) and never replaced. Thread-safe;
// after creation get() takes no lock.
class PresetFactoryDescriptor {
 public:
  PresetFactoryDescriptor() = default;
  PresetFactoryDescriptor(const PresetFactoryDescriptor&) = delete;
  PresetFactoryDescriptor& operator=(const PresetFactoryDescriptor&) = delete;

  // The shared factory. When there is none yet, creates it bound to the
  // class that `bind` describes; when `bind` or the creation throws, the
  // exception propagates, the lock is released and the next get() tries
  // again. The factory lives as long as the descriptor.
  ResponseSynthesizerPresetFactory& get(ResponseSynthesizerClass (*bind)());

 private:
  std::atomic<ResponseSynthesizerPresetFactory*> factory_{nullptr};
  std::unique_ptr<ResponseSynthesizerPresetFactory> owned_;
  std::mutex lock_;
};

}  // namespace zelq::generation::response_synthesizer
