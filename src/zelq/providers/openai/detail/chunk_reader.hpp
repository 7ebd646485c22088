// Reads the few fields of a streamed chat-completion chunk without building
// a core::Value: the JSON parse is most of the CPU per streamed token.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "zelq/net/chat_chunk.hpp"
#include "zelq/providers/openai/detail/chat_request.hpp"

namespace zelq::providers::openai {

// The largest answer an OpenAI client reads (embeddings of a large batch
// are big), and the most heap reading one answer or event may hold: its
// max_body_size.
inline constexpr std::size_t kMaxAnswerSize = std::size_t{256} << 20;

// The part of the first choice's "delta" of the chunk `data` (see
// read_choice), read by a net::ChatChunkReader of its own, held to
// kMaxAnswerSize. Returns nullopt when the chunk is
// anything but a plain, valid chunk: not JSON, not an object, holding "error", or a field of an
// unexpected kind. The caller then reads it with read_choice, which gives the exact error. Never
// throws.
std::optional<ChoicePart> read_chunk_fast(std::string_view data) noexcept;
// The same into `part`, every field of which it sets; false, with `part`
// unchanged, where the other gives nullopt.
bool read_chunk_fast(std::string_view data, ChoicePart& part) noexcept;
// The same with `reader`, the reader of the stream the chunk came from.
bool read_chunk_fast(net::ChatChunkReader& reader, std::string_view data,
                     ChoicePart& part) noexcept;

// The same for the text of a whole (not streamed) answer: the part of its
// first choice's "message", as read_choice(answer, "message", ...) reads it,
// holding at most `max_memory` bytes of heap (the client's budget for an
// answer). nullopt as above, also when reading the answer would take more,
// and when the first choice has no message object: the caller then parses
// the answer within the same budget, which names what is wrong.
std::optional<ChoicePart> read_answer_fast(std::string_view answer,
                                           std::size_t max_memory) noexcept;

}  // namespace zelq::providers::openai
