// Prompt templates and their filling into the messages of one request.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/inference/message.hpp"

namespace zelq::inference {

// The names of the named replacement fields of a Python str.format template,
// in first-use order without repeats: the part of each field name before the
// first '.' or '[' ("{a[0]}" and "{a.b}" use "a"), including fields nested in
// format specs ("{a:>{width}}" uses "a" and "width"). Positional fields ("{}",
// "{0}") are not names and are left out. Throws ValueError with the message
// str.format gives for malformed markup ("Single '}' encountered in format
// string", "expected '}' before end of string", "unmatched '{' in format
// spec", ...), including "Max string recursion exceeded" for fields nested
// deeper than one level in format specs. A '}' inside brackets belongs to
// the field name ("{a[}]}" uses "a"), as in str.format.
std::vector<std::string> template_field_names(std::string_view templ);

// A system template and a user template, filled with Python str.format
// semantics (zelq::core::py_format), and default values for prompt variables.
// Immutable once built; copies are cheap enough to pass around by value.
class PromptBuilder {
 public:
  struct FormatOptions {
    // Messages placed between the system message and the user message.
    std::optional<std::vector<Message>> history{};
    // Content items appended to the user message after its text.
    std::optional<std::vector<MessageContent>> extra_contents{};
    // The query; when set it is the prompt variable "query".
    std::optional<std::string> query{};
    // The other prompt variables, an object (null counts as empty).
    core::Value variables = core::Value::object();
  };

  // Empty templates and no defaults: formats to no messages but the history
  // and extra contents.
  PromptBuilder() = default;
  // Throws ValueError naming the template ("Invalid system template: ...")
  // when a template's braces are malformed, and ValueError when
  // `key_defaults` is neither null nor an object.
  PromptBuilder(std::string system_template, std::string user_template,
                core::Value key_defaults = core::Value::object());

  const std::string& system_template() const noexcept { return system_template_; }
  const std::string& user_template() const noexcept { return user_template_; }
  // The prompt variables the two templates use.
  const std::set<std::string, std::less<>>& prompt_key_set() const noexcept {
    return prompt_key_set_;
  }
  // Default values of prompt variables, an object (possibly empty).
  const core::Value& key_defaults() const noexcept { return key_defaults_; }

  // The messages of one request, in order: a system message with the filled
  // system template (only when that template is non-empty), the history
  // messages, then a user message whose contents are the filled user template
  // (when non-empty) followed by the extra contents (left out when it would
  // have no contents). A prompt key that the call does not give takes its
  // value from key_defaults; a variable given explicitly, even empty, is used
  // as given.
  // Throws KeyError (what() = repr of the name) for a variable that is
  // neither given nor defaulted, TypeError when `variables` is not an object
  // or repeats "query" while `query` is set, and the other errors of
  // py_format for values that do not fit a field's format spec.
  std::vector<Message> format(const FormatOptions& options) const;

 private:
  std::string system_template_;
  std::string user_template_;
  std::set<std::string, std::less<>> prompt_key_set_;
  core::Value key_defaults_ = core::Value::object();
};

// The settings of a prompt builder as callers hand them over in one piece.
struct PromptBuildOptions {
  std::string system_template{};
  std::string user_template{};
  // Further prompt-builder settings, an object (null counts as empty). The
  // one setting known is "key_defaults" (an object of default values).
  core::Value prompt_builder_kwargs = core::Value::object();
};

// A prompt builder made from `options`. Throws TypeError naming an unknown
// prompt_builder_kwargs key ("PromptBuilder got an unexpected keyword
// argument 'x'") or when prompt_builder_kwargs is not an object, and the
// ValueErrors of PromptBuilder's constructor.
PromptBuilder build_prompt_builder(const PromptBuildOptions& options);

// Turns a conversation into one request text for services that take a plain
// text input. Layout: each message is a header line with its role
// ("System:", "User:" or "Assistant:") followed by its text items, one per
// line; messages are separated by one empty line. A conversation that is a
// single user message is that message's text alone, so a request built from
// a bare query is the query itself. Attachments are left out.
class AgnosticPromptFormatter {
 public:
  std::string format(const std::vector<Message>& messages) const;
};

}  // namespace zelq::inference
