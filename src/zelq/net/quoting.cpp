#include "zelq/net/quoting.hpp"

#include <algorithm>

#include "zelq/core/pytext.hpp"

namespace zelq::net {

Quoting::Quoting(std::string key, std::size_t limit) : limit_(limit) {
  if (is_maskable_key(key)) {
    keys_ = std::make_shared<const std::vector<std::string>>(1, std::move(key));
  }
}

Quoting Quoting::also_masking(std::string_view key) const {
  if (!is_maskable_key(key)) return *this;
  std::vector<std::string> keys;
  if (keys_) {
    if (std::find(keys_->begin(), keys_->end(), key) != keys_->end()) return *this;
    keys = *keys_;
  }
  keys.emplace_back(key);
  return Quoting(std::make_shared<const std::vector<std::string>>(std::move(keys)), limit_);
}

std::string Quoting::masked(std::string_view text) const {
  if (!keys_) return std::string(text);
  return mask_secrets(text, *keys_);
}

std::string Quoting::mask(std::string_view text) const { return core::shown_text(masked(text)); }

std::string Quoting::line(std::string_view text) const {
  return core::one_line(masked(text), limit_);
}

std::string Quoting::line(const core::Value& value) const { return line(core::py_repr(value)); }

std::string Quoting::quoted(std::string_view text) const {
  return core::py_repr(core::collapsed_line(masked(text), limit_));
}

std::string Quoting::quoted(const core::Value& value) const {
  if (value.is_string()) return quoted(value.get_ref<const std::string&>());
  return line(value);
}

std::string Quoting::excerpt(std::string_view text) const {
  std::string shown = core::collapsed_line(masked(text), limit_);
  const bool cut = shown.size() > limit_;
  if (cut) shown.resize(shown.size() - 3);  // the "..." goes after the quote
  return core::py_repr(shown) + (cut ? "..." : "");
}

}  // namespace zelq::net
