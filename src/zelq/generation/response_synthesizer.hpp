// The response synthesizer package. Exports ResponseSynthesizer, with its
// preset factory (ResponseSynthesizer::preset()).
//
// The options structs that its constructors and calls take come with these
// headers; the strategies are exported by
// zelq/generation/response_synthesizer/strategy.hpp and the prompt catalog by
// zelq/generation/response_synthesizer/preset_prompt.hpp.
#pragma once

#include "zelq/generation/response_synthesizer/preset_factory.hpp"
#include "zelq/generation/response_synthesizer/response_synthesizer.hpp"
