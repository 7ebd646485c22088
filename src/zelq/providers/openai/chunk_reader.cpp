#include "zelq/providers/openai/detail/chunk_reader.hpp"

#include "zelq/net/chat_chunk.hpp"

namespace zelq::providers::openai {

std::optional<ChoicePart> read_chunk_fast(std::string_view data) noexcept {
  try {
    std::optional<ChoicePart> part(std::in_place);
    if (!read_chunk_fast(data, *part)) return std::nullopt;
    return part;
  } catch (...) {
    return std::nullopt;
  }
}

bool read_chunk_fast(std::string_view data, ChoicePart& part) noexcept {
  net::ChatChunkReader reader;
  return read_chunk_fast(reader, data, part);
}

bool read_chunk_fast(net::ChatChunkReader& reader, std::string_view data,
                     ChoicePart& part) noexcept {
  net::ChatChunk* read = reader.read(data);
  if (read == nullptr) return false;
  net::ChatChunk& chunk = *read;
  part.thinking.reset();
  part.text.reset();
  part.refusal.reset();
  part.finish_reason.reset();
  if (chunk.choices.empty()) return true;
  net::ChatChoice& first = chunk.choices.front();
  part.finish_reason = std::move(first.finish_reason);
  if (!first.delta) return true;
  part.text = std::move(first.delta->content);
  part.refusal = std::move(first.delta->refusal);
  // As read_choice: reasoning_content, else reasoning.
  part.thinking = first.delta->reasoning_content ? std::move(first.delta->reasoning_content)
                                                 : std::move(first.delta->reasoning);
  return true;
}

}  // namespace zelq::providers::openai
