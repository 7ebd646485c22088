#include "zelq/net/detail/chat_chunk_state.hpp"

#include <new>
#include <utility>

#include "zelq/core/json.hpp"

namespace zelq::net::detail {

namespace {

// A state given back by a reader on this thread, for the next reader to
// take. A plain pointer, freed by the guard below when the thread ends; once
// the guard is gone (a reader destroyed during the thread's last clean-up),
// a state given back is freed at once.
thread_local ChatChunkState* kept_state = nullptr;
thread_local bool kept_state_gone = false;

struct KeptStateGuard {
  ~KeptStateGuard() {
    kept_state_gone = true;
    std::unique_ptr<ChatChunkState> freed(std::exchange(kept_state, nullptr));
  }
};

}  // namespace

void count_buffers(ChatChunkState& state) noexcept {
  state.buffers = sizeof(ChatChunkState) + parser_bytes(state.parser.capacity()) +
                  state.text.capacity() + state.container_text.capacity() +
                  state.chunk.choices.capacity() * sizeof(ChatChoice);
  if (state.containers) {
    state.buffers += sizeof(simdjson::dom::parser) + dom_bytes(state.containers->capacity());
  }
}

bool keepable(ChatChunkState& state) noexcept {
  state.chunk.choices.clear();
  state.chunk.search_results.reset();
  state.texts = 0;
  return held(state) <= ChatChunkReader::kKeptStateBytes;
}

std::unique_ptr<ChatChunkState> take_state() {
  if (ChatChunkState* kept = std::exchange(kept_state, nullptr)) {
    return std::unique_ptr<ChatChunkState>(kept);
  }
  auto made = std::make_unique<ChatChunkState>();
  // A first capacity with the library's nesting limit; iterate() grows the
  // capacity and keeps the limit.
  if (made->parser.allocate(kFirstCapacity, core::kMaxJsonDepth)) throw std::bad_alloc();
  count_buffers(*made);
  return made;
}

void give_back(std::unique_ptr<ChatChunkState> state) noexcept {
  if (!state || kept_state_gone || kept_state != nullptr || !keepable(*state)) return;
  thread_local KeptStateGuard guard;
  kept_state = state.release();
}

}  // namespace zelq::net::detail
