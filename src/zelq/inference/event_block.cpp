#include "zelq/inference/event_block.hpp"

#include <utility>

#include "zelq/core/fast_uuid.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference {

namespace asio = boost::asio;

namespace {

asio::awaitable<void> nothing() { co_return; }

enum Part { START, CONTENT, END };

// The event of a block's `part` under `id`: the type is the one
// ThinkingEvent or ResponseEvent gives, taken once.
core::Event block_event(BlockKind kind, Part part, std::string id, core::Value value) {
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

// Not coroutines: each hands the emitter's own awaitable back, so a block
// costs no frame of its own.
asio::awaitable<void> EventBlockWriter::start() {
  if (!emitter_) return nothing();
  id_ = core::fast_uuid();
  open_ = true;
  return emitter_->emit(block_event(kind_, START, id_, ""));
}

asio::awaitable<void> EventBlockWriter::content(std::string text) {
  if (!open_) return nothing();
  return emitter_->emit(block_event(kind_, CONTENT, id_, std::move(text)));
}

asio::awaitable<void> EventBlockWriter::end() {
  if (!open_) return nothing();
  open_ = false;
  return emitter_->emit(block_event(kind_, END, std::exchange(id_, std::string()), ""));
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
