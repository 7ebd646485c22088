// Moves the <think>...</think> part of an answer into thinking: in the
// events of a stream and in the finished output.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/inference/lm_output.hpp"

namespace zelq::inference {

// Sits between a streaming reader and the caller's emitter. Response content
// events ("response") are scanned for <think> and </think>, which may be
// split across pieces: text inside the tags is sent as a thinking block
// (thinking_start, thinking content pieces, thinking_end under one fresh id)
// and text outside them as response content under the original id; the tags
// themselves are never sent. A partial tag at the end of a piece is held
// back until the next piece shows whether it is a tag. At "response_end" the
// held-back text is sent and an open thinking block is ended before the end
// event is forwarded. "response_start" resets the state. Every other event
// passes through unchanged. Content events that come out empty are dropped.
//
// One transformer serves one stream at a time; it is not thread-safe.
class ThinkTagOutputTransformer {
 public:
  // `event_emitter` may be null: then emit() sends nothing.
  explicit ThinkTagOutputTransformer(std::shared_ptr<core::EventEmitter> event_emitter);

  // The emitter given at construction.
  const std::shared_ptr<core::EventEmitter>& event_emitter() const noexcept {
    return event_emitter_;
  }

  // Sends `event`, transformed as described above, to the emitter, awaiting
  // each emitted event in order. Does nothing without an emitter. Emitter
  // failures propagate; the transformer must outlive the awaitable.
  boost::asio::awaitable<void> emit(core::Event event);

  // The output to hand back: each text item with its <think>...</think>
  // parts removed, those parts appended as Thinking records after the
  // existing ones, in order (an unclosed <think> runs to the end of its
  // item). An item that held think-tag text and nothing else is dropped;
  // citations and the structured output are kept. Text without tags is
  // returned unchanged.
  LMOutput transform(LMOutput output) const;

 private:
  boost::asio::awaitable<void> send(core::Event event);
  boost::asio::awaitable<void> on_content(core::Event event);
  boost::asio::awaitable<void> on_end(core::Event event);
  boost::asio::awaitable<void> send_piece(const core::Event& source, std::string text);

  std::shared_ptr<core::EventEmitter> event_emitter_;
  bool in_think_ = false;
  std::string pending_;
  std::string thinking_id_;
};

}  // namespace zelq::inference
