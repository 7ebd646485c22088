// Builds the events a Responses stream carries, in the shape the service
// sends them, for tests and benchmarks that script a loopback server.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::providers::openai::testing {

// "event: <type>\ndata: {"type": <type>, "sequence_number": <sequence>,
// ...fields}\n\n".
inline std::string responses_event(const std::string& type, long long sequence,
                                   const core::Value& fields = core::Value::object()) {
  core::Value data = {{"type", type}, {"sequence_number", sequence}};
  for (auto it = fields.begin(); it != fields.end(); ++it) data[it.key()] = it.value();
  return "event: " + type + "\ndata: " + data.dump() + "\n\n";
}

// A recorded-shape transcript, numbered from 0: the response "resp_1" is
// created; a reasoning item streams the summary "**Planning** the search.";
// a web search ("bee navigation") and a code-interpreter call finish; the
// message "msg_1" streams "Bees use the sun’s position." with one
// url_citation of "sun’s position." (characters 13 to 28); the response
// completes.
inline std::vector<std::string> research_transcript() {
  using core::Value;
  const Value created = {{"id", "resp_1"},     {"object", "response"}, {"status", "queued"},
                         {"background", true}, {"output", Value::array()}};
  const Value summary = {{"item_id", "rs_1"}, {"output_index", 0}, {"summary_index", 0}};
  auto with = [](Value base, const Value& more) {
    for (auto it = more.begin(); it != more.end(); ++it) base[it.key()] = it.value();
    return base;
  };
  const Value search = {{"id", "ws_1"},
                        {"type", "web_search_call"},
                        {"status", "completed"},
                        {"action", {{"type", "search"}, {"query", "bee navigation"}}}};
  const Value code = {{"id", "ci_1"},
                      {"type", "code_interpreter_call"},
                      {"status", "completed"},
                      {"code", "print(2 + 2)"}};
  const Value text = {{"item_id", "msg_1"}, {"output_index", 3}, {"content_index", 0}};
  const Value citation = {{"type", "url_citation"},
                          {"start_index", 13},
                          {"end_index", 28},
                          {"url", "https://bees.example/sun"},
                          {"title", "Sun compass"}};
  const std::string answer = "Bees use the sun’s position.";
  const Value message = {
      {"id", "msg_1"},
      {"type", "message"},
      {"role", "assistant"},
      {"content",
       {{{"type", "output_text"}, {"text", answer}, {"annotations", Value::array({citation})}}}}};
  Value done = with(created, {{"status", "completed"},
                              {"output", Value::array({search, code, message})}});
  std::vector<std::pair<std::string, Value>> events = {
      {"response.created", {{"response", created}}},
      {"response.in_progress", {{"response", with(created, {{"status", "in_progress"}})}}},
      {"response.output_item.added",
       {{"output_index", 0}, {"item", {{"id", "rs_1"}, {"type", "reasoning"}}}}},
      {"response.reasoning_summary_part.added", summary},
      {"response.reasoning_summary_text.delta", with(summary, {{"delta", "**Planning** "}})},
      {"response.reasoning_summary_text.delta", with(summary, {{"delta", "the search."}})},
      {"response.reasoning_summary_text.done",
       with(summary, {{"text", "**Planning** the search."}})},
      {"response.reasoning_summary_part.done", summary},
      {"response.output_item.added",
       {{"output_index", 1}, {"item", {{"id", "ws_1"}, {"type", "web_search_call"}}}}},
      {"response.web_search_call.searching", {{"output_index", 1}, {"item_id", "ws_1"}}},
      {"response.output_item.done", {{"output_index", 1}, {"item", search}}},
      {"response.output_item.done", {{"output_index", 2}, {"item", code}}},
      {"response.output_item.added",
       {{"output_index", 3}, {"item", {{"id", "msg_1"}, {"type", "message"}}}}},
      {"response.output_text.delta", with(text, {{"delta", "Bees use the "}})},
      {"response.output_text.delta", with(text, {{"delta", "sun’s position."}})},
      {"response.output_text.annotation.added",
       with(text, {{"annotation_index", 0}, {"annotation", citation}})},
      {"response.output_text.done", with(text, {{"text", answer}})},
      {"response.output_item.done", {{"output_index", 3}, {"item", message}}},
      {"response.completed", {{"response", done}}},
  };
  std::vector<std::string> out;
  for (std::size_t i = 0; i < events.size(); ++i) {
    out.push_back(responses_event(events[i].first, static_cast<long long>(i), events[i].second));
  }
  return out;
}

// The first `count` events of research_transcript() as the response `id`
// would send them: the response is named and its reasoning begins.
inline std::vector<std::string> research_opening(const std::string& id, std::size_t count = 5) {
  std::vector<std::string> events = research_transcript();
  events.resize(std::min(count, events.size()));
  for (std::string& event : events) {
    for (auto at = event.find("resp_1"); at != std::string::npos;
         at = event.find("resp_1", at + id.size())) {
      event.replace(at, 6, id);
    }
  }
  return events;
}

}  // namespace zelq::providers::openai::testing
