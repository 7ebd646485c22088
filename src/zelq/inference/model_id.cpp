#include "zelq/inference/model_id.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::inference {

std::string_view to_string(ModelProvider provider) {
  switch (provider) {
    case ModelProvider::OPENAI:
      return "openai";
    case ModelProvider::GOOGLE:
      return "google";
  }
  return "openai";
}

ModelProvider parse_model_provider(std::string_view text) {
  for (auto provider : {ModelProvider::OPENAI, ModelProvider::GOOGLE}) {
    if (to_string(provider) == text) return provider;
  }
  throw core::ValueError("Unknown model provider " + core::py_repr(text) +
                         "; valid providers: 'openai', 'google'.");
}

ModelId ModelId::from_string(std::string_view model_id) {
  const auto slash = model_id.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == model_id.size()) {
    throw core::ValueError("Invalid model id " + core::py_repr(model_id) +
                           ": expected 'provider/model-name', e.g. 'openai/gpt-5-nano'.");
  }
  return ModelId{.provider = std::string(model_id.substr(0, slash)),
                 .name = std::string(model_id.substr(slash + 1))};
}

std::string ModelId::to_string() const { return provider + "/" + name; }

ModelId to_model_id(const ModelIdArg& model_id) {
  if (const auto* parsed = std::get_if<ModelId>(&model_id)) {
    if (parsed->provider.empty() || parsed->name.empty()) {
      // A hand-made ModelId gets the same check as a text.
      return ModelId::from_string(parsed->to_string());
    }
    return *parsed;
  }
  return ModelId::from_string(std::get<std::string>(model_id));
}

core::Value AttachmentStore::to_value() const {
  return core::Value{{"provider", std::string(inference::to_string(provider))}, {"id", id}};
}

AttachmentStore AttachmentStore::from_value(const core::Value& value) {
  if (!value.is_object()) {
    throw core::ValueError("An attachment store must be an object, got " + core::py_repr(value) +
                           ".");
  }
  auto provider = value.find("provider");
  auto id = value.find("id");
  if (provider == value.end() || !provider->is_string() || id == value.end() || !id->is_string()) {
    throw core::ValueError("An attachment store needs the texts 'provider' and 'id', got " +
                           core::py_repr(value) + ".");
  }
  return AttachmentStore{.provider = parse_model_provider(provider->get<std::string>()),
                         .id = id->get<std::string>()};
}

}  // namespace zelq::inference
