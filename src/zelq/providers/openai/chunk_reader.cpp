#include "zelq/providers/openai/detail/chunk_reader.hpp"

#include "zelq/net/chat_chunk.hpp"

namespace zelq::providers::openai {

std::optional<ChoicePart> read_chunk_fast(std::string_view data) noexcept {
  try {
    // Reused: a streamed answer reads thousands of chunks.
    thread_local net::ChatChunk chunk;
    if (!net::read_chat_chunk(data, chunk)) return std::nullopt;
    ChoicePart part;
    if (chunk.choices.empty()) return part;
    net::ChatChoice& first = chunk.choices.front();
    part.finish_reason = std::move(first.finish_reason);
    if (!first.delta) return part;
    part.text = std::move(first.delta->content);
    part.refusal = std::move(first.delta->refusal);
    // As read_choice: reasoning_content, else reasoning.
    part.thinking = first.delta->reasoning_content ? std::move(first.delta->reasoning_content)
                                                   : std::move(first.delta->reasoning);
    return part;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace zelq::providers::openai
