// The preset templates of the refine strategy.
#pragma once

#include <string_view>

namespace zelq::generation::response_synthesizer::preset_prompt {

inline constexpr std::string_view REFINE_SYSTEM_TEMPLATE =
    "You are a helpful assistant.\n"
    "Refine the draft response based on the new context(s) to answer the query.\n"
    "\n"
    "<Draft Response>\n"
    "{draft_response}\n"
    "</Draft Response>\n"
    "\n"
    "<Context>\n"
    "{context}\n"
    "</Context>";

inline constexpr std::string_view REFINE_USER_TEMPLATE = "{query}";

}  // namespace zelq::generation::response_synthesizer::preset_prompt
