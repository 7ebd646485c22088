#include "zelq/net/quoting.hpp"

#include "zelq/core/pytext.hpp"

namespace zelq::net {

std::string Quoting::mask(std::string_view text) const { return mask_secret(text, key_); }

std::string Quoting::line(std::string_view text) const {
  return core::one_line(mask_secret(text, key_), limit_);
}

std::string Quoting::line(const core::Value& value) const { return line(core::py_repr(value)); }

std::string Quoting::quoted(std::string_view text) const { return core::py_repr(line(text)); }

std::string Quoting::quoted(const core::Value& value) const {
  if (value.is_string()) return quoted(value.get_ref<const std::string&>());
  return line(value);
}

std::string Quoting::excerpt(std::string_view text) const {
  std::string shown = line(text);
  const bool cut = shown.size() > limit_;
  if (cut) shown.resize(shown.size() - 3);  // the "..." goes after the quote
  return core::py_repr(shown) + (cut ? "..." : "");
}

}  // namespace zelq::net
