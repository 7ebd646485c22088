#include "zelq/net/http_message.hpp"

#include <algorithm>

namespace zelq::net {

bool iequals(std::string_view a, std::string_view b) noexcept {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string_view> find_header(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return std::string_view(value);
  }
  return std::nullopt;
}

}  // namespace zelq::net
