#include "zelq/generation/response_synthesizer/preset_prompt/catalog.hpp"

#include <string>
#include <string_view>

#include "zelq/core/pytext.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/map_reduce_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/refine_template.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt/stuff_template.hpp"

namespace zelq::generation::response_synthesizer::preset_prompt {
namespace {

// One catalog record; its "kwargs" is a JSON text, as the catalog takes it.
core::Value record(std::string_view name, std::string_view system, std::string_view user,
                   const core::Value& key_defaults) {
  core::Value kwargs = core::Value::object();
  kwargs["key_defaults"] = key_defaults;
  core::Value entry = core::Value::object();
  entry["name"] = std::string(name);
  entry["system"] = std::string(system);
  entry["user"] = std::string(user);
  entry["kwargs"] = core::json_dumps(kwargs);
  return entry;
}

}  // namespace

namespace detail {

const inference::PromptBuilderCatalog& preset_prompt_catalog() {
  static const inference::PromptBuilderCatalog catalog = [] {
    const core::Value context_default = {{"context", "N/A"}};
    const core::Value refine_defaults = {{"draft_response", "N/A"}, {"context", "N/A"}};
    core::Value records = core::Value::array();
    records.push_back(record("stuff", STUFF_SYSTEM_TEMPLATE, STUFF_USER_TEMPLATE, context_default));
    records.push_back(
        record("refine", REFINE_SYSTEM_TEMPLATE, REFINE_USER_TEMPLATE, refine_defaults));
    records.push_back(record("map", MAP_SYSTEM_TEMPLATE, MAP_USER_TEMPLATE, context_default));
    records.push_back(
        record("reduce", REDUCE_SYSTEM_TEMPLATE, REDUCE_USER_TEMPLATE, context_default));
    return inference::PromptBuilderCatalog::from_records(records);
  }();
  return catalog;
}

}  // namespace detail

const inference::PromptBuilderCatalog& PRESET_PROMPT_CATALOG = detail::preset_prompt_catalog();

}  // namespace zelq::generation::response_synthesizer::preset_prompt
