// The preset templates of the map and reduce phases of the map-reduce
// strategy.
#pragma once

#include <string_view>

namespace zelq::generation::response_synthesizer::preset_prompt {

inline constexpr std::string_view MAP_SYSTEM_TEMPLATE =
    "You are a helpful assistant.\n"
    "\n"
    "Given the following context, extract only the key information relevant to the query.\n"
    "If no information is relevant to the query, return an empty string.\n"
    "\n"
    "<Context>\n"
    "{context}\n"
    "</Context>\n";

inline constexpr std::string_view MAP_USER_TEMPLATE = "{query}";

inline constexpr std::string_view REDUCE_SYSTEM_TEMPLATE =
    "You are a helpful assistant.\n"
    "\n"
    "You will be given several context containing extracted information relevant to the query,\n"
    "These contexts were extracted from different parts of the source data.\n"
    "Your task is to combine them into a single, clear, and comprehensive response.\n"
    "\n"
    "Please note that your final response should:\n"
    "1. Preserve all the key information and insights.\n"
    "2. Remove redundancy or repetition.\n"
    "3. Maintain logical flow and coherence.\n"
    "4. Answer the question directly and clearly.\n"
    "\n"
    "<Context>\n"
    "{context}\n"
    "</Context>\n";

inline constexpr std::string_view REDUCE_USER_TEMPLATE = "{query}";

}  // namespace zelq::generation::response_synthesizer::preset_prompt
