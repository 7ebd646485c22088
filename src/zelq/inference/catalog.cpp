#include "zelq/inference/catalog.hpp"

#include <algorithm>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {
namespace {

std::string record_label(std::size_t index, const core::Value& record) {
  std::string label = "Catalog record " + std::to_string(index);
  if (record.is_object()) {
    auto name = record.find("name");
    if (name != record.end() && name->is_string()) {
      label += " (" + core::py_repr(name->get<std::string>()) + ")";
    }
  }
  return label;
}

std::string text_field(const core::Value& record, const char* field, const std::string& label) {
  auto it = record.find(field);
  if (it == record.end()) {
    throw core::ValueError(label + " has no " + core::py_repr(field) + " field.");
  }
  if (!it->is_string()) {
    throw core::ValueError(label + ": " + core::py_repr(field) + " must be a text, got " +
                           core::py_repr(*it) + ".");
  }
  return it->get<std::string>();
}

core::Value decode_kwargs(const core::Value& record, const std::string& label) {
  auto it = record.find("kwargs");
  if (it == record.end() || it->is_null()) return core::Value::object();
  if (!it->is_string()) {
    throw core::ValueError(label + ": 'kwargs' must be a JSON text, got " + core::py_repr(*it) +
                           ".");
  }
  const auto& text = it->get_ref<const std::string&>();
  if (text.empty()) return core::Value::object();
  core::Value kwargs;
  try {
    kwargs = core::parse_json_or_throw(text, label + ": 'kwargs'");
  } catch (const core::Value::parse_error& error) {
    throw core::ValueError(label + ": 'kwargs' is not valid JSON, got " + core::py_repr(text) +
                           " (" + error.what() + ").");
  }
  if (!kwargs.is_object()) {
    throw core::ValueError(label + ": 'kwargs' must be a JSON object, got " + core::py_repr(text) +
                           ".");
  }
  return kwargs;
}

PromptBuilderCatalogEntry make_entry(std::size_t index, const core::Value& record) {
  const std::string label = record_label(index, record);
  if (!record.is_object()) {
    throw core::ValueError(label + " must be an object, got " + core::py_repr(record) + ".");
  }
  PromptBuilderCatalogEntry entry;
  entry.name = text_field(record, "name", label);
  entry.system_template = text_field(record, "system", label);
  entry.user_template = text_field(record, "user", label);
  entry.kwargs = decode_kwargs(record, label);
  if (auto defaults = entry.kwargs.find("key_defaults"); defaults != entry.kwargs.end()) {
    if (!defaults->is_object()) {
      throw core::ValueError(label + ": 'key_defaults' in 'kwargs' must be an object, got " +
                             core::py_repr(*defaults) + ".");
    }
    entry.key_defaults = *defaults;
  }
  return entry;
}

}  // namespace

PromptBuilderCatalog PromptBuilderCatalog::from_records(const core::Value& records) {
  if (!records.is_array()) {
    throw core::ValueError("Catalog records must be a list, got " + core::py_repr(records) + ".");
  }
  PromptBuilderCatalog catalog;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PromptBuilderCatalogEntry entry = make_entry(i, records[i]);
    if (catalog.contains(entry.name)) {
      throw core::ValueError(record_label(i, records[i]) + ": the name " +
                             core::py_repr(entry.name) + " is used twice.");
    }
    catalog.entries_.push_back(std::move(entry));
  }
  return catalog;
}

const PromptBuilderCatalogEntry& PromptBuilderCatalog::operator[](std::string_view name) const {
  for (const auto& entry : entries_) {
    if (entry.name == name) return entry;
  }
  std::string known;
  for (const auto& entry : entries_) {
    known += (known.empty() ? "" : ", ") + core::py_repr(entry.name);
  }
  throw core::KeyError("No prompt " + core::py_repr(name) +
                       " in the catalog; known prompts: " + (known.empty() ? "none" : known) + ".");
}

bool PromptBuilderCatalog::contains(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& entry) { return entry.name == name; });
}

}  // namespace zelq::inference
