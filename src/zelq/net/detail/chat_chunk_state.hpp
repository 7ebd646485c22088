// Internal to zelq_net (it pulls in simdjson): what a ChatChunkReader holds,
// the count of its heap against the read's budget, and the one state a
// thread keeps between readers.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>

#include "zelq/net/chat_chunk.hpp"

namespace zelq::net::detail {

// What a reader holds while it reads.
struct ChatChunkState {
  simdjson::ondemand::parser parser;
  std::string text;  // the chunk, padded as simdjson reads it
  // Containers the reader does not use are checked by a DOM parser, made at
  // the first one.
  std::unique_ptr<simdjson::dom::parser> containers;
  std::string container_text;
  ChatChunk chunk;  // its storage reused from chunk to chunk
  // The most heap a read may hold; what the parsers and buffers above hold,
  // counted again whenever one grows; and what the texts of the chunk read
  // may hold (twice its size at most: each is a part of it, with the
  // allocator's header).
  std::size_t max_memory = 0;
  std::size_t buffers = 0;
  std::size_t texts = 0;
  bool message = false;  // the text being read is a whole answer
  // The text has no backslash, so no key or string in it has an escape to
  // check: one scan of the chunk instead of one per string.
  bool plain = false;
};

// The capacity of a new state's parser.
inline constexpr std::size_t kFirstCapacity = 4096;

// What simdjson's parsers hold at a capacity of `bytes`, from above: about
// 5.7 (on-demand) and 13.7 (DOM, with its document) bytes a byte, and some
// 5 KiB of nesting tables each.
constexpr std::size_t parser_bytes(std::size_t capacity) {
  return capacity == 0 ? 0 : 6 * capacity + 8192;
}
constexpr std::size_t dom_bytes(std::size_t capacity) {
  return capacity == 0 ? 0 : 14 * capacity + 8192;
}

// Counts what the parsers and buffers of `state` hold, after one grew.
void count_buffers(ChatChunkState& state) noexcept;

// The heap `state` holds.
inline std::size_t held(const ChatChunkState& state) { return state.buffers + state.texts; }

// True when the read may take `more` bytes of heap beyond what it holds.
inline bool fits(const ChatChunkState& state, std::size_t more) {
  return more <= state.max_memory && held(state) <= state.max_memory - more;
}

// What assigning `size` bytes to `text` takes: a string that grows takes
// at least twice what it had.
inline std::size_t growth(const std::string& text, std::size_t size) {
  return size <= text.capacity() ? 0 : std::max(size, 2 * text.capacity());
}

// Drops the chunk last read; true when what `state` holds then is at most
// ChatChunkReader::kKeptStateBytes.
bool keepable(ChatChunkState& state) noexcept;

// The state of a reader that needs one: the one kept on this thread, else a
// new one.
std::unique_ptr<ChatChunkState> take_state();

// Keeps `state` for the next reader on this thread when none is kept and
// it is keepable(); frees it otherwise.
void give_back(std::unique_ptr<ChatChunkState> state) noexcept;

}  // namespace zelq::net::detail
