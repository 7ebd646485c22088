// Reads the fields of a streamed chat-completion chunk that clients use,
// without building a core::Value of the rest. The JSON parse is most of the
// CPU per streamed piece, and some services repeat large fields in every
// chunk (Perplexity sends the whole answer so far in each choice's
// "message"): those are skipped, not materialised.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelq::net {

// A choice's "delta": each field a text when the chunk has one (absent or
// null gives nullopt).
struct ChatDelta {
  // Made member by member, not zero-filled first as a defaulted constructor
  // would be: a reader makes one per chunk.
  ChatDelta() noexcept {}  // NOLINT(modernize-use-equals-default)

  std::optional<std::string> content{};
  std::optional<std::string> refusal{};
  std::optional<std::string> reasoning_content{};
  std::optional<std::string> reasoning{};
};

struct ChatChoice {
  ChatChoice() noexcept {}  // NOLINT(modernize-use-equals-default): as ChatDelta's

  // nullopt when the choice has no delta (absent or null).
  std::optional<ChatDelta> delta{};
  std::optional<std::string> finish_reason{};
};

struct ChatChunk {
  std::vector<ChatChoice> choices{};
  // The JSON text of the chunk's "search_results", a list of objects (as
  // sent, between its brackets); nullopt when the chunk has none (absent or
  // null). Kept as text: a service that repeats the same list in every
  // chunk lets its reader compare the text rather than parse it again.
  std::optional<std::string> search_results{};
};

// Reads the chunk `data` with simdjson's on-demand parser (one parser per
// thread). Returns nullopt when the chunk is anything but a plain, valid
// chunk: not JSON (fields it does not use are read through as well, as the
// full parse reads them), nested deeper than 512 levels, not an object,
// holding "error", repeating a key it reads (the full parse keeps the last
// value), "choices" that is not a list of objects, a delta that is neither
// an object nor null, a delta field or finish reason that is neither a text
// nor null, "search_results" that is neither a list of objects nor null, or
// anything after the object. It also gives nullopt for some valid JSON it
// does not read, numbers beyond 64 bits or out of a double's range among
// them. The caller then reads the chunk as a core::Value, which names what
// is wrong or takes what is right. Never throws.
std::optional<ChatChunk> read_chat_chunk(std::string_view data) noexcept;
// The same into `chunk`, whose storage is reused: a reader of many chunks
// allocates nothing per chunk for them. False where the other gives nullopt
// (`chunk` then holds what was read before the problem).
bool read_chat_chunk(std::string_view data, ChatChunk& chunk) noexcept;

}  // namespace zelq::net
