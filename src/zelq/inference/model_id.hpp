// Model identifiers, model providers and provider-side data stores.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "zelq/core/value.hpp"

namespace zelq::inference {

// Providers that the library names itself.
enum class ModelProvider { OPENAI, GOOGLE };

// "openai" or "google": the provider part of a model id.
std::string_view to_string(ModelProvider provider);
// Parses "openai" or "google" (exact text). Throws ValueError naming the
// text and the valid values.
ModelProvider parse_model_provider(std::string_view text);

// A model identifier "provider/name", e.g. "openai/gpt-5-nano". The name may
// itself hold slashes ("openai-compatible/meta/llama-3"): the provider part
// ends at the first slash.
struct ModelId {
  std::string provider{};
  std::string name{};

  // Parses "provider/name". Throws ValueError naming the text when it has no
  // slash, or an empty provider or name part.
  static ModelId from_string(std::string_view model_id);

  // "provider/name".
  std::string to_string() const;

  bool operator==(const ModelId&) const = default;
};

// A model id as text or as a parsed ModelId: what every builder accepts.
using ModelIdArg = std::variant<std::string, ModelId>;

// The ModelId of either form. Throws ValueError for a malformed text.
ModelId to_model_id(const ModelIdArg& model_id);

// A data store held at a provider (for example a file-search store), named
// by its provider-side id.
struct AttachmentStore {
  ModelProvider provider = ModelProvider::OPENAI;
  std::string id{};

  // {"provider": "<provider>", "id": "<id>"}: the form kept inside tool
  // keyword arguments.
  core::Value to_value() const;
  // The inverse of to_value(). Throws ValueError naming what is missing or
  // wrong.
  static AttachmentStore from_value(const core::Value& value);

  bool operator==(const AttachmentStore&) const = default;
};

}  // namespace zelq::inference
