#include "zelq/inference/prompt_builder.hpp"

#include <algorithm>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {
namespace {

// The scanning below follows CPython's format-string parser step by step, so
// that a template is rejected here exactly when str.format rejects its
// markup, with the same message.

// Nesting allowed for replacement fields inside format specs: one level, as
// in str.format.
constexpr int kMaxRecursion = 2;

void collect_field_names(std::string_view templ, std::vector<std::string>& names, int depth);

bool is_positional(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void add_name(std::string_view field, std::vector<std::string>& names) {
  const std::string_view name = field.substr(0, field.find_first_of(".["));
  if (!is_positional(name) && std::find(names.begin(), names.end(), name) == names.end()) {
    names.emplace_back(name);
  }
}

// The format spec from `i` (just after ':') to its closing '}': returns the
// position after that brace and collects the names of nested fields.
std::size_t parse_spec(std::string_view templ, std::size_t i, std::vector<std::string>& names,
                       int depth) {
  const std::size_t start = i;
  bool nested = false;
  for (int count = 1; i < templ.size();) {
    const char c = templ[i++];
    if (c == '{') {
      nested = true;
      ++count;
    } else if (c == '}' && --count == 0) {
      if (nested) collect_field_names(templ.substr(start, i - 1 - start), names, depth - 1);
      return i;
    }
  }
  throw core::ValueError("unmatched '{' in format spec");
}

// One replacement field from `i` (just after its '{'): "name[0].attr!r:spec}".
// Returns the position after the field's closing '}'.
std::size_t parse_field(std::string_view templ, std::size_t i, std::vector<std::string>& names,
                        int depth) {
  const std::size_t n = templ.size();
  const std::size_t start = i;
  char c = 0;
  while (i < n) {
    c = templ[i++];
    if (c == '{') throw core::ValueError("unexpected '{' in field name");
    if (c == '[') {
      while (i < n && templ[i] != ']') ++i;
      continue;
    }
    if (c == '}' || c == ':' || c == '!') break;
  }
  const std::string_view field = templ.substr(start, i - 1 - start);
  if (c == '}') {
    add_name(field, names);
    return i;
  }
  if (c != '!' && c != ':') throw core::ValueError("expected '}' before end of string");
  add_name(field, names);
  if (c == '!') {
    if (i >= n) throw core::ValueError("end of string while looking for conversion specifier");
    ++i;  // the conversion character
    if (i < n) {
      c = templ[i++];
      if (c == '}') return i;
      if (c != ':') throw core::ValueError("expected ':' after conversion specifier");
    }
  }
  return parse_spec(templ, i, names, depth);
}

void collect_field_names(std::string_view templ, std::vector<std::string>& names, int depth) {
  if (depth <= 0) throw core::ValueError("Max string recursion exceeded");
  std::size_t i = 0;
  const std::size_t n = templ.size();
  while (i < n) {
    const char c = templ[i++];
    if (c != '{' && c != '}') continue;
    if (i < n && templ[i] == c) {
      ++i;  // "{{" or "}}"
      continue;
    }
    if (c == '}') throw core::ValueError("Single '}' encountered in format string");
    if (i >= n) throw core::ValueError("Single '{' encountered in format string");
    i = parse_field(templ, i, names, depth);
  }
}

std::set<std::string, std::less<>> key_set_of(const std::string& templ, std::string_view which) {
  try {
    auto names = template_field_names(templ);
    return {names.begin(), names.end()};
  } catch (const core::ValueError& error) {
    throw core::ValueError("Invalid " + std::string(which) + " template " + core::py_repr(templ) +
                           ": " + error.what());
  }
}

}  // namespace

std::vector<std::string> template_field_names(std::string_view templ) {
  std::vector<std::string> names;
  collect_field_names(templ, names, kMaxRecursion);
  return names;
}

PromptBuilder::PromptBuilder(std::string system_template, std::string user_template,
                             core::Value key_defaults)
    : system_template_(std::move(system_template)), user_template_(std::move(user_template)) {
  if (key_defaults.is_null()) key_defaults = core::Value::object();
  if (!key_defaults.is_object()) {
    throw core::ValueError("The prompt key defaults must be an object, got " +
                           core::py_repr(key_defaults) + ".");
  }
  key_defaults_ = std::move(key_defaults);
  prompt_key_set_ = key_set_of(system_template_, "system");
  prompt_key_set_.merge(key_set_of(user_template_, "user"));
}

PromptBuilder build_prompt_builder(const PromptBuildOptions& options) {
  core::Value key_defaults = core::Value::object();
  const core::Value& kwargs = options.prompt_builder_kwargs;
  if (!kwargs.is_null() && !kwargs.is_object()) {
    throw core::TypeError("prompt_builder_kwargs must be an object, got " + core::py_repr(kwargs) +
                          ".");
  }
  if (kwargs.is_object()) {
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
      if (it.key() != "key_defaults") {
        throw core::TypeError("PromptBuilder got an unexpected keyword argument " +
                              core::py_repr(it.key()));
      }
      key_defaults = it.value();
    }
  }
  return PromptBuilder(options.system_template, options.user_template, std::move(key_defaults));
}

std::vector<Message> PromptBuilder::format(const FormatOptions& options) const {
  const core::Value& given = options.variables;
  if (!given.is_null() && !given.is_object()) {
    throw core::TypeError("The prompt variables must be an object, got " + core::py_repr(given) +
                          ".");
  }
  core::Value variables = core::Value::object();
  if (options.query) {
    if (given.is_object() && given.contains("query")) {
      throw core::TypeError("format() got multiple values for keyword argument 'query'");
    }
    variables["query"] = *options.query;
  }
  if (given.is_object()) {
    for (auto it = given.begin(); it != given.end(); ++it) variables[it.key()] = it.value();
  }
  for (const auto& key : prompt_key_set_) {
    auto fallback = key_defaults_.find(key);
    if (!variables.contains(key) && fallback != key_defaults_.end()) variables[key] = *fallback;
  }

  std::vector<Message> messages;
  if (!system_template_.empty()) {
    messages.push_back(Message::system(core::py_format(system_template_, variables)));
  }
  if (options.history) {
    messages.insert(messages.end(), options.history->begin(), options.history->end());
  }
  Message user{.role = MessageRole::USER, .contents = {}};
  if (!user_template_.empty()) {
    std::string text = core::py_format(user_template_, variables);
    if (!text.empty()) user.contents.emplace_back(std::move(text));
  }
  if (options.extra_contents) {
    user.contents.insert(user.contents.end(), options.extra_contents->begin(),
                         options.extra_contents->end());
  }
  if (!user.contents.empty()) messages.push_back(std::move(user));
  return messages;
}

std::string AgnosticPromptFormatter::format(const std::vector<Message>& messages) const {
  if (messages.size() == 1 && messages.front().role == MessageRole::USER) {
    return messages.front().text();
  }
  std::string out;
  for (const auto& message : messages) {
    if (!out.empty()) out += "\n\n";
    switch (message.role) {
      case MessageRole::SYSTEM:
        out += "System:";
        break;
      case MessageRole::USER:
        out += "User:";
        break;
      case MessageRole::ASSISTANT:
        out += "Assistant:";
        break;
    }
    for (const auto& content : message.contents) {
      if (content.is_text()) out += "\n" + content.text();
    }
  }
  return out;
}

}  // namespace zelq::inference
