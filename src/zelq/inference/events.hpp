// Events of language-model output (response, thinking, activity) and the
// buffer a streaming reader keeps for its open block.
#pragma once

#include <string>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"

namespace zelq::inference {

// Events of a streamed answer block. Types: "response_start", "response",
// "response_end"; the start and end events carry an empty text as value, a
// content event the piece of text. Level INFO. All events of one block share
// the block's id.
struct ResponseEvent {
  static core::Event start(std::string id);
  static core::Event content(std::string id, std::string text);
  static core::Event end(std::string id);
};

// The same for a thinking block: "thinking_start", "thinking",
// "thinking_end".
struct ThinkingEvent {
  static core::Event start(std::string id);
  static core::Event content(std::string id, std::string text);
  static core::Event end(std::string id);
};

// Something a model or a research service did (a search, a tool call): a
// type and further fields. A fixed-type activity derives from it and passes
// its type to the constructor.
struct Activity {
  std::string type{};
  // Further fields as an object, in order.
  core::Value fields = core::Value::object();

  Activity() = default;
  // Throws ValueError when `fields` is not an object (null counts as empty)
  // or when it holds "type" itself.
  explicit Activity(std::string type, core::Value fields = core::Value::object());
  virtual ~Activity() = default;

  // {"type": type, ...fields}.
  core::Value to_value() const;
};

struct ActivityEvent {
  // An event of type "activity" whose value is activity.to_value(), under
  // `id`, level INFO.
  static core::Event from_activity(std::string id, const Activity& activity);
  // The same under a fresh UUID.
  static core::Event from_activity(const Activity& activity);
};

// What a streaming reader keeps for the block it has open: the block's id
// (empty while no block id is held) and the thinking and answer text
// collected so far.
struct StreamBuffer {
  std::string id{};
  std::string thinking{};
  std::string text{};
};

}  // namespace zelq::inference
