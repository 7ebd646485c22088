// A catalog of named prompts built from records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::inference {

// One named prompt: its two templates and the default values of its prompt
// variables.
struct PromptBuilderCatalogEntry {
  std::string name{};
  std::string system_template{};
  std::string user_template{};
  // The "key_defaults" object of the record's kwargs, in its order; an empty
  // object when the kwargs have none.
  core::Value key_defaults = core::Value::object();
  // The whole decoded kwargs object.
  core::Value kwargs = core::Value::object();
};

class PromptBuilderCatalog {
 public:
  // Builds a catalog from a list of records, each an object with the texts
  // "name", "system" and "user" and "kwargs": a JSON text of an object whose
  // optional member "key_defaults" is an object (a missing or empty "kwargs"
  // text means no kwargs). Entries keep record order.
  // Throws ValueError naming the record (its position and name) and the
  // problem: `records` not a list, a record not an object, a missing or
  // non-text field, malformed kwargs JSON (with the parser's message), kwargs
  // nested deeper than core::kMaxJsonDepth (512) levels ("<record>: 'kwargs'
  // is nested deeper than 512 levels"), kwargs or key_defaults not an
  // object, or a name used twice. Nothing is built
  // when any record is bad.
  static PromptBuilderCatalog from_records(const core::Value& records);

  // The entry named `name`. Throws KeyError naming it and the known names.
  const PromptBuilderCatalogEntry& operator[](std::string_view name) const;
  bool contains(std::string_view name) const;
  // All entries in record order.
  const std::vector<PromptBuilderCatalogEntry>& entries() const noexcept { return entries_; }

 private:
  std::vector<PromptBuilderCatalogEntry> entries_;
};

}  // namespace zelq::inference
