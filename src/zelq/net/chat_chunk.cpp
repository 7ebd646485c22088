#include "zelq/net/chat_chunk.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "zelq/core/json.hpp"
#include "zelq/net/detail/chat_chunk_state.hpp"

namespace zelq::net {

namespace od = simdjson::ondemand;


namespace {

using detail::ChatChunkState;
using detail::count_buffers;
using detail::dom_bytes;
using detail::fits;
using detail::growth;
using detail::kFirstCapacity;
using detail::parser_bytes;

// `token` less the JSON whitespace that follows it.
std::string_view trimmed(std::string_view token) {
  while (!token.empty()) {
    const char c = token.back();
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    token.remove_suffix(1);
  }
  return token;
}

// True when `value` is null spelled in full ("nul" is not: type() only
// looks at the first byte).
[[gnu::always_inline]] inline bool null_in_full(od::value value) {
  return trimmed(value.raw_json_token()) == "null";
}

// A text field, null, or absent; false for any other kind.
bool read_text(od::value value, std::optional<std::string>& out) {
  od::json_type type;
  if (value.type().get(type)) return false;
  if (type == od::json_type::null) return null_in_full(value);
  std::string_view text;
  if (type != od::json_type::string || value.get_string().get(text)) return false;
  out.emplace(text);
  return true;
}

// True for "0" or a digit 1-9 and at most 17 more digits, with an optional
// "-" before: an integer that any reader takes (the fields "index" and
// "created" of every chunk), checked without computing its value.
bool plain_integer(std::string_view token) {
  if (!token.empty() && token.front() == '-') token.remove_prefix(1);
  if (token.empty() || token.size() > 18 || (token.size() > 1 && token.front() == '0')) {
    return false;
  }
  for (char c : token) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// What the reading of one chunk works with: the reader's state.
using State = ChatChunkState;

[[gnu::noinline]] bool check_container(State& state, od::value value, char open, std::size_t depth);

// The full reads of a scalar, out of line: almost no chunk needs them.
[[gnu::noinline]] bool check_escapes(od::value value) {
  std::string_view text;
  return !value.get_string().get(text);
}

[[gnu::noinline]] bool check_number(od::value value) {
  od::number number;
  return !value.get_number().get(number);
}

// Reads `value`, a value the reader does not use, as the full parse would:
// on-demand parsing would otherwise pass over it by its brackets alone.
// Scalars are checked on their text: the parse of the whole chunk has
// already checked its bytes, where each string ends and that no control
// character is in one, so a string without a backslash and a short integer
// need no more than a look. A scalar left unread is passed over as one
// token, except a string before a ':', which would be taken for a key. Numbers beyond 64 bits and
// exponents out of a double's range fail here: such a chunk takes the full path. Containers go to
// check_container, at most kMaxJsonDepth levels deep counting the `depth` containers around
// `value`. Inlined, as is null_in_full, and taking the value by copy: a call per field, or a value
// kept in memory for one, costs more than the check.
[[gnu::always_inline]] inline bool check_value(State& state, od::value value, std::size_t depth) {
  const std::string_view raw = value.raw_json_token();
  const std::string_view token = trimmed(raw);
  if (token.empty()) return false;
  switch (token.front()) {
    case '"':
      // The padded copy has bytes after the last token.
      return raw.data()[raw.size()] != ':' &&
             (state.plain || token.find('\\') == std::string_view::npos ||
              check_escapes(value));
    case 't':
      return token == "true";
    case 'f':
      return token == "false";
    case 'n':
      return token == "null";
    case '{':
    case '[':
      return check_container(state, value, token.front(), depth);
    default:
      return plain_integer(token) || check_number(value);
  }
}

// An array or object among the values the reader does not use is read
// whole by simdjson's DOM parser, which checks every part of it without
// recursion. The `depth` containers around it go back around it as
// brackets, so that the nesting limit counts as in the whole chunk.
bool check_container(State& state, od::value value, char open, std::size_t depth) {
  std::string_view raw;
  if (open == '{') {
    od::object object;
    if (value.get_object().get(object) || object.raw_json().get(raw)) return false;
  } else {
    od::array array;
    if (value.get_array().get(array) || array.raw_json().get(raw)) return false;
  }
  std::string& padded = state.container_text;
  const std::size_t size = raw.size() + 2 * depth;
  const std::size_t capacity = state.containers ? state.containers->capacity() : 0;
  const std::size_t more = growth(padded, size + simdjson::SIMDJSON_PADDING) +
                           (size > capacity ? sizeof(simdjson::dom::parser) + dom_bytes(size) : 0);
  if (!fits(state, more)) return false;
  padded.assign(depth, '[');
  padded.append(raw);
  padded.append(depth, ']');
  padded.resize(size + simdjson::SIMDJSON_PADDING);
  simdjson::dom::element element;
  if (!state.containers) {
    state.containers = std::make_unique<simdjson::dom::parser>();
    // The nesting limit stays with the parser as its capacity grows.
    if (state.containers->allocate(size, core::kMaxJsonDepth)) return false;
  }
  const bool parsed = !state.containers->parse(padded.data(), size, false).get(element);
  if (more > 0) count_buffers(state);
  return parsed;
}

// `key == name` for a name known when compiled: a compare of that many
// bytes, which the compiler makes a few loads rather than a call.
template <std::size_t N>
[[gnu::always_inline]] inline bool same(std::string_view key, const char (&name)[N]) {
  return key.size() == N - 1 && std::memcmp(key.data(), name, N - 1) == 0;
}

constexpr int kRepeated = -1;

// Which of `names` `key` is (its index; the number of names for none),
// compared once, and marked as read in `seen` (one bit per name). kRepeated
// when it came before: a chunk repeating a key it reads takes the full path,
// whose parser keeps the last value where this reader could merge them.
template <std::size_t... N>
[[gnu::always_inline]] inline int which(std::string_view key, unsigned& seen,
                                        const char (&... names)[N]) {
  int index = 0;
  // The index of the first name that matches; the count when none does.
  const bool found = ((same(key, names) || (++index, false)) || ...);
  if (!found) return index;
  const unsigned bit = 1u << index;
  if (seen & bit) return kRepeated;
  seen |= bit;
  return index;
}

// JSON white space.
[[gnu::always_inline]] inline bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The key and value of `field`. A key without a backslash (nearly every one)
// is the text between its quotes as it stands in the chunk: no unescaped
// copy. In a chunk without a backslash the key ends where the value starts,
// less the ':' and the white space around it that are all the parse lets
// stand between them; otherwise the parse of the chunk has found where each
// string ends, so the first quote after the key's start ends it unless a
// backslash comes before it.
[[gnu::always_inline]] inline bool read_field(const State& state,
                                              simdjson::simdjson_result<od::field>& field,
                                              std::string_view& key, od::value& item) {
  od::raw_json_string raw;
  if (field.key().get(raw) || field.value().get(item)) return false;
  const char* const begin = raw.raw();
  if (state.plain) {
    const char* end = item.raw_json_token().data() - 1;
    while (blank(*end)) --end;
    --end;  // the ':'
    while (blank(*end)) --end;
    // At the closing quote.
    key = std::string_view(begin, static_cast<std::size_t>(end - begin));
    return true;
  }
  const char* const limit = state.text.data() + state.text.size();
  const void* const quote = std::memchr(begin, '"', static_cast<std::size_t>(limit - begin));
  if (quote != nullptr) {
    key =
        std::string_view(begin, static_cast<std::size_t>(static_cast<const char*>(quote) - begin));
    if (key.find('\\') == std::string_view::npos) return true;
  }
  return !field.unescaped_key().get(key);
}

// The containers around the fields of each level of a chunk: the root
// object, "choices" or "search_results", a choice, its delta.
constexpr std::size_t kRootDepth = 1;
constexpr std::size_t kListDepth = 2;
constexpr std::size_t kChoiceDepth = 3;
constexpr std::size_t kDeltaDepth = 4;

bool is_null(od::value value, bool& null) {
  od::json_type type;
  if (value.type().get(type)) return false;
  null = type == od::json_type::null;
  return !null || null_in_full(value);
}

bool read_delta(State& state, od::value value, std::optional<ChatDelta>& out) {
  bool null = false;
  if (!is_null(value, null)) return false;
  if (null) return true;
  od::object delta;
  if (value.get_object().get(delta)) return false;
  ChatDelta& fields = out.emplace();
  // The texts a delta carries, in the order their names are given to which().
  std::optional<std::string>* const texts[] = {&fields.content, &fields.refusal,
                                               &fields.reasoning_content, &fields.reasoning};
  unsigned seen = 0;
  for (auto field : delta) {
    std::string_view key;
    od::value item;
    if (!read_field(state, field, key, item)) return false;
    const int name = which(key, seen, "content", "refusal", "reasoning_content", "reasoning");
    if (name == kRepeated) return false;
    const bool ok = name < static_cast<int>(std::size(texts))
                        ? read_text(item, *texts[name])
                        : check_value(state, item, kDeltaDepth);
    if (!ok) return false;
  }
  return true;
}

bool read_choice(State& state, od::value value, ChatChoice& choice) {
  od::object object;
  if (value.get_object().get(object)) return false;
  unsigned seen = 0;
  for (auto field : object) {
    std::string_view key;
    od::value item;
    if (!read_field(state, field, key, item)) return false;
    bool ok = false;
    // The answer's part: "message" in a whole answer, "delta" in a chunk.
    const int name = state.message ? which(key, seen, "finish_reason", "message")
                                   : which(key, seen, "finish_reason", "delta");
    switch (name) {
      case kRepeated:
        return false;
      case 0:
        ok = read_text(item, choice.finish_reason);
        break;
      case 1:
        ok = read_delta(state, item, choice.delta);
        break;
      default:
        ok = check_value(state, item, kChoiceDepth);
    }
    if (!ok) return false;
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

// A new choice at the end of the chunk's list, null when the list would
// grow past the budget: a full list doubles.
ChatChoice* next_choice(State& state) {
  std::vector<ChatChoice>& choices = state.chunk.choices;
  if (choices.size() < choices.capacity()) return &choices.emplace_back();
  if (!fits(state, std::max<std::size_t>(1, 2 * choices.capacity()) * sizeof(ChatChoice))) {
    return nullptr;
  }
  ChatChoice& choice = choices.emplace_back();
  count_buffers(state);
  return &choice;
}

bool read_fields(State& state, od::document& doc, od::object root) {
  ChatChunk& chunk = state.chunk;
  unsigned seen = 0;
  for (auto field : root) {
    std::string_view key;
    od::value value;
    if (!read_field(state, field, key, value) || same(key, "error")) return false;
    const int name = which(key, seen, "choices", "search_results");
    if (name == kRepeated) return false;
    if (name == 0) {
      auto choice = [&state](od::value item) {
        ChatChoice* next = next_choice(state);
        return next != nullptr && read_choice(state, item, *next);
      };
      if (!read_list(value, choice)) return false;
    } else if (name == 2) {
      if (!check_value(state, value, kRootDepth)) return false;
    } else {
      // The elements lie in one span of the padded copy: from the first
      // one's start to the last one's end.
      const char* begin = nullptr;
      const char* end = nullptr;
      auto result = [&state, &doc, &begin, &end](od::value item) {
        od::json_type type;
        const char* at = nullptr;
        if (item.type().get(type) || type != od::json_type::object ||
            item.current_location().get(at) || !check_value(state, item, kListDepth)) {
          return false;
        }
        if (begin == nullptr) begin = at;
        // Where the next token starts, as object::raw_json() ends.
        return !doc.current_location().get(end);
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

}  // namespace

ChatChunkReader::ChatChunkReader(std::size_t max_memory) noexcept : max_memory_(max_memory) {}
ChatChunkReader::ChatChunkReader(ChatChunkReader&& other) noexcept = default;
ChatChunkReader& ChatChunkReader::operator=(ChatChunkReader&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
    max_memory_ = other.max_memory_;
  }
  return *this;
}
ChatChunkReader::~ChatChunkReader() { release(); }

void ChatChunkReader::release() noexcept { detail::give_back(std::move(state_)); }

std::size_t ChatChunkReader::capacity() const noexcept {
  return state_ ? state_->parser.capacity() : 0;
}

std::size_t ChatChunkReader::held() const noexcept { return state_ ? detail::held(*state_) : 0; }

ChatChunk* ChatChunkReader::read(std::string_view data, Part part) noexcept {
  try {
    // A state grown by an outsized chunk serves chunks of about its size;
    // a smaller one takes a state of the usual size.
    if (state_ && state_->parser.capacity() > kFirstCapacity &&
        state_->parser.capacity() / 2 > data.size() && !detail::keepable(*state_)) {
      state_.reset();
    }
    if (!state_) {
      if (max_memory_ < kKeptStateBytes) return nullptr;
      state_ = detail::take_state();
    }
    State& state = *state_;
    state.chunk.choices.clear();
    state.chunk.search_results.reset();
    state.texts = 0;
    state.max_memory = max_memory_;
    state.message = part == Part::MESSAGE;
    std::string& padded = state.text;
    const std::size_t size = data.size();
    const std::size_t grows = growth(padded, size + simdjson::SIMDJSON_PADDING) +
                              (size > state.parser.capacity() ? parser_bytes(size) : 0);
    if (!fits(state, 2 * size + grows)) return nullptr;
    state.texts = 2 * size;
    state.plain = std::memchr(data.data(), '\\', size) == nullptr;
    padded.assign(data);
    padded.resize(size + simdjson::SIMDJSON_PADDING);
    od::document doc;
    bool read = !state.parser.iterate(padded.data(), size, padded.size()).get(doc);
    if (grows > 0) count_buffers(state);
    od::object root;
    read = read && !doc.get_object().get(root) && read_fields(state, doc, root) &&
           // Nothing may follow the object: a location still in bounds means more.
           doc.current_location().error() != simdjson::SUCCESS;
    return read ? &state.chunk : nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::optional<ChatChunk> read_chat_chunk(std::string_view data, std::size_t max_memory) noexcept {
  try {
    ChatChunkReader reader(max_memory);
    ChatChunk* chunk = reader.read(data);
    if (chunk == nullptr) return std::nullopt;
    return std::move(*chunk);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace zelq::net
