// The one input record of every synthesis strategy.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_prompt_key.hpp"
#include "zelq/inference/message.hpp"

namespace zelq::generation::response_synthesizer::strategy {

// The inputs of one synthesis call: a strategy receives them all through
// this record.
//
// A context serves one synthesis call: while it runs, the strategy writes the
// prompt variables "context" and "draft_response" into `kwargs`, sets
// `event_emitter` to null and back around model calls that must not stream,
// and the map-reduce strategy replaces `chunks` by the chunks made from its
// drafts. The other fields are only read. Do not share a context between
// concurrent calls.
struct SynthesisContext {
  // The input query.
  std::string query{};
  // The chunks to be used as context; never null items (see validate()).
  std::vector<core::ChunkPtr> chunks{};
  // The conversation history; nullopt means none.
  std::optional<std::vector<inference::Message>> history{};
  // Extra contents for the request; nullopt means none.
  std::optional<std::vector<inference::MessageContent>> extra_contents{};
  // Hyperparameters passed to the language model: an object, or null for
  // none.
  core::Value hyperparameters = nullptr;
  // The emitter for events during synthesis; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
  // The most model calls of each language-model invocation (each one on its
  // own; nothing counts across invocations).
  int max_lm_calls = 5;
  // Further values for particular strategies: the extra prompt variables, by
  // name (an object).
  core::Value kwargs = core::Value::object();
  // The keys of `kwargs` that a strategy stored as SynthesisPromptKey members
  // (set_prompt_variable on a key that was not there yet). Such a key keeps
  // printing as the member in warnings, as a mapping keyed by a text
  // enumeration member does. Maintained by set_prompt_variable.
  std::set<std::string, std::less<>> member_keys{};

  // Stores `value` in `kwargs` under `key`. When `kwargs` does not hold the
  // key yet, it is stored as the member (see member_keys); an existing
  // entry keeps its key and its position. A null `kwargs` becomes an object.
  // Throws ValidationError when `kwargs` is neither null nor an object.
  void set_prompt_variable(SynthesisPromptKey key, core::Value value);

  // The printed representation of the `kwargs` key `key`: the member's
  // representation (<SynthesisPromptKey.CONTEXT: 'context'>) for a key stored
  // as a member, else the quoted text ('context').
  std::string key_repr(std::string_view key) const;

  // Checks the fields against their declared types, as the record does at
  // construction: no null chunk, `hyperparameters` null or an object,
  // `kwargs` an object. Throws ValidationError naming the field; changes
  // nothing.
  void validate() const;
};

}  // namespace zelq::generation::response_synthesizer::strategy
