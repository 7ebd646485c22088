// Reads the few fields of a streamed chat-completion chunk without building
// a core::Value: the JSON parse is most of the CPU per streamed token.
#pragma once

#include <optional>
#include <string_view>

#include "zelq/net/chat_chunk.hpp"
#include "zelq/providers/openai/detail/chat_request.hpp"

namespace zelq::providers::openai {

// The part of the first choice's "delta" of the chunk `data` (see
// read_choice), read by a net::ChatChunkReader of its own. Returns nullopt when the chunk is
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
// first choice's "message", as read_choice(answer, "message", ...) reads it.
// nullopt as above, and also when the first choice has no message object:
// the caller then reads the answer with read_choice, which names what is
// wrong.
std::optional<ChoicePart> read_answer_fast(std::string_view answer) noexcept;

}  // namespace zelq::providers::openai
