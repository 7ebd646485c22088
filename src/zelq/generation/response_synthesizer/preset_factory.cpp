#include "zelq/generation/response_synthesizer/preset_factory.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/catalog.hpp"
#include "zelq/inference/catalog.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::response_synthesizer {
namespace {

// The prompt-builder setting that carries a catalog entry's key defaults.
constexpr std::string_view KEY_DEFAULTS_KEY = "key_defaults";

// One phase's settings for configure_phase.
struct Phase {
  std::string_view entry;
  const inference::ModelIdArg& model_id;
  const core::Value& credentials;
  const core::Value& config;
  const std::string& system_template;
  const std::string& user_template;
  const core::Value& prompt_builder_kwargs;
};

// The preset key defaults of `entry`, then the caller's settings in order.
core::Value prompt_builder_kwargs_for(const inference::PromptBuilderCatalogEntry& entry,
                                      const core::Value& caller_kwargs) {
  core::Value kwargs = core::Value::object();
  kwargs[std::string(KEY_DEFAULTS_KEY)] = entry.key_defaults;
  if (!core::py_truthy(caller_kwargs)) return kwargs;
  if (!caller_kwargs.is_object()) {
    throw core::TypeError("prompt_builder_kwargs must be a mapping, got " +
                          core::py_repr(caller_kwargs) + ".");
  }
  for (auto it = caller_kwargs.begin(); it != caller_kwargs.end(); ++it) {
    kwargs[it.key()] = it.value();
  }
  return kwargs;
}

// A phase's new invoker and the prompt the synthesizer sends to it.
struct PhaseLM {
  inference::LMInvokerPtr invoker;
  inference::PromptBuilder prompt_builder;
};

// Builds the phase's invoker, then its prompt (which stays with the
// synthesizer: the invoker is not changed).
PhaseLM configure_phase(const Phase& phase) {
  const inference::PromptBuilderCatalogEntry& entry =
      preset_prompt::detail::preset_prompt_catalog()[phase.entry];
  core::Value kwargs = prompt_builder_kwargs_for(entry, phase.prompt_builder_kwargs);
  inference::LMInvokerPtr invoker =
      providers::build_lm_invoker(phase.model_id, phase.credentials, phase.config);
  inference::PromptBuilder prompt_builder = inference::build_prompt_builder(
      {.system_template =
           phase.system_template.empty() ? entry.system_template : phase.system_template,
       .user_template = phase.user_template.empty() ? entry.user_template : phase.user_template,
       .prompt_builder_kwargs = std::move(kwargs)});
  return {std::move(invoker), std::move(prompt_builder)};
}

PresetFactoryDescriptor& preset_descriptor() {
  static PresetFactoryDescriptor descriptor;
  return descriptor;
}

}  // namespace

ResponseSynthesizerPresetFactory& ResponseSynthesizer::preset_for(
    ResponseSynthesizerClass (*bind)()) {
  return preset_descriptor().get(bind);
}

ResponseSynthesizerPresetFactory& PresetFactoryDescriptor::get(ResponseSynthesizerClass (*bind)()) {
  if (ResponseSynthesizerPresetFactory* factory = factory_.load(std::memory_order_acquire)) {
    return *factory;
  }
  std::lock_guard lock(lock_);
  if (factory_.load(std::memory_order_relaxed) == nullptr) {
    owned_ = std::make_unique<ResponseSynthesizerPresetFactory>(bind());
    factory_.store(owned_.get(), std::memory_order_release);
  }
  return *factory_.load(std::memory_order_relaxed);
}

ResponseSynthesizerPresetFactory::ResponseSynthesizerPresetFactory(
    ResponseSynthesizerClass response_synthesizer_class)
    : response_synthesizer_class_(std::move(response_synthesizer_class)) {}

std::unique_ptr<ResponseSynthesizer> ResponseSynthesizerPresetFactory::stuff(
    PresetStuffOptions options) const {
  PhaseLM lm = configure_phase({"stuff", options.model_id, options.credentials, options.config,
                                options.system_template, options.user_template,
                                options.prompt_builder_kwargs});
  return response_synthesizer_class_.stuff(
      StuffOptions{.chunks_repacker = std::move(options.chunks_repacker),
                   .extractor_func = std::move(options.extractor_func),
                   .streamable = options.streamable,
                   .lm_invoker = std::move(lm.invoker),
                   .prompt_builder = std::move(lm.prompt_builder)});
}

std::unique_ptr<ResponseSynthesizer> ResponseSynthesizerPresetFactory::refine(
    PresetRefineOptions options) const {
  PhaseLM lm = configure_phase({"refine", options.model_id, options.credentials, options.config,
                                options.system_template, options.user_template,
                                options.prompt_builder_kwargs});
  return response_synthesizer_class_.refine(
      RefineOptions{.batch_size = options.batch_size,
                    .extractor_func = std::move(options.extractor_func),
                    .stream_drafts = options.stream_drafts,
                    .streamable = options.streamable,
                    .lm_invoker = std::move(lm.invoker),
                    .prompt_builder = std::move(lm.prompt_builder)});
}

std::unique_ptr<ResponseSynthesizer> ResponseSynthesizerPresetFactory::map_reduce(
    PresetMapReduceOptions options) const {
  PhaseLM map = configure_phase({"map", options.map_model_id, options.map_credentials,
                                 options.map_config, options.map_system_template,
                                 options.map_user_template, options.map_prompt_builder_kwargs});
  PhaseLM reduce =
      configure_phase({"reduce", options.reduce_model_id, options.reduce_credentials,
                       options.reduce_config, options.reduce_system_template,
                       options.reduce_user_template, options.reduce_prompt_builder_kwargs});
  return response_synthesizer_class_.map_reduce(
      MapReduceOptions{.chunks_repacker = std::move(options.chunks_repacker),
                       .extractor_func = std::move(options.extractor_func),
                       .batch_size = options.batch_size,
                       .max_iterations = options.max_iterations,
                       .streamable = options.streamable,
                       .map_lm_invoker = std::move(map.invoker),
                       .reduce_lm_invoker = std::move(reduce.invoker),
                       .map_prompt_builder = std::move(map.prompt_builder),
                       .reduce_prompt_builder = std::move(reduce.prompt_builder)});
}

}  // namespace zelq::generation::response_synthesizer
