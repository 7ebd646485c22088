// How the demo shows a streamed answer: the answer on stdout as it
// arrives, the model's reasoning apart on stderr.
#pragma once

#include <memory>
#include <string>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/lm_output.hpp"

namespace zelq_demo {

// What the terminal has shown of one streamed answer.
struct Terminal {
  bool open_line = false;       // answer text since the last line break
  bool answer_shown = false;    // answer text printed
  bool thinking_shown = false;  // reasoning printed in the open block
  std::string thinking_space;   // white space held back at its end
};

// An emitter for the answer's events. Answer text goes to stdout as it
// arrives, a line break after it. Reasoning goes to stderr as one
// "[thinking] ..." line per thinking block: the thinking a server streams,
// and <think>...</think> that a model writes inside its answer, which the
// library's think-tag transformer takes out of the answer on the way. White
// space at the start of the answer and around the reasoning is not shown.
std::shared_ptr<zelq::core::EventEmitter> answer_emitter(std::shared_ptr<Terminal> terminal);

// The answer text of `output` without its <think>...</think> parts.
zelq::core::Value answer_text(const zelq::inference::LMOutput& output);

}  // namespace zelq_demo
