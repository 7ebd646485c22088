#include "zelq/providers/perplexity/perplexity_client.hpp"

#include <array>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::providers::perplexity {

namespace {

using core::Value;

[[noreturn]] void malformed(std::string_view source, const std::string& what) {
  throw core::RuntimeError(std::string(source) + " is malformed: " + what + ".");
}

// The field `key` of `object`, or nullptr when it is missing or null.
const Value* field(const Value& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

Choice read_choice(const Value& choice, std::string_view source) {
  if (!choice.is_object()) malformed(source, "a choice is not an object");
  Choice out;
  const Value* delta = field(choice, "delta");
  if (delta == nullptr) return out;
  if (!delta->is_object()) malformed(source, "a delta is not an object");
  out.delta.emplace();
  if (const Value* content = field(*delta, "content")) {
    if (!content->is_string()) malformed(source, "a delta's content is not a text");
    out.delta->content = content->get<std::string>();
  }
  return out;
}

}  // namespace

StreamChunk parse_stream_chunk(const Value& chunk, std::string_view source) {
  if (!chunk.is_object()) malformed(source, "it is not an object");
  StreamChunk out;
  if (const Value* choices = field(chunk, "choices")) {
    if (!choices->is_array()) malformed(source, "'choices' is not a list");
    out.choices.reserve(choices->size());
    for (const Value& choice : *choices) out.choices.push_back(read_choice(choice, source));
  }
  if (const Value* results = field(chunk, "search_results")) {
    if (!results->is_array()) malformed(source, "'search_results' is not a list");
    out.search_results.emplace();
    out.search_results->reserve(results->size());
    for (const Value& result : *results) {
      if (!result.is_object()) malformed(source, "a search result is not an object");
      out.search_results->emplace_back(result);
    }
  }
  return out;
}

void check_request_options(const Value& options, std::string_view what) {
  if (options.is_null()) return;
  if (!options.is_object()) {
    throw core::TypeError(std::string(what) + " takes its request options as an object, got " +
                          core::py_repr(options) + ".");
  }
  for (std::string_view key : std::array{MODEL, MESSAGES, STREAM}) {
    if (options.contains(key)) {
      throw core::TypeError(std::string(what) + " got multiple values for keyword argument " +
                            core::py_repr(key));
    }
  }
}

}  // namespace zelq::providers::perplexity
