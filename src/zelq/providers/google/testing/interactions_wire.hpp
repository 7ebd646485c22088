// Recorded-shape pieces of the interactions API's wire (revision
// 2026-05-20), for tests and benchmarks that script a loopback server.
#pragma once

#include <string>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::providers::google::testing {

// "data: <json>\n\n", preceded by "event: <event_type>\n" when `named`.
inline std::string sse_frame(const core::Value& data, bool named = false) {
  std::string frame;
  if (named) frame += "event: " + data.value("event_type", std::string()) + "\n";
  return frame + "data: " + data.dump() + "\n\n";
}

inline core::Value created_event(const std::string& id, const std::string& event_id) {
  return {{"event_type", "interaction.created"},
          {"interaction", {{"id", id}, {"status", "in_progress"}}},
          {"event_id", event_id}};
}

inline core::Value text_step_delta(int index, const std::string& text,
                                   const std::string& event_id) {
  return {{"event_type", "step.delta"},
          {"index", index},
          {"delta", {{"type", "text"}, {"text", text}}},
          {"event_id", event_id}};
}

inline core::Value thought_step_delta(int index, const std::string& text,
                                      const std::string& event_id) {
  core::Value content = {{"type", "text"}, {"text", text}};
  return {{"event_type", "step.delta"},
          {"index", index},
          {"delta", {{"type", "thought_summary"}, {"content", content}}},
          {"event_id", event_id}};
}

inline core::Value completed_event(const std::string& id, const std::string& event_id) {
  return {{"event_type", "interaction.completed"},
          {"interaction", {{"id", id}, {"status", "completed"}}},
          {"event_id", event_id}};
}

inline core::Value error_event(const core::Value& code, const std::string& message) {
  return {{"event_type", "error"}, {"error", {{"code", code}, {"message", message}}}};
}

// An interaction record: a user-input step, a thought step and, when there
// are texts, one model-output step holding them as text items.
inline core::Value interaction_record(const std::string& id, const std::string& status,
                                      const std::vector<std::string>& texts = {}) {
  core::Value steps = core::Value::array(
      {{{"type", "user_input"}, {"content", {{{"type", "text"}, {"text", "the question"}}}}},
       {{"type", "thought"}, {"summary", {{{"type", "text"}, {"text", "Planning."}}}}}});
  if (!texts.empty()) {
    core::Value content = core::Value::array();
    for (const auto& text : texts) content.push_back({{"type", "text"}, {"text", text}});
    steps.push_back({{"type", "model_output"}, {"content", content}});
  }
  return {{"id", id},
          {"status", status},
          {"agent", "deep-research-preview-04-2026"},
          {"steps", steps},
          {"created", "2026-12-07T01:00:00Z"}};
}

}  // namespace zelq::providers::google::testing
