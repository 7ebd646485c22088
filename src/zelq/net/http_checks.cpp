#include "zelq/net/detail/http_checks.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <string_view>

#include "zelq/core/errors.hpp"

namespace zelq::net {
namespace {

// The characters of a token (a method or a header name), by byte value.
constexpr std::array<bool, 256> kTokenChars = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view("!#$%&'*+-.^_`|~0123456789")) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = true;
  return table;
}();

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return kTokenChars[static_cast<unsigned char>(c)];
  });
}

// A header name as it may appear in a message: printable ASCII only.
std::string printable(std::string_view text) {
  std::string out(text.substr(0, 100));
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return out;
}

// Longest name or value of a header field.
constexpr std::size_t kMaxFieldSize = 65'533;

void validate_headers(const HttpHeaders& headers, std::string_view what) {
  for (const auto& [name, value] : headers) {
    if (!is_token(name)) {
      throw core::ValueError("invalid " + std::string(what) + " name '" + printable(name) + "'");
    }
    if (name.size() > kMaxFieldSize) {
      throw core::ValueError("invalid " + std::string(what) + " name '" + printable(name) +
                             "': it is longer than " + std::to_string(kMaxFieldSize) + " bytes");
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      throw core::ValueError("invalid value of " + std::string(what) + " '" + name +
                             "': it contains CR, LF or NUL");
    }
    if (value.size() > kMaxFieldSize) {
      throw core::ValueError("invalid value of " + std::string(what) + " '" + name +
                             "': it is longer than " + std::to_string(kMaxFieldSize) + " bytes");
    }
    for (std::string_view managed : {"Content-Length", "Transfer-Encoding", "Connection"}) {
      if (iequals(name, managed)) {
        throw core::ValueError(std::string(what) + " '" + name +
                               "' is set by the HTTP client and must not be given");
      }
    }
  }
}

}  // namespace

namespace detail {

void validate_request(const HttpRequest& request) {
  if (!is_token(request.method)) {
    throw core::ValueError("invalid HTTP method '" + printable(request.method) +
                           "': expected a token such as GET or POST");
  }
  validate_headers(request.headers, "HTTP header");
  if (request.method == "TRACE" && !request.body.empty()) {
    throw core::ValueError("invalid HTTP request: a TRACE request takes no body");
  }
}

void validate_options(const HttpClientOptions& options) {
  auto positive = [](std::chrono::milliseconds value, const char* name) {
    if (value.count() <= 0) throw core::ValueError(std::string(name) + " must be positive");
  };
  positive(options.connect_timeout, "connect_timeout");
  positive(options.idle_timeout, "idle_timeout");
  if (options.request_timeout) positive(*options.request_timeout, "request_timeout");
  validate_headers(options.default_headers, "default HTTP header");
}

}  // namespace detail
}  // namespace zelq::net
