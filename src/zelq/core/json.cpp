#include "zelq/core/json.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/core/object_index.hpp"

namespace zelq::core {
namespace {

// Gives each repeated key of a complete object its first position and its
// last value, as Python's json module reads it. Small objects are compared
// pairwise; larger ones go through a table of their keys, so the work stays
// linear in the keys. The entries are rebuilt only when a key repeats.
void merge_repeated_keys(Value::object_t& entries) {
  const std::size_t n = entries.size();
  if (n < 2) return;
  const auto entry = [&entries](std::size_t i) -> auto& { return entries.begin()[i]; };
  std::vector<bool> dropped;
  const auto merge = [&](std::size_t first, std::size_t repeat) {
    entry(first).second = std::move(entry(repeat).second);
    if (dropped.empty()) dropped.resize(n);
    dropped[repeat] = true;
  };
  if (n <= kScanLimit) {
    for (std::size_t i = 1; i < n; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (entry(j).first == entry(i).first) {
          merge(j, i);
          break;
        }
      }
    }
  } else {
    detail::KeyTable table;
    table.reserve(n);
    // Hashes run kAhead keys in front, so each slot is fetched while the
    // keys before it are handled.
    constexpr std::size_t kAhead = 8;
    std::uint64_t ahead[kAhead];
    const auto hash_of = [&](std::size_t i) {
      ahead[i % kAhead] = detail::KeyTable::hash(entry(i).first);
      table.prefetch(ahead[i % kAhead]);
    };
    for (std::size_t i = 0; i < std::min(n, kAhead); ++i) hash_of(i);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t hash = ahead[i % kAhead];
      if (i + kAhead < n) hash_of(i + kAhead);
      const std::size_t first = table.find_or_add(entries, entry(i).first, hash, i);
      if (first != detail::KeyTable::npos) merge(first, i);
    }
  }
  if (dropped.empty()) return;
  Value::object_t kept;
  kept.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!dropped[i]) kept.emplace_back(entry(i).first, std::move(entry(i).second));
  }
  entries = std::move(kept);
}

// What the allocator takes for a block of `bytes`: glibc's malloc adds an
// 8-byte header and rounds up to 16 bytes, 32 at least. Other allocators
// differ a little; the estimate is close enough to bound what a value holds.
constexpr std::size_t heap_block(std::size_t bytes) {
  return std::max<std::size_t>(32, (bytes + 8 + 15) & ~std::size_t{15});
}

// The heap a string holds beyond its own object: none while it fits in the
// object itself (15 bytes with libstdc++).
std::size_t string_heap(const std::string& text) {
  return text.capacity() > 15 ? heap_block(text.capacity() + 1) : 0;
}

// The parser hands over its own buffer, grown by doubling while the string
// was read: a long string would keep up to twice its size.
void trim(std::string& text) {
  if (text.capacity() > 15 && text.capacity() - text.size() > text.size() / 8) {
    text.shrink_to_fit();
  }
}

// Builds the Value of a JSON text from the events of nlohmann's parser, in
// time linear in the text. nlohmann's own builder inserts each key with
// operator[] of the ordered object, which scans every key before it.
// Nesting is counted on the way: the parser itself is iterative; the bound
// protects whatever walks the value afterwards. The heap the value holds is
// tallied as it grows and checked against a budget.
class BoundedDomParser {
 public:
  using number_integer_t = Value::number_integer_t;
  using number_unsigned_t = Value::number_unsigned_t;
  using number_float_t = Value::number_float_t;
  using string_t = Value::string_t;
  using binary_t = Value::binary_t;

  BoundedDomParser(Value& result, std::string_view source, bool throw_parse_errors,
                   std::size_t max_memory)
      : root_(result),
        source_(source),
        throw_parse_errors_(throw_parse_errors),
        max_memory_(max_memory) {}

  bool null() {
    put(nullptr);
    return true;
  }
  bool boolean(bool value) {
    put(value);
    return true;
  }
  bool number_integer(number_integer_t value) {
    put(value);
    return true;
  }
  bool number_unsigned(number_unsigned_t value) {
    put(value);
    return true;
  }
  bool number_float(number_float_t value, const string_t& /*text*/) {
    put(value);
    return true;
  }
  bool string(string_t& value) {
    trim(value);
    charge(heap_block(sizeof(string_t)) + string_heap(value));
    put(std::move(value));
    return true;
  }
  bool binary(binary_t& value) {
    charge(heap_block(sizeof(binary_t)) + heap_block(value.capacity()));
    put(std::move(value));
    return true;
  }

