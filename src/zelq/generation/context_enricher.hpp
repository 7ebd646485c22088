// The context enricher package. Exports MetadataContextEnricher alone.
//
// Its options (MetadataContextEnricherOptions) and MetadataPosition come with
// this header from zelq/generation/context_enricher/metadata_context_enricher.hpp,
// and the base BaseContextEnricher from
// zelq/generation/context_enricher/context_enricher.hpp, but only
// MetadataContextEnricher is the package's export.
#pragma once

#include "zelq/generation/context_enricher/metadata_context_enricher.hpp"
