// Key lookups in one object of Value that stay linear over the whole object.
// Value's object type keeps its entries in a vector, and its find and
// operator[] compare the key with every entry before it: a loop that looks
// up or inserts each key of one object is quadratic in the number of keys.
// ObjectIndex and ObjectBuilder scan small objects as Value does, and switch
// to a hash table of positions once an object grows past kScanLimit keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"

namespace zelq::core {

namespace detail {

// Open-addressed table from keys to positions in one object's entries. It
// holds positions only; keys are compared against the entries themselves.
class KeyTable {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // A keyed hash (SipHash-1-3 with a key drawn once per process), so that
  // keys sent from outside cannot be chosen to collide.
  static std::uint64_t hash(std::string_view key) noexcept;

  bool built() const noexcept { return !slots_.empty(); }
  // Makes room for `keys` keys in all, so that adding them needs no growth.
  void reserve(std::size_t keys);
  // Asks the processor to fetch the slot where a key of `hash` starts, ahead
  // of a find_or_add of it: a large table lives outside the caches.
  void prefetch(std::uint64_t hash) const noexcept {
    __builtin_prefetch(slots_.data() + (hash & (slots_.size() - 1)));
  }
  // Indexes every entry of `entries`, with room for `expected` keys in all;
  // on repeated keys the first wins.
  void build(const Value::object_t& entries, std::size_t expected = 0);
  // The position of `key` (of hash `hash`) in `entries`, or npos.
  std::size_t find(const Value::object_t& entries, std::string_view key,
                   std::uint64_t hash) const noexcept;
  // The position of `key` in `entries` when present. Otherwise records it at
  // `position` (where the caller puts it) and returns npos.
  std::size_t find_or_add(const Value::object_t& entries, std::string_view key, std::uint64_t hash,
                          std::size_t position);

 private:
  // Eight bytes, so that a large table stays compact in the cache: the lower
  // half of the hash (which also picks the slot, tables having fewer than
  // 2**32 slots) and the position plus one (0 for an empty slot).
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t position = 0;
  };

  void grow(std::size_t slots);
  void place(Slot slot) noexcept;

  std::vector<Slot> slots_;  // a power of two in size, at most 3/4 full
  std::size_t count_ = 0;
};

}  // namespace detail

// Objects of at most this many keys are scanned: a table costs more than the
// scan saves there.
inline constexpr std::size_t kScanLimit = 32;

// Finds keys of one object. The first lookups scan; once the scans together
// have passed as many entries as the object holds, a table is built, so any
// number of lookups costs time linear in the object plus the keys looked up.
// The object must outlive the index and stay unchanged while it is used.
class ObjectIndex {
 public:
  // Any value: one that is not an object has no keys.
  explicit ObjectIndex(const Value& value);

  // The value of `key`, or nullptr when the object lacks it (as Value::find).
  const Value* find(std::string_view key);

 private:
  const Value::object_t* entries_ = nullptr;
  std::size_t scanned_ = 0;
  detail::KeyTable table_;
};

// Fills one object as Python assigns dict items: d[key] = value keeps a
// present key at its position and appends a new one at the end. The object
// must outlive the builder and change only through it while it is used.
class ObjectBuilder {
 public:
  // `object` must be an object (Value's type_error otherwise); its present
  // entries count as assigned.
  explicit ObjectBuilder(Value& object);

  // The value of `key`: the present one, or a null appended at the end.
  Value& operator[](std::string key);

 private:
  Value::object_t* entries_;
  detail::KeyTable table_;
};

}  // namespace zelq::core
