#include "zelq/inference/events.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/uuid.hpp"

namespace zelq::inference {
namespace {

core::Event make_event(std::string id, std::string_view type, std::string_view suffix,
                       core::Value value) {
  return core::Event{.id = std::move(id),
                     .type = std::string(type) + std::string(suffix),
                     .value = std::move(value),
                     .level = core::EventLevel::INFO};
}

}  // namespace

core::Event ResponseEvent::start(std::string id) {
  return make_event(std::move(id), core::EventType::RESPONSE, core::EventTypeSuffix::START, "");
}

core::Event ResponseEvent::content(std::string id, std::string text) {
  return make_event(std::move(id), core::EventType::RESPONSE, "", std::move(text));
}

core::Event ResponseEvent::end(std::string id) {
  return make_event(std::move(id), core::EventType::RESPONSE, core::EventTypeSuffix::END, "");
}

core::Event ThinkingEvent::start(std::string id) {
  return make_event(std::move(id), core::EventType::THINKING, core::EventTypeSuffix::START, "");
}

core::Event ThinkingEvent::content(std::string id, std::string text) {
  return make_event(std::move(id), core::EventType::THINKING, "", std::move(text));
}

core::Event ThinkingEvent::end(std::string id) {
  return make_event(std::move(id), core::EventType::THINKING, core::EventTypeSuffix::END, "");
}

Activity::Activity(std::string type, core::Value fields) : type(std::move(type)) {
  if (fields.is_null()) fields = core::Value::object();
  if (!fields.is_object()) throw core::ValueError("Activity fields must be an object.");
  if (fields.contains("type")) {
    throw core::ValueError("Activity fields must not hold 'type'; it is the activity's own field.");
  }
  this->fields = std::move(fields);
}

core::Value Activity::to_value() const {
  core::Value out = core::Value::object();
  out["type"] = type;
  for (auto it = fields.begin(); it != fields.end(); ++it) out[it.key()] = it.value();
  return out;
}

core::Event ActivityEvent::from_activity(std::string id, const Activity& activity) {
  return make_event(std::move(id), core::EventType::ACTIVITY, "", activity.to_value());
}

core::Event ActivityEvent::from_activity(const Activity& activity) {
  return from_activity(core::new_uuid(), activity);
}

}  // namespace zelq::inference
