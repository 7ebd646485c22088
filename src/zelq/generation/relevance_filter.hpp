// The relevance filter package: components that keep, of a query's
// retrieved chunks, those a language model or an embedding comparison
// judges relevant. Exports LMBasedRelevanceFilter, LMRelevanceFilter and
// SimilarityBasedRelevanceFilter.
//
// Their options structs and the response schemas come with these headers;
// BaseRelevanceFilter, the base of a filter of one's own, is reachable from
// zelq/generation/relevance_filter/relevance_filter.hpp but is not exported.
#pragma once

#include "zelq/generation/relevance_filter/lm_based_relevance_filter.hpp"
#include "zelq/generation/relevance_filter/lm_relevance_filter.hpp"
#include "zelq/generation/relevance_filter/similarity_based_relevance_filter.hpp"
