// Blocks of streamed text as events: a start event, content events and an
// end event of one kind (thinking or response) under one id. The one writer
// of such blocks for the components that stream them.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"

namespace zelq::inference {

enum class BlockKind { THINKING, RESPONSE };

// Writes blocks of one kind to an emitter, one block open at a time. With a
// null emitter it sends nothing and no block is ever open. Not thread-safe;
// the writer must outlive each awaitable it returns. Each awaitable throws
// what the emitter throws; the event is built when the call is made.
class EventBlockWriter {
 public:
  EventBlockWriter(std::shared_ptr<core::EventEmitter> emitter, BlockKind kind)
      : emitter_(std::move(emitter)), kind_(kind) {}

  // True between start() and end() (never without an emitter).
  bool is_open() const noexcept { return open_; }
  // The id of the open block ("" when none is open).
  const std::string& id() const noexcept { return id_; }

  // Opens a new block under a fresh UUID (core::fast_uuid) and sends its
  // start event. A block still open is left as it is, without an end event.
  boost::asio::awaitable<void> start();
  // Sends `text` as a content event of the open block; nothing when no
  // block is open.
  boost::asio::awaitable<void> content(std::string text);
  // Sends the end event of the open block and closes it; nothing when no
  // block is open.
  boost::asio::awaitable<void> end();

 private:
  std::shared_ptr<core::EventEmitter> emitter_;
  BlockKind kind_;
  bool open_ = false;
  std::string id_;
};

// Sends one block of `text` to `emitter` (nothing when it is null): the
// start, content and end events of `kind` under one fresh UUID, each awaited
// before the next. Throws what the emitter throws; a block whose emit fails
// gets no end event. The emitter is kept alive by the awaitable.
boost::asio::awaitable<void> emit_block(std::shared_ptr<core::EventEmitter> emitter, BlockKind kind,
                                        std::string text);

}  // namespace zelq::inference
