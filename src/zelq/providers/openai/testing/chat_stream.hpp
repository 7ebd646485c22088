// Builds the streamed chat-completion events an OpenAI-compatible server
// sends, for tests and benchmarks that script a loopback server.
#pragma once

#include <string>

#include "zelq/core/value.hpp"

namespace zelq::providers::openai::testing {

// "data: <json>\n\n" of one streamed chat-completion chunk with this content.
inline std::string content_event(const std::string& piece) {
  core::Value chunk = {{"choices", {{{"index", 0}, {"delta", {{"content", piece}}}}}}};
  return "data: " + chunk.dump() + "\n\n";
}

}  // namespace zelq::providers::openai::testing