  bool start_object(std::size_t /*elements*/) {
    enter();
    charge(heap_block(sizeof(Value::object_t)));
    open_.push_back(&put(Value::value_t::object));
    return true;
  }
  // Members are appended as they come; repeated keys are merged once the
  // object is complete.
  bool key(string_t& key) {
    auto& entries = open_.back()->get_ref<Value::object_t&>();
    trim(key);
    charge(string_heap(key));
    make_room(entries);
    entries.emplace_back(std::move(key), Value());
    element_ = &entries.back().second;
    return true;
  }
  bool end_object() {
    auto& entries = open_.back()->get_ref<Value::object_t&>();
    // Merging may take a copy of the members and a table of their keys
    // (under 24 bytes a member) for a moment.
    if (entries.size() > 1) check(used_ + heap_block(entries.size() * (sizeof(entries[0]) + 24)));
    merge_repeated_keys(entries);
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t /*elements*/) {
    enter();
    charge(heap_block(sizeof(Value::array_t)));
    open_.push_back(&put(Value::value_t::array));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const Exception& error) {
    errored_ = true;
    if (throw_parse_errors_) throw error;
    return false;
  }

  bool is_errored() const { return errored_; }

 private:
  // Places a new value where the text has reached: the root, the end of the
  // open array, or the member whose key came last.
  template <class T>
  Value& put(T&& value) {
    if (open_.empty()) {
      root_ = Value(std::forward<T>(value));
      return root_;
    }
    Value& container = *open_.back();
    if (container.is_array()) {
      auto& items = container.get_ref<Value::array_t&>();
      make_room(items);
      items.emplace_back(std::forward<T>(value));
      return items.back();
    }
    *element_ = Value(std::forward<T>(value));
    return *element_;
  }

  // Makes room for one more element, doubling a full vector as it would
  // grow itself, so that the tally knows its size. The old buffer and the
  // new one are both held while the elements move.
  template <class Vector>
  void make_room(Vector& items) {
    const std::size_t capacity = items.capacity();
    if (items.size() < capacity) return;
    const std::size_t grown = std::max<std::size_t>(1, 2 * capacity);
    constexpr std::size_t kItem = sizeof(typename Vector::value_type);
    const std::size_t before = capacity == 0 ? 0 : heap_block(capacity * kItem);
    const std::size_t after = heap_block(grown * kItem);
    check(used_ + after);
    items.reserve(grown);
    used_ += after - before;
  }

  void charge(std::size_t bytes) {
    check(used_ + bytes);
    used_ += bytes;
  }

  void check(std::size_t held) const {
    if (held <= max_memory_) return;
    throw JsonMemoryError(std::string(source_) + " needs more than " + std::to_string(max_memory_) +
                          " bytes of memory once parsed");
  }

  void enter() {
    if (open_.size() + 1 > kMaxJsonDepth) {
      throw ValueError(std::string(source_) + " is nested deeper than " +
                       std::to_string(kMaxJsonDepth) + " levels");
    }
  }

  Value& root_;
  std::string_view source_;
  bool throw_parse_errors_;
  bool errored_ = false;
  std::vector<Value*> open_;  // the arrays and objects being filled
  Value* element_ = nullptr;  // the member of the key read last
  std::size_t max_memory_;
  std::size_t used_ = 0;  // the heap the value holds so far
};

Value parse(std::string_view text, std::string_view source, bool throw_parse_errors,
            std::size_t max_memory) {
  Value result;
  BoundedDomParser sax(result, source, throw_parse_errors, max_memory);
  const bool ok = Value::sax_parse(text, &sax, nlohmann::detail::input_format_t::json,
                                   /*strict=*/true);
  if (!ok || sax.is_errored()) return Value(Value::value_t::discarded);
  return result;
}

}  // namespace

Value parse_json(std::string_view text, std::string_view source, std::size_t max_memory) {
  return parse(text, source, /*throw_parse_errors=*/false, max_memory);
}

Value parse_json_or_throw(std::string_view text, std::string_view source) {
  return parse(text, source, /*throw_parse_errors=*/true, std::numeric_limits<std::size_t>::max());
}

namespace detail {

void throw_recursion_error(std::string_view context) {
  throw RuntimeError("maximum recursion depth exceeded " + std::string(context));
}

}  // namespace detail

}  // namespace zelq::core
