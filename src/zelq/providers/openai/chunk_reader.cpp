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
  net::ChatChunkReader reader(kMaxAnswerSize);
  return read_chunk_fast(reader, data, part);
}

namespace {

// The part of the first choice of `chunk`, every field of `part` set.
void take_part(net::ChatChunk& chunk, ChoicePart& part) {
  part.thinking.reset();
  part.text.reset();
  part.refusal.reset();
  part.finish_reason.reset();
  if (chunk.choices.empty()) return;
  net::ChatChoice& first = chunk.choices.front();
  part.finish_reason = std::move(first.finish_reason);
  if (!first.delta) return;
  part.text = std::move(first.delta->content);
  part.refusal = std::move(first.delta->refusal);
  // As read_choice: reasoning_content, else reasoning.
  part.thinking = first.delta->reasoning_content ? std::move(first.delta->reasoning_content)
                                                 : std::move(first.delta->reasoning);
}

}  // namespace

bool read_chunk_fast(net::ChatChunkReader& reader, std::string_view data,
                     ChoicePart& part) noexcept {
  net::ChatChunk* chunk = reader.read(data);
  if (chunk == nullptr) return false;
  take_part(*chunk, part);
  return true;
}

std::optional<ChoicePart> read_answer_fast(std::string_view answer,
                                           std::size_t max_memory) noexcept {
  try {
    net::ChatChunkReader reader(max_memory);
    net::ChatChunk* read = reader.read(answer, net::ChatChunkReader::Part::MESSAGE);
    // An answer without a message in its first choice is the full path's
    // to refuse.
    if (read == nullptr || read->choices.empty() || !read->choices.front().delta) {
      return std::nullopt;
    }
    std::optional<ChoicePart> part(std::in_place);
    take_part(*read, *part);
    return part;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace zelq::providers::openai
