#include "zelq/generation/compressor/llmlingua_compressor.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/utils.hpp"
#include "zelq/generation/compressor/detail/llmlingua_bridge.hpp"

namespace zelq::generation::compressor {
namespace {

constexpr std::string_view kRecommendedRankMethod = "longllmlingua";

std::shared_ptr<PromptCompressorBackend> build_backend(const LLMLinguaCompressorOptions& options) {
  if (options.prompt_compressor_factory) {
    auto backend = options.prompt_compressor_factory(options.model_name, options.device_map);
    if (!backend) throw core::ValueError("The prompt compressor factory returned no compressor.");
    return backend;
  }
  detail::load_llmlingua();
  core::check_optional_packages("llmlingua", {.extras = "llmlingua"});
  return detail::make_llmlingua_backend(options.model_name, options.device_map);
}

// Runs one compress_prompt call; `backend` and `kwargs` live in this frame.
std::optional<std::string> call_backend(std::shared_ptr<PromptCompressorBackend> backend,
                                        core::Value kwargs) {
  return backend->compress_prompt(kwargs);
}

}  // namespace

LLMLinguaCompressor::LLMLinguaCompressor(LLMLinguaCompressorOptions options)
    : compressor(build_backend(options)),
      rate(options.rate),
      target_token(options.target_token),
      use_sentence_level_filter(options.use_sentence_level_filter),
      use_context_level_filter(options.use_context_level_filter),
      use_token_level_filter(options.use_token_level_filter),
      rank_method(std::move(options.rank_method)) {
  if (rank_method != kRecommendedRankMethod) {
    core::warn("Using '" + rank_method.value_or("None") +
               "' instead of the recommended 'longllmlingua' method. This may affect performance "
               "for longer contexts.");
  }
}

boost::asio::awaitable<std::string> LLMLinguaCompressor::_compress(
    std::string context, std::string query, std::optional<std::string> instruction,
    core::Value options) const {
  if (!core::py_truthy(options)) options = core::Value::object();
  if (!options.is_object()) {
    throw core::TypeError("'options' must be a mapping of compression settings, not " +
                          std::string(core::detail::py_type_name(options)));
  }
  core::Value kwargs = core::Value::object();
  kwargs["context"] = core::Value::array({std::move(context)});
  kwargs["question"] = std::move(query);
  kwargs["instruction"] = instruction.value_or("");
  const std::array<std::pair<std::string_view, core::Value>, 6> settings{{
      {"rate", rate},
      {"target_token", target_token},
      {"use_sentence_level_filter", use_sentence_level_filter},
      {"use_context_level_filter", use_context_level_filter},
      {"use_token_level_filter", use_token_level_filter},
      {"rank_method", rank_method ? core::Value(*rank_method) : core::Value(nullptr)},
  }};
  for (const auto& [key, stored] : settings) {
    const auto it = options.find(std::string(key));
    kwargs[std::string(key)] = it != options.end() ? *it : stored;
  }
  auto call = core::asyncify(&call_backend)(compressor, std::move(kwargs));
  std::optional<std::string> compressed = co_await std::move(call);
  if (!compressed) throw core::ValueError("Failed to compress the context");
  co_return std::move(*compressed);
}

}  // namespace zelq::generation::compressor
