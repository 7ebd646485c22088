#include "zelq/core/event.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

#include "zelq/core/uuid.hpp"

namespace zelq::core {

std::string_view to_string(EventLevel level) {
  switch (level) {
    case EventLevel::DEBUG:
      return "DEBUG";
    case EventLevel::INFO:
      return "INFO";
    case EventLevel::WARNING:
      return "WARNING";
    case EventLevel::ERROR:
      return "ERROR";
  }
  return "INFO";
}

Value Event::to_value() const {
  Value out = Value::object();
  out["id"] = id;
  out["type"] = type;
  out["value"] = value;
  out["level"] = std::string(to_string(level));
  return out;
}

EventEmitter::EventEmitter(std::vector<Handler> handlers)
    : handlers_(std::make_move_iterator(handlers.begin()),
                std::make_move_iterator(handlers.end())) {}

void EventEmitter::add_handler(Handler handler) { handlers_.push_back(std::move(handler)); }

boost::asio::awaitable<void> EventEmitter::emit(Event event) {
  // The event lives in this frame while the handlers take it. One handler
  // (the usual case) is awaited directly, without a frame of emit_each; one
  // added meanwhile goes behind it and is not part of this emission.
  if (handlers_.size() == 1) {
    co_await handlers_.front()(event);
  } else {
    co_await emit_each(event);
  }
}

boost::asio::awaitable<void> EventEmitter::emit_each(const Event& event) {
  // Counted at the start, and indexed each time: handlers added while one
  // awaits go to the end and are not part of this emission.
  const std::size_t count = handlers_.size();
  for (std::size_t i = 0; i < count; ++i) {
    co_await handlers_[i](event);
  }
}

boost::asio::awaitable<void> EventEmitter::emit(Value value, EventLevel level,
                                                std::string_view type) {
  // Not a coroutine: the event is built now, so `type` need not outlive the
  // returned awaitable.
  Event event{
      .id = new_uuid(), .type = std::string(type), .value = std::move(value), .level = level};
  return emit(std::move(event));
}

}  // namespace zelq::core
