// The result of a language-model call or a research request.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/value.hpp"

namespace zelq::inference {

// One thinking (reasoning) part of an output.
struct Thinking {
  std::string thinking{};

  bool operator==(const Thinking&) const = default;
};

// Text items, thinking parts, citations and an optional structured answer,
// each kind kept in the order it was added.
class LMOutput {
 public:
  // The text items concatenated with nothing between them: the answer text
  // added so far, the same text that a stream of its pieces shows. Empty
  // when no text was added.
  std::string text() const;
  // The text items in the order they were added (empty items included).
  const std::vector<std::string>& texts() const noexcept { return texts_; }
  const std::vector<Thinking>& thinkings() const noexcept { return thinkings_; }
  // The citations, the caller's own chunk pointers.
  const std::vector<core::ChunkPtr>& citations() const noexcept { return citations_; }
  // The structured answer (a Value, usually an object) when the model gave
  // one; nullopt otherwise.
  const std::optional<core::Value>& structured_output() const noexcept {
    return structured_output_;
  }

  // Appends one text item, or each text of a list as its own item.
  void add_text(std::string text);
  void add_text(std::vector<std::string> texts);
  void add_thinking(Thinking thinking);
  // Appends one citation, or each chunk of a list in order. A null pointer is
  // rejected with ValueError before anything is appended.
  void add_citation(core::ChunkPtr chunk);
  void add_citation(std::vector<core::ChunkPtr> chunks);
  void set_structured_output(core::Value value) { structured_output_ = std::move(value); }

  // Equal when every field is equal; citations compare by pointer.
  bool operator==(const LMOutput&) const = default;

 private:
  std::vector<std::string> texts_;
  std::vector<Thinking> thinkings_;
  std::vector<core::ChunkPtr> citations_;
  std::optional<core::Value> structured_output_;
};

// The most heap a component's reading of one structured answer may hold: the
// budget the library's components (the LM relevance filters and reference
// formatters) pass to parse_structured_output. Their answers (a verdict or
// a selection per chunk of a batch) take kilobytes; a value takes several
// times its text (16 bytes for each `0,`), so 16 MiB of tiny items is
// refused rather than grown into hundreds of megabytes.
inline constexpr std::size_t kMaxStructuredOutputMemory = std::size_t{64} << 20;

// The structured answer of an output as an object, or a null Value when
// there is none: the structured output when it is an object; otherwise the
// output's text when it parses as a JSON object (models without native
// structured output often answer in JSON text), its value held to
// `max_memory` bytes of heap (the budget of the component that reads it).
// An answer it cannot use (text that is not a JSON object, or one nested
// deeper than core::kMaxJsonDepth (512) levels) gives a null Value. Throws
// core::JsonMemoryError "The language model's answer needs more than <n>
// bytes of memory once parsed" for text whose value would hold more (a
// refusal over a limit, which no retry repeats), and bad_alloc.
core::Value parse_structured_output(const LMOutput& output, std::size_t max_memory);

}  // namespace zelq::inference
