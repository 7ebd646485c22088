// The inference library: language-model and embedding invokers, prompts,
// language-model components and their records.
#pragma once

#include "zelq/inference/catalog.hpp"
#include "zelq/inference/em_invoker.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/request_processor.hpp"
#include "zelq/inference/schema.hpp"
#include "zelq/inference/think_tag_output_transformer.hpp"
