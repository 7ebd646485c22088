// Events that components send to the application, and the emitter that
// delivers them to the application's handlers.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"

namespace zelq::core {

// The vocabulary of event types. A block of streamed text is sent as a start
// event (type + EventTypeSuffix::START), content events and an end event
// (type + EventTypeSuffix::END), all under one id.
struct EventType {
  static constexpr std::string_view RESPONSE = "response";
  static constexpr std::string_view REFERENCE = "reference";
  static constexpr std::string_view THINKING = "thinking";
  static constexpr std::string_view ACTIVITY = "activity";
};

struct EventTypeSuffix {
  static constexpr std::string_view START = "_start";
  static constexpr std::string_view END = "_end";
};

enum class EventLevel { DEBUG, INFO, WARNING, ERROR };

// "DEBUG", "INFO", "WARNING" or "ERROR".
std::string_view to_string(EventLevel level);

struct Event {
  std::string id;
  std::string type;
  Value value;  // a text or a mapping
  EventLevel level = EventLevel::INFO;

  // {"id", "type", "value", "level"}; handy for logging and wire forms.
  Value to_value() const;
  bool operator==(const Event&) const = default;
};

// Delivers events to the handlers the application registered, in order of
// registration, one event at a time. Components receive an emitter per call
// as a nullable std::shared_ptr<EventEmitter>: null means "send nothing".
//
// An emission delivers to the handlers registered when it began. A handler
// added meanwhile (by a handler, or by another coroutine while a handler
// awaits) receives the next events, not this one; registered handlers stay
// where they are, so adding never disturbs a running handler.
//
// Not thread-safe: register handlers before passing the emitter to a call,
// and emit from the executor the call runs on.
class EventEmitter {
 public:
  using Handler = std::function<boost::asio::awaitable<void>(const Event&)>;

  EventEmitter() = default;
  explicit EventEmitter(std::vector<Handler> handlers);
  virtual ~EventEmitter() = default;

  void add_handler(Handler handler);

  // Awaits each handler registered so far with the event, in order. A
  // handler's failure propagates to the emitting component and later
  // handlers do not run.
  virtual boost::asio::awaitable<void> emit(Event event);

  // Builds an event with a fresh id from a value, a level and a type, and
  // emits it. The event is built at the call, so `type` need not outlive the
  // returned awaitable.
  boost::asio::awaitable<void> emit(Value value, EventLevel level, std::string_view type);

 private:
  boost::asio::awaitable<void> emit_each(const Event& event);

  // A deque: adding a handler moves none of the others, not even while one of
  // them (a coroutine whose captures live in the handler) is running.
  std::deque<Handler> handlers_;
};

}  // namespace zelq::core
