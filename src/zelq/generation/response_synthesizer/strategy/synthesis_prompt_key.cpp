#include "zelq/generation/response_synthesizer/strategy/synthesis_prompt_key.hpp"

#include "zelq/core/pytext.hpp"

namespace zelq::generation::response_synthesizer::strategy {

std::string SynthesisPromptKey::repr() const {
  return "<SynthesisPromptKey." + std::string(name_) + ": " + core::py_repr(value_) + ">";
}

std::optional<SynthesisPromptKey> SynthesisPromptKey::from_value(std::string_view value) noexcept {
  for (const SynthesisPromptKey& key : {CONTEXT, DRAFT_RESPONSE, QUERY}) {
    if (key == value) return key;
  }
  return std::nullopt;
}

}  // namespace zelq::generation::response_synthesizer::strategy
