// Recorded-shape Perplexity streams for tests and benchmarks that script a
// loopback server: the chunk objects and their data-only event framing.
#pragma once

#include <string>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::providers::perplexity::testing {

// A chunk as the service streams it: "id", "model", "created", "usage",
// "citations" and "search_results" (when `search_results` is an array),
// then "object" and "choices" with the delta of `piece` and the message
// accumulated so far (`accumulated`, which the client must not read).
inline core::Value wire_chunk(const std::string& piece, const std::string& accumulated,
                              const core::Value& search_results = nullptr) {
  core::Value chunk = {{"id", "5f1e2d3c-0000-4000-8000-00000000abcd"},
                       {"model", "sonar-deep-research"},
                       {"created", 1735689600},
                       {"usage", {{"prompt_tokens", 12}, {"completion_tokens", 3}}}};
  if (search_results.is_array()) {
    core::Value urls = core::Value::array();
    for (const auto& result : search_results) urls.push_back(result.value("url", ""));
    chunk["citations"] = std::move(urls);
    chunk["search_results"] = search_results;
  }
  chunk["object"] = "chat.completion.chunk";
  chunk["choices"] = {{{"index", 0},
                       {"finish_reason", nullptr},
                       {"message", {{"role", "assistant"}, {"content", accumulated}}},
                       {"delta", {{"role", "assistant"}, {"content", piece}}}}};
  return chunk;
}

// "data: <json>\n\n".
inline std::string data_event(const core::Value& chunk) { return "data: " + chunk.dump() + "\n\n"; }

inline constexpr const char* DONE_EVENT = "data: [DONE]\n\n";

// The events of an answer streamed in `pieces`, every chunk carrying
// `search_results` (null: none), without the end marker.
inline std::vector<std::string> answer_events(const std::vector<std::string>& pieces,
                                              const core::Value& search_results = nullptr) {
  std::vector<std::string> events;
  std::string accumulated;
  for (const auto& piece : pieces) {
    accumulated += piece;
    events.push_back(data_event(wire_chunk(piece, accumulated, search_results)));
  }
  return events;
}

}  // namespace zelq::providers::perplexity::testing
