// The ready-made prompts of the synthesis strategies, looked up by preset
// name. Exports PRESET_PROMPT_CATALOG.
//
// The template constants (STUFF_SYSTEM_TEMPLATE and the others) are public
// names of their own headers in zelq/generation/response_synthesizer/
// preset_prompt/, not exports of the package.
#pragma once

#include "zelq/generation/response_synthesizer/preset_prompt/catalog.hpp"
