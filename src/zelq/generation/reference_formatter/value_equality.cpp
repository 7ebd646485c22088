#include "zelq/generation/reference_formatter/detail/value_equality.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>

#include "zelq/core/json.hpp"
#include "zelq/core/object_index.hpp"

namespace zelq::generation::reference_formatter::detail {
namespace {

using core::Value;

// An integral number as sign and magnitude, so that int64 and uint64 values
// compare exactly.
struct Integer {
  bool negative = false;
  std::uint64_t magnitude = 0;

  bool operator==(const Integer&) const = default;
};

bool is_numeric(const Value& value) { return value.is_boolean() || value.is_number(); }

Integer from_signed(std::int64_t value) {
  if (value >= 0) return {false, static_cast<std::uint64_t>(value)};
  return {true, static_cast<std::uint64_t>(-(value + 1)) + 1};
}

// The exact integer a number stands for; nullopt for a float that is not
// integral (or NaN, or beyond 64 bits).
std::optional<Integer> as_integer(const Value& value) {
  if (value.is_boolean()) return Integer{false, value.get<bool>() ? 1u : 0u};
  if (value.is_number_unsigned()) return Integer{false, value.get<std::uint64_t>()};
  if (value.is_number_integer()) return from_signed(value.get<std::int64_t>());
  const double number = value.get<double>();
  if (!std::isfinite(number) || std::trunc(number) != number) return std::nullopt;
  constexpr double kTwo64 = 18446744073709551616.0;
  const double magnitude = std::fabs(number);
  if (magnitude >= kTwo64) return std::nullopt;
  return Integer{number < 0 && magnitude != 0, static_cast<std::uint64_t>(magnitude)};
}

bool numbers_equal(const Value& a, const Value& b) {
  if (a.is_number_float() && b.is_number_float()) return a.get<double>() == b.get<double>();
  const std::optional<Integer> x = as_integer(a);
  const std::optional<Integer> y = as_integer(b);
  return x && y && *x == *y;
}

// `depth` counts the arrays and objects around the values compared.
bool equal_at(const Value& a, const Value& b, std::size_t depth);

// Each key of `a` is looked up in `b` in order: first at the same position
// (objects built alike keep their keys in the same order), then through an
// index of `b`, so the comparison stays linear in the keys.
bool objects_equal(const Value& a, const Value& b, std::size_t depth) {
  if (a.size() != b.size()) return false;
  auto same_place = b.get_ref<const Value::object_t&>().begin();
  core::ObjectIndex index(b);
  for (const auto& [key, value] : a.get_ref<const Value::object_t&>()) {
    const Value* other = same_place->first == key ? &same_place->second : index.find(key);
    ++same_place;
    if (other == nullptr || !equal_at(value, *other, depth + 1)) return false;
  }
  return true;
}

bool arrays_equal(const Value& a, const Value& b, std::size_t depth) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!equal_at(a[i], b[i], depth + 1)) return false;
  }
  return true;
}

std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

std::size_t number_hash(const Value& value) {
  if (const std::optional<Integer> integer = as_integer(value)) {
    return combine(std::hash<std::uint64_t>()(integer->magnitude), integer->negative ? 1 : 0);
  }
  return std::hash<double>()(value.get<double>());
}

bool equal_at(const Value& a, const Value& b, std::size_t depth) {
  if (is_numeric(a) || is_numeric(b)) return is_numeric(a) && is_numeric(b) && numbers_equal(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Value::value_t::null:
      return true;
    case Value::value_t::string:
      return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    case Value::value_t::binary:
      return static_cast<const core::Bytes&>(a.get_binary()) ==
             static_cast<const core::Bytes&>(b.get_binary());
    case Value::value_t::array:
      core::check_recursion_depth(depth + 1, "in comparison");
      return arrays_equal(a, b, depth);
    case Value::value_t::object:
      core::check_recursion_depth(depth + 1, "in comparison");
      return objects_equal(a, b, depth);
    default:
      return false;
  }
}

// `depth` counts the arrays and objects around `value`. Arrays and objects
// deeper than core::kMaxRecursionDepth, where py_equal fails, are not read:
// they all hash alike, so hashing never fails.
std::size_t hash_at(const Value& value, std::size_t depth) {
  if (is_numeric(value)) return number_hash(value);
  if ((value.is_array() || value.is_object()) && depth >= core::kMaxRecursionDepth) return 17;
  switch (value.type()) {
    case Value::value_t::string:
      return std::hash<std::string_view>()(value.get_ref<const std::string&>());
    case Value::value_t::binary: {
      const core::Bytes& bytes = value.get_binary();
      return combine(7, std::hash<std::string_view>()(std::string_view(
                            reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    }
    case Value::value_t::array: {
      std::size_t seed = 11;
      for (const Value& item : value) seed = combine(seed, hash_at(item, depth + 1));
      return seed;
    }
    case Value::value_t::object: {
      // A sum of per-entry hashes does not depend on the key order.
      std::size_t sum = 13;
      for (auto it = value.begin(); it != value.end(); ++it) {
        sum += combine(std::hash<std::string_view>()(it.key()), hash_at(it.value(), depth + 1));
      }
      return sum;
    }
    default:
      return 3;
  }
}

}  // namespace

bool py_equal(const Value& a, const Value& b) { return equal_at(a, b, 0); }

std::size_t py_hash(const Value& value) { return hash_at(value, 0); }

}  // namespace zelq::generation::reference_formatter::detail
