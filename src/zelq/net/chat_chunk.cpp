#include "zelq/net/chat_chunk.hpp"

#include <simdjson.h>

#include <initializer_list>

#include "zelq/core/json.hpp"

namespace zelq::net {
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

// `key == name`, comparing the first bytes before calling memcmp: keys of
// the same length as a name are common ("created" and "choices").
bool same(std::string_view key, std::string_view name) {
  return key.size() == name.size() && (key.empty() || key.front() == name.front()) &&
         key.compare(name) == 0;
}

// Marks `key` as read in `seen` (one bit per name of `names`); false when it
// came before. A chunk repeating a key it reads takes the full path, whose
// parser keeps the last value where this reader could merge them.
bool first_time(std::string_view key, std::initializer_list<std::string_view> names,
                unsigned& seen) {
  unsigned bit = 1;
  for (std::string_view name : names) {
    if (same(key, name)) {
      if (seen & bit) return false;
      seen |= bit;
      return true;
    }
    bit <<= 1;
  }
  return true;
}

bool is_null(od::value value, bool& null) {
  od::json_type type;
  if (value.type().get(type)) return false;
  null = type == od::json_type::null;
  return true;
}

bool read_delta(od::value value, std::optional<ChatDelta>& out) {
  bool null = false;
  if (!is_null(value, null)) return false;
  if (null) return true;
  od::object delta;
  if (value.get_object().get(delta)) return false;
  ChatDelta& fields = out.emplace();
  unsigned seen = 0;
  for (auto field : delta) {
    std::string_view key;
    od::value item;
    if (field.unescaped_key().get(key) || field.value().get(item)) return false;
    if (!first_time(key, {"content", "refusal", "reasoning_content", "reasoning"}, seen)) {
      return false;
    }
    bool ok = true;
    if (same(key, "content")) {
      ok = read_text(item, fields.content);
    } else if (same(key, "refusal")) {
      ok = read_text(item, fields.refusal);
    } else if (same(key, "reasoning_content")) {
      ok = read_text(item, fields.reasoning_content);
    } else if (same(key, "reasoning")) {
      ok = read_text(item, fields.reasoning);
    }
    if (!ok) return false;
  }
  return true;
}

bool read_choice(od::value value, ChatChoice& choice) {
  od::object object;
  if (value.get_object().get(object)) return false;
  unsigned seen = 0;
  for (auto field : object) {
    std::string_view key;
    od::value item;
    if (field.unescaped_key().get(key) || field.value().get(item)) return false;
    if (!first_time(key, {"finish_reason", "delta"}, seen)) return false;
    if (same(key, "finish_reason")) {
      if (!read_text(item, choice.finish_reason)) return false;
    } else if (same(key, "delta")) {
      if (!read_delta(item, choice.delta)) return false;
    }
  }
  return true;
}

// A list whose elements are all of the kind `read` accepts; null is none.
template <class Read>
bool read_list(od::value value, Read read) {
  bool null = false;
  if (!is_null(value, null)) return false;
  if (null) return true;
  od::array array;
  if (value.get_array().get(array)) return false;
  for (auto element : array) {
    od::value item;
    if (element.get(item) || !read(item)) return false;
  }
  return true;
}

bool read_fields(od::object root, ChatChunk& chunk) {
  chunk.choices.clear();
  chunk.search_results.reset();
  unsigned seen = 0;
  for (auto field : root) {
    std::string_view key;
    if (field.unescaped_key().get(key) || same(key, "error")) return false;
    if (!first_time(key, {"choices", "search_results"}, seen)) return false;
    od::value value;
    if (field.value().get(value)) return false;
    if (same(key, "choices")) {
      auto choice = [&chunk](od::value item) {
        return read_choice(item, chunk.choices.emplace_back());
      };
      if (!read_list(value, choice)) return false;
    } else if (same(key, "search_results")) {
      // The elements lie in one span of the padded copy: from the first
      // one's start to the last one's end.
      const char* begin = nullptr;
      const char* end = nullptr;
      auto result = [&begin, &end](od::value item) {
        od::object object;
        std::string_view raw;
        if (item.get_object().get(object) || object.raw_json().get(raw)) return false;
        if (begin == nullptr) begin = raw.data();
        end = raw.data() + raw.size();
        return true;
      };
      bool null = false;
      if (!is_null(value, null) || !read_list(value, result)) return false;
      if (null) continue;
      std::string& text = chunk.search_results.emplace("[");
      if (begin != nullptr) text.append(begin, end);
      text.push_back(']');
    }
  }
  return true;
}

od::parser& thread_parser() {
  thread_local od::parser parser = [] {
    od::parser made;
    // A first capacity with the library's nesting limit; iterate() grows the
    // capacity and keeps the limit.
    const simdjson::error_code ignored = made.allocate(4096, core::kMaxJsonDepth);
    (void)ignored;
    return made;
  }();
  return parser;
}

}  // namespace

std::optional<ChatChunk> read_chat_chunk(std::string_view data) noexcept {
  try {
    ChatChunk chunk;
    if (!read_chat_chunk(data, chunk)) return std::nullopt;
    return chunk;
  } catch (...) {
    return std::nullopt;
  }
}

bool read_chat_chunk(std::string_view data, ChatChunk& chunk) noexcept {
  try {
    thread_local std::string padded;
    padded.assign(data);
    padded.resize(data.size() + simdjson::SIMDJSON_PADDING);
    od::document doc;
    if (thread_parser().iterate(padded.data(), data.size(), padded.size()).get(doc)) {
      return false;
    }
    od::object root;
    if (doc.get_object().get(root)) return false;
    if (!read_fields(root, chunk)) return false;
    // Nothing may follow the object: a location still in bounds means more.
    return doc.current_location().error() != simdjson::SUCCESS;
  } catch (...) {
    return false;
  }
}

}  // namespace zelq::net
