// The catalog of preset prompts from which ready-made synthesizers are built.
#pragma once

#include "zelq/inference/catalog.hpp"

namespace zelq::generation::response_synthesizer::preset_prompt {

// The preset prompts, in this order: "stuff" (STUFF_SYSTEM_TEMPLATE,
// STUFF_USER_TEMPLATE; key default "context" -> "N/A"), "refine"
// (REFINE_*; "draft_response" -> "N/A", then "context" -> "N/A"), "map"
// (MAP_*; "context" -> "N/A") and "reduce" (REDUCE_*; "context" -> "N/A").
// Reach an entry as PRESET_PROMPT_CATALOG["stuff"]. Built once, during
// static initialisation of the library, and never changed; safe to read from
// any thread (not from another translation unit's static initialisers: use
// detail::preset_prompt_catalog() there).
extern const inference::PromptBuilderCatalog& PRESET_PROMPT_CATALOG;

namespace detail {
// The catalog PRESET_PROMPT_CATALOG refers to, built on the first call.
const inference::PromptBuilderCatalog& preset_prompt_catalog();
}  // namespace detail

}  // namespace zelq::generation::response_synthesizer::preset_prompt
