#include "zelq/core/object_index.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <random>
#include <utility>

namespace zelq::core {
namespace detail {
namespace {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

SipKey draw_key() {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  try {
    std::random_device device;
    k0 = (std::uint64_t{device()} << 32) ^ device();
    k1 = (std::uint64_t{device()} << 32) ^ device();
  } catch (...) {
    // No entropy source: the clock still keeps the key out of an outsider's
    // reach.
  }
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return {k0 ^ now, k1 ^ (now * 0x9e3779b97f4a7c15ULL)};
}

const SipKey& sip_key() {
  static const SipKey key = draw_key();
  return key;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t word) noexcept {
    v3 ^= word;
    round();
    v0 ^= word;
  }
};

}  // namespace

std::uint64_t KeyTable::hash(std::string_view key) noexcept {
  const SipKey& k = sip_key();
  SipState s{k.k0 ^ 0x736f6d6570736575ULL, k.k1 ^ 0x646f72616e646f6dULL,
             k.k0 ^ 0x6c7967656e657261ULL, k.k1 ^ 0x7465646279746573ULL};
  const char* data = key.data();
  std::size_t left = key.size();
  for (; left >= 8; left -= 8, data += 8) {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    s.absorb(word);
  }
  std::uint64_t last = static_cast<std::uint64_t>(key.size()) << 56;
  for (std::size_t i = 0; i < left; ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

void KeyTable::reserve(std::size_t keys) {
  const std::size_t slots = std::bit_ceil(std::max<std::size_t>(16, keys + keys / 3 + 1));
  if (slots > slots_.size()) grow(slots);
}

void KeyTable::build(const Value::object_t& entries, std::size_t expected) {
  slots_.clear();
  count_ = 0;
  reserve(std::max(entries.size(), expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view key = entries.begin()[i].first;
    find_or_add(entries, key, hash(key), i);
  }
}

std::size_t KeyTable::find(const Value::object_t& entries, std::string_view key,
                           std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  const auto low = static_cast<std::uint32_t>(hash);
  for (std::size_t i = low & mask;; i = (i + 1) & mask) {
    const Slot slot = slots_[i];
    if (slot.position == 0) return npos;
    if (slot.hash == low && entries.begin()[slot.position - 1].first == key) {
      return slot.position - 1;
    }
  }
}

std::size_t KeyTable::find_or_add(const Value::object_t& entries, std::string_view key,
                                  std::uint64_t hash, std::size_t position) {
  if (4 * (count_ + 1) > 3 * slots_.size()) grow(std::max<std::size_t>(16, 2 * slots_.size()));
  const std::size_t mask = slots_.size() - 1;
  const auto low = static_cast<std::uint32_t>(hash);
  for (std::size_t i = low & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.position == 0) {
      slot = Slot{low, static_cast<std::uint32_t>(position + 1)};
      ++count_;
      return npos;
    }
    if (slot.hash == low && entries.begin()[slot.position - 1].first == key) {
      return slot.position - 1;
    }
  }
}

void KeyTable::grow(std::size_t slots) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots));
  for (const Slot& slot : old) {
    if (slot.position != 0) place(slot);
  }
}

void KeyTable::place(Slot slot) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot.hash & mask;
  while (slots_[i].position != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

}  // namespace detail

ObjectIndex::ObjectIndex(const Value& value) {
  if (value.is_object()) entries_ = &value.get_ref<const Value::object_t&>();
}

const Value* ObjectIndex::find(std::string_view key) {
  if (entries_ == nullptr) return nullptr;
  const Value::object_t& entries = *entries_;
  if (!table_.built()) {
    // Scanning costs what it passes; once the scans have passed the whole
    // object, a table (which costs about one pass) pays for itself.
    if (entries.size() <= kScanLimit || scanned_ < entries.size()) {
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries.begin()[i].first == key) {
          scanned_ += i + 1;
          return &entries.begin()[i].second;
        }
      }
      scanned_ += entries.size();
      return nullptr;
    }
    table_.build(entries);
  }
  const std::size_t position = table_.find(entries, key, detail::KeyTable::hash(key));
  return position == detail::KeyTable::npos ? nullptr : &entries.begin()[position].second;
}

ObjectBuilder::ObjectBuilder(Value& object) : entries_(&object.get_ref<Value::object_t&>()) {
  if (entries_->size() > kScanLimit) table_.build(*entries_);
}

Value& ObjectBuilder::operator[](std::string key) {
  Value::object_t& entries = *entries_;
  if (!table_.built()) {
    for (auto& entry : entries) {
      if (entry.first == key) return entry.second;
    }
    entries.emplace_back(std::move(key), Value());
    if (entries.size() > kScanLimit) table_.build(entries);
    return entries.back().second;
  }
  const std::size_t position =
      table_.find_or_add(entries, key, detail::KeyTable::hash(key), entries.size());
  if (position != detail::KeyTable::npos) return entries.begin()[position].second;
  entries.emplace_back(std::move(key), Value());
  return entries.back().second;
}

}  // namespace zelq::core
