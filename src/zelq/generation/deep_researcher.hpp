// The deep researcher package: adapters that hand one research query to an
// outside deep-research service and return its answer, thinking and
// citations. Exports the researchers, one per outside service,
// OrvoOpenDeepResearcher,
// GoogleDeepResearcher, OpenAIDeepResearcher, ParallelDeepResearcher,
// PerplexityDeepResearcher.
//
// The contract they share, BaseDeepResearcher with ResearchRequest and the
// research front, is not exported here: a researcher of one's own includes
// zelq/generation/deep_researcher/deep_researcher.hpp.
#pragma once

#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/orvo_open_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/perplexity_deep_researcher.hpp"
#include "zelq/generation/deep_researcher/parallel_deep_research.hpp"
