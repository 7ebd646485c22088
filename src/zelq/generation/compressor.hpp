// The compressor package. Exports LLMLinguaCompressor alone.
//
// Its options (LLMLinguaCompressorOptions) and the backend interface it
// runs on (PromptCompressorBackend, PromptCompressorFactory) come with this
// header from zelq/generation/compressor/llmlingua_compressor.hpp, and the
// base BaseCompressor with CompressOptions from
// zelq/generation/compressor/compressor.hpp, but only LLMLinguaCompressor is
// the package's export.
#pragma once

#include "zelq/generation/compressor/llmlingua_compressor.hpp"
