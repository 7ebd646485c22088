#include "zelq/inference/lm_output.hpp"

#include <string_view>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"

namespace zelq::inference {

std::string LMOutput::text() const {
  std::string out;
  for (const auto& item : texts_) out += item;
  return out;
}

void LMOutput::add_text(std::string text) { texts_.push_back(std::move(text)); }

void LMOutput::add_text(std::vector<std::string> texts) {
  for (auto& text : texts) texts_.push_back(std::move(text));
}

void LMOutput::add_thinking(Thinking thinking) { thinkings_.push_back(std::move(thinking)); }

void LMOutput::add_citation(core::ChunkPtr chunk) {
  if (!chunk) throw core::ValueError("A citation must be a Chunk, got a null pointer.");
  citations_.push_back(std::move(chunk));
}

void LMOutput::add_citation(std::vector<core::ChunkPtr> chunks) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (!chunks[i]) {
      throw core::ValueError("A citation must be a Chunk, got a null pointer at position " +
                             std::to_string(i) + ".");
    }
  }
  for (auto& chunk : chunks) citations_.push_back(std::move(chunk));
}

core::Value parse_structured_output(const LMOutput& output, std::size_t max_memory) {
  if (const auto& structured = output.structured_output()) {
    return structured->is_object() ? *structured : core::Value(nullptr);
  }
  // An answer of one text item, as invokers give it, is read where it lies.
  const std::vector<std::string>& texts = output.texts();
  const std::string joined = texts.size() > 1 ? output.text() : std::string();
  const std::string_view text = texts.size() == 1 ? std::string_view(texts.front()) : joined;
  core::Value parsed;
  try {
    parsed = core::parse_json(text, "The language model's answer", max_memory);
  } catch (const core::ValueError&) {
    // Nested too deep to read: an answer the caller cannot use, as one that
    // is not JSON at all.
    return nullptr;
  }
  if (!parsed.is_object()) return nullptr;
  return parsed;
}

}  // namespace zelq::inference
