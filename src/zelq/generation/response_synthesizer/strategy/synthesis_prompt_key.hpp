// The names of the prompt variables that the synthesis strategies fill.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelq::generation::response_synthesizer::strategy {

// A text enumeration: each member behaves as its value (it converts
// implicitly to std::string_view and compares equal to that text), so a
// mapping entry stored under a member is found under the plain text and the
// reverse.
class SynthesisPromptKey {
 public:
  // The context made from the chunks by the repacker: "context".
  static const SynthesisPromptKey CONTEXT;
  // The previous draft response of the refine strategy: "draft_response".
  static const SynthesisPromptKey DRAFT_RESPONSE;
  // The query: "query".
  static const SynthesisPromptKey QUERY;

  // The member's value ("context").
  constexpr std::string_view value() const noexcept { return value_; }
  // The member's name ("CONTEXT").
  constexpr std::string_view name() const noexcept { return name_; }
  constexpr operator std::string_view() const noexcept { return value_; }  // NOLINT: a text enum

  // The printed representation of the member, as a text enumeration prints
  // it: <SynthesisPromptKey.CONTEXT: 'context'>.
  std::string repr() const;

  // The member whose value is `value`, or nullopt.
  static std::optional<SynthesisPromptKey> from_value(std::string_view value) noexcept;

  friend constexpr bool operator==(SynthesisPromptKey a, SynthesisPromptKey b) noexcept {
    return a.value_ == b.value_;
  }
  friend constexpr bool operator==(SynthesisPromptKey a, std::string_view b) noexcept {
    return a.value_ == b;
  }

 private:
  constexpr SynthesisPromptKey(std::string_view name, std::string_view value) noexcept
      : name_(name), value_(value) {}

  std::string_view name_;
  std::string_view value_;
};

inline constexpr SynthesisPromptKey SynthesisPromptKey::CONTEXT{"CONTEXT", "context"};
inline constexpr SynthesisPromptKey SynthesisPromptKey::DRAFT_RESPONSE{"DRAFT_RESPONSE",
                                                                       "draft_response"};
inline constexpr SynthesisPromptKey SynthesisPromptKey::QUERY{"QUERY", "query"};

}  // namespace zelq::generation::response_synthesizer::strategy
