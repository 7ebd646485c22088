// The records of the inference library: messages, outputs, model ids, tools
// and events.
#pragma once

#include "zelq/inference/events.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/native_tool.hpp"
