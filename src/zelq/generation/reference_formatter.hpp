// The reference formatter package. Exports LMBasedReferenceFormatter
// (deprecated), LMReferenceFormatter, NoOpReferenceFormatter and
// SimilarityBasedReferenceFormatter.
//
// Their options structs come with these headers. BaseReferenceFormatter,
// format_references_as_string, format_chunk_as_string and
// DEFAULT_FORMAT_CHUNK_METADATA_MAP are reachable from
// zelq/generation/reference_formatter/reference_formatter.hpp, but only the
// four formatters are the package's exports.
#pragma once

#include "zelq/generation/reference_formatter/lm_based_reference_formatter.hpp"
#include "zelq/generation/reference_formatter/lm_reference_formatter.hpp"
#include "zelq/generation/reference_formatter/no_op_reference_formatter.hpp"
#include "zelq/generation/reference_formatter/similarity_based_reference_formatter.hpp"
