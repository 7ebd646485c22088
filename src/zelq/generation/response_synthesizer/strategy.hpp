// The strategies a ResponseSynthesizer answers with: how chunks become
// model calls and an answer. Exports
// MapReduceSynthesisStrategy, RefineSynthesisStrategy,
// StaticListSynthesisStrategy, StuffSynthesisStrategy and SynthesisContext.
//
// BaseSynthesisStrategy and SynthesisPromptKey come with these headers from
// zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp but
// are not exports of the package.
#pragma once

#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/refine_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/static_list_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/stuff_synthesis_strategy.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_context.hpp"
