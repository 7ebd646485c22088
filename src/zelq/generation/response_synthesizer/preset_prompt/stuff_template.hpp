// The preset templates of the stuff strategy.
#pragma once

#include <string_view>

namespace zelq::generation::response_synthesizer::preset_prompt {

inline constexpr std::string_view STUFF_SYSTEM_TEMPLATE =
    "You are a helpful assistant.\n"
    "Given the following context and query, synthesize a response.\n"
    "\n"
    "<Context>\n"
    "{context}\n"
    "</Context>";

inline constexpr std::string_view STUFF_USER_TEMPLATE = "{query}";

}  // namespace zelq::generation::response_synthesizer::preset_prompt
