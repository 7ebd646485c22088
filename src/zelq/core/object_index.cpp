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

void KeyTable::build(const Value::object_t& entries) {
  slots_.assign(std::bit_ceil(2 * entries.size() + 2), Slot{});
  count_ = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view key = entries.begin()[i].first;
    const std::uint64_t h = hash(key);
    if (find(entries, key, h) == npos) add(h, i);
  }
}

std::size_t KeyTable::find(const Value::object_t& entries, std::string_view key,
                           std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.position == npos) return npos;
    if (slot.hash == hash && entries.begin()[slot.position].first == key) return slot.position;
  }
}

void KeyTable::add(std::uint64_t hash, std::size_t position) {
  if (2 * (count_ + 1) > slots_.size()) grow();
  place(hash, position);
  ++count_;
}

void KeyTable::grow() {
  std::vector<Slot> old =
      std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(16, 2 * slots_.size())));
  for (const Slot& slot : old) {
    if (slot.position != npos) place(slot.hash, slot.position);
  }
}

void KeyTable::place(std::uint64_t hash, std::size_t position) noexcept {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].position != npos) i = (i + 1) & mask;
  slots_[i] = Slot{hash, position};
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
  const std::uint64_t h = detail::KeyTable::hash(key);
  const std::size_t position = table_.find(entries, key, h);
  if (position != detail::KeyTable::npos) return entries.begin()[position].second;
  entries.emplace_back(std::move(key), Value());
  table_.add(h, entries.size() - 1);
  return entries.back().second;
}

}  // namespace zelq::core
