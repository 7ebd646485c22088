#include "zelq/providers/openai/chunk_reader.hpp"

#include <simdjson.h>

#include <initializer_list>
#include <string>

namespace zelq::providers::openai {
namespace {

namespace od = simdjson::ondemand;

// A text field, null, or absent; false for any other kind.
bool read_text(od::value value, std::optional<std::string>& out) {
  od::json_type type;
  if (value.type().get(type)) return false;
  if (type == od::json_type::null) return true;
  std::string_view text;
  if (type != od::json_type::string || value.get_string().get(text)) return false;
  out.emplace(text);
  return true;
}

// Marks `key` as read in `seen` (one bit per name of `names`); false when it
// came before. A repeated key takes the full path, whose parser keeps the
// last value where this reader would merge them.
bool first_time(std::string_view key, std::initializer_list<std::string_view> names,
                unsigned& seen) {
  unsigned bit = 1;
  for (std::string_view name : names) {
    if (key == name) {
      if (seen & bit) return false;
      seen |= bit;
      return true;
    }
    bit <<= 1;
  }
  return true;
}

bool read_delta(od::object delta, ChoicePart& part) {
  unsigned seen = 0;
  for (auto field : delta) {
    std::string_view key;
    if (field.unescaped_key().get(key)) return false;
    if (!first_time(key, {"content", "refusal", "reasoning_content", "reasoning"}, seen)) {
      return false;
    }
    od::value value;
    if (field.value().get(value)) return false;
    bool ok = true;
    if (key == "content") {
      ok = read_text(value, part.text);
    } else if (key == "refusal") {
      ok = read_text(value, part.refusal);
    } else if (key == "reasoning_content") {
      std::optional<std::string> thinking;
      ok = read_text(value, thinking);
      if (thinking) part.thinking = std::move(thinking);
    } else if (key == "reasoning") {
      // Taken only when no reasoning_content came, as read_choice does.
      std::optional<std::string> thinking;
      ok = read_text(value, thinking);
      if (thinking && !part.thinking) part.thinking = std::move(thinking);
    }
    if (!ok) return false;
  }
  return true;
}

bool read_first_choice(od::array choices, ChoicePart& part) {
  for (auto element : choices) {
    od::object choice;
    if (element.get_object().get(choice)) return false;
    unsigned seen = 0;
    for (auto field : choice) {
      std::string_view key;
      if (field.unescaped_key().get(key)) return false;
      if (!first_time(key, {"finish_reason", "delta"}, seen)) return false;
      od::value value;
      if (field.value().get(value)) return false;
      if (key == "finish_reason") {
        if (!read_text(value, part.finish_reason)) return false;
      } else if (key == "delta") {
        od::json_type type;
        if (value.type().get(type)) return false;
        if (type != od::json_type::object) continue;  // as read_choice: an empty part
        od::object delta;
        if (value.get_object().get(delta) || !read_delta(delta, part)) return false;
      }
    }
    break;  // only the first choice counts
  }
  return true;
}

}  // namespace

std::optional<ChoicePart> read_chunk_fast(std::string_view data) noexcept {
  try {
    thread_local od::parser parser;
    thread_local std::string padded;
    padded.assign(data);
    padded.resize(data.size() + simdjson::SIMDJSON_PADDING);
    od::document doc;
    if (parser.iterate(padded.data(), data.size(), padded.size()).get(doc)) return std::nullopt;
    od::object root;
    if (doc.get_object().get(root)) return std::nullopt;
    ChoicePart part;
    unsigned seen = 0;
    for (auto field : root) {
      std::string_view key;
      if (field.unescaped_key().get(key)) return std::nullopt;
      if (key == "error" || !first_time(key, {"choices"}, seen)) return std::nullopt;
      od::value value;
      if (field.value().get(value)) return std::nullopt;
      if (key != "choices") continue;
      od::json_type type;
      if (value.type().get(type)) return std::nullopt;
      if (type != od::json_type::array) continue;
      od::array choices;
      if (value.get_array().get(choices) || !read_first_choice(choices, part)) return std::nullopt;
    }
    // Nothing may follow the object: a location still in bounds means more.
    if (doc.current_location().error() == simdjson::SUCCESS) return std::nullopt;
    return part;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace zelq::providers::openai
