#include "zelq/generation/response_synthesizer/strategy/synthesis_context.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

[[noreturn]] void invalid(const std::string& field, const std::string& problem) {
  throw core::ValidationError("1 validation error for SynthesisContext: " + field + ": " + problem);
}

}  // namespace

void SynthesisContext::set_prompt_variable(SynthesisPromptKey key, core::Value value) {
  if (kwargs.is_null()) kwargs = core::Value::object();
  if (!kwargs.is_object()) invalid("kwargs", "Input should be a valid dictionary");
  const std::string name(key.value());
  if (!kwargs.contains(name)) member_keys.insert(name);
  kwargs[name] = std::move(value);
}

std::string SynthesisContext::key_repr(std::string_view key) const {
  if (member_keys.contains(key) && kwargs.is_object() && kwargs.contains(key)) {
    if (auto member = SynthesisPromptKey::from_value(key)) return member->repr();
  }
  return core::py_repr(key);
}

void SynthesisContext::validate() const {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) invalid("chunks." + std::to_string(i), "Input should be an instance of Chunk");
  }
  if (!hyperparameters.is_null() && !hyperparameters.is_object()) {
    invalid("hyperparameters",
            "Input should be a valid dictionary, got " + core::py_repr(hyperparameters));
  }
  if (!kwargs.is_object()) {
    invalid("kwargs", "Input should be a valid dictionary, got " + core::py_repr(kwargs));
  }
}

}  // namespace zelq::generation::response_synthesizer::strategy
