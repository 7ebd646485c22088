// An insertion-ordered map from slot name to a value, with lookups that fail
// with a KeyError naming the slot.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelq::inference {
namespace detail {
// Throws KeyError: "Unknown LM slot 'x'; known slots: 'a', 'b'." ('none'
// when empty).
[[noreturn]] void throw_unknown_slot(std::string_view slot, const std::vector<std::string>& known);
// Throws ValueError: "LM slot 'x' is given twice."
[[noreturn]] void throw_repeated_slot(std::string_view slot);
}  // namespace detail

template <class T>
class SlotMap {
 public:
  using value_type = std::pair<std::string, T>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  SlotMap() = default;
  // Throws ValueError when a slot name repeats.
  SlotMap(std::initializer_list<value_type> items) : SlotMap(std::vector<value_type>(items)) {}
  explicit SlotMap(std::vector<value_type> items) {
    for (auto& item : items) {
      if (contains(item.first)) detail::throw_repeated_slot(item.first);
      items_.push_back(std::move(item));
    }
  }

  // The value of `slot`. Throws KeyError naming the slot and the known slots.
  const T& at(std::string_view slot) const {
    if (const T* found = find(slot)) return *found;
    detail::throw_unknown_slot(slot, slots());
  }
  const T& operator[](std::string_view slot) const { return at(slot); }
  // The value of `slot`, or null when there is none.
  const T* find(std::string_view slot) const noexcept {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [&](const value_type& item) { return item.first == slot; });
    return it == items_.end() ? nullptr : &it->second;
  }
  bool contains(std::string_view slot) const noexcept { return find(slot) != nullptr; }
  // Sets the value of `slot`, appending the slot when it is new.
  void insert_or_assign(std::string slot, T value) {
    for (auto& item : items_) {
      if (item.first == slot) {
        item.second = std::move(value);
        return;
      }
    }
    items_.emplace_back(std::move(slot), std::move(value));
  }
  // The slot names in order.
  std::vector<std::string> slots() const {
    std::vector<std::string> names;
    for (const auto& item : items_) names.push_back(item.first);
    return names;
  }

  const_iterator begin() const noexcept { return items_.begin(); }
  const_iterator end() const noexcept { return items_.end(); }
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  bool operator==(const SlotMap&) const = default;

 private:
  std::vector<value_type> items_;
};

}  // namespace zelq::inference
