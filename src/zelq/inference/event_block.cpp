#include "zelq/inference/event_block.hpp"

#include <utility>

#include "zelq/core/fast_uuid.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference {

namespace asio = boost::asio;

namespace {

asio::awaitable<void> nothing() { co_return; }

// The event of a block's `part` (0 start, 1 content, 2 end) under `id`:
// the type is the one ThinkingEvent or ResponseEvent gives, taken once.
core::Event block_event(BlockKind kind, int part, std::string id, core::Value value) {
  static const std::string kTypes[2][3] = {
      {ThinkingEvent::start("").type, ThinkingEvent::content("", "").type,
       ThinkingEvent::end("").type},
      {ResponseEvent::start("").type, ResponseEvent::content("", "").type,
       ResponseEvent::end("").type}};
  return core::Event{.id = std::move(id),
                     .type = kTypes[kind == BlockKind::THINKING ? 0 : 1][part],
                     .value = std::move(value),
                     .level = core::EventLevel::INFO};
}

}  // namespace

core::Event block_start(BlockKind kind, std::string id) {
  return block_event(kind, 0, std::move(id), "");
}

core::Event block_content(BlockKind kind, std::string id, std::string text) {
  return block_event(kind, 1, std::move(id), std::move(text));
}

core::Event block_end(BlockKind kind, std::string id) {
  return block_event(kind, 2, std::move(id), "");
}

// Not coroutines: each hands the emitter's own awaitable back, so a block
// costs no frame of its own.
asio::awaitable<void> EventBlockWriter::start() {
  if (!emitter_) return nothing();
  id_ = core::fast_uuid();
  open_ = true;
  return emitter_->emit(block_start(kind_, id_));
}

asio::awaitable<void> EventBlockWriter::content(std::string text) {
  if (!open_) return nothing();
  return emitter_->emit(block_content(kind_, id_, std::move(text)));
}

asio::awaitable<void> EventBlockWriter::end() {
  if (!open_) return nothing();
  open_ = false;
  return emitter_->emit(block_end(kind_, std::exchange(id_, std::string())));
}

asio::awaitable<void> emit_block(std::shared_ptr<core::EventEmitter> emitter, BlockKind kind,
                                 std::string text) {
  if (!emitter) co_return;
  EventBlockWriter block(std::move(emitter), kind);
  co_await block.start();
  co_await block.content(std::move(text));
  co_await block.end();
}

}  // namespace zelq::inference
