#include "zelq/net/url.hpp"

#include <algorithm>
#include <charconv>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::net {
namespace {

char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), to_lower);
  return out;
}

bool is_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':'; }

[[noreturn]] void fail(std::string_view text, std::string_view problem) {
  throw core::ValueError("invalid URL '" + redact_url_text(text) + "': " + std::string(problem));
}

// The length of the scheme and its slashes at the start of `text` ("http://",
// "https//", "http:\\", "//"), or 0 when what comes before the first "//"
// or "\\" is not letters, with or without a ":": "u:pa//ss@host" keeps
// nothing, so no part of a password shows.
std::size_t scheme_prefix_size(std::string_view text) {
  const auto slashes = std::min(text.find("//"), text.find("\\\\"));
  if (slashes == std::string_view::npos) return 0;
  std::string_view scheme = text.substr(0, slashes);
  if (scheme.ends_with(':')) scheme.remove_suffix(1);
  const bool letters = std::all_of(scheme.begin(), scheme.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  return letters ? slashes + 2 : 0;
}

bool valid_reg_name(std::string_view host) {
  return std::all_of(host.begin(), host.end(), [](char c) {
    return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '%';
  });
}

bool valid_target(std::string_view target) {
  return std::all_of(target.begin(), target.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f;
  });
}

// Splits "host[:port]" or "[v6][:port]" into `url.host` and `url.port`.
void parse_authority(std::string_view text, std::string_view authority, Url& url) {
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    auto close = authority.find(']');
    if (close == std::string_view::npos) fail(text, "unterminated IPv6 address");
    url.host = lower(authority.substr(1, close - 1));
    if (url.host.empty() || !std::all_of(url.host.begin(), url.host.end(),
                                         [](char c) { return is_hex(c) || c == '.'; })) {
      fail(text, "malformed IPv6 address");
    }
    auto rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') fail(text, "unexpected text after IPv6 address");
    if (!rest.empty()) port_text = rest.substr(1);
    if (rest.size() == 1) fail(text, "empty port");
  } else {
    auto colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) fail(text, "empty port");
      authority = authority.substr(0, colon);
    }
    if (authority.empty()) fail(text, "no host");
    if (!valid_reg_name(authority)) fail(text, "host contains characters not allowed in a URL");
    url.host = lower(authority);
  }
  if (port_text.empty()) return;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || value == 0 ||
      value > 65535 || port_text.front() == '+') {
    // After an "@" the port may be part of a password with an unencoded
    // "/" ("http://u:pa/ss@host"): name the problem without quoting it.
    if (text.find('@') != std::string_view::npos) fail(text, "invalid port");
    fail(text, "invalid port '" + redact_url_text(port_text) + "'");
  }
  url.port = static_cast<std::uint16_t>(value);
}

}  // namespace

std::string redact_url_text(std::string_view text) {
  std::string out;
  const auto cut = text.find_first_of("?#");
  const auto at = text.rfind('@');
  if (at == std::string_view::npos) {
    out = text.substr(0, cut);
  } else {
    // Everything before the last "@" may be user information, also when the
    // text is not a URL ("http//u:pw@host", "u:pa/ss@host") and when the
    // password holds an unencoded "?" or "#": only a scheme ("http://",
    // "http//", "http:\\") stays in front of the mask. When a "?" or "#"
    // comes before that "@", what follows it may be a query as well as a
    // host, and nothing of it is shown.
    const std::string_view kept = text.substr(0, scheme_prefix_size(text.substr(0, at)));
    out = cut < at ? std::string(kept) + "***"
                   : std::string(kept) + "***@" + std::string(text.substr(at + 1, cut - at - 1));
  }
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

Url Url::parse(std::string_view text) {
  Url url;
  auto sep = text.find("://");
  if (sep == std::string_view::npos) {
    fail(text, "expected an absolute URL starting with http:// or https://");
  }
  url.scheme = lower(text.substr(0, sep));
  if (url.scheme != "http" && url.scheme != "https") {
    fail(text, "unsupported scheme '" + redact_url_text(url.scheme) + "' (expected http or https)");
  }
  auto rest = text.substr(sep + 3);
  rest = rest.substr(0, rest.find('#'));
  auto authority_end = std::min(rest.find_first_of("/?"), rest.size());
  auto authority = rest.substr(0, authority_end);
  if (authority.find('@') != std::string_view::npos) {
    fail(text, "user information in URLs is not supported; send credentials in headers");
  }
  if (authority.empty()) fail(text, "no host");
  parse_authority(text, authority, url);
  if (url.port == 0) url.port = url.is_tls() ? 443 : 80;
  auto target = rest.substr(authority_end);
  if (!valid_target(target)) {
    fail(text,
         "path or query contains spaces, control or non-ASCII characters; percent-encode them");
  }
  url.target =
      target.empty() || target.front() == '?' ? "/" + std::string(target) : std::string(target);
  return url;
}

bool Url::host_is_ipv6() const noexcept { return host.find(':') != std::string::npos; }

std::string Url::endpoint() const {
  auto h = host_is_ipv6() ? "[" + host + "]" : host;
  return h + ":" + std::to_string(port);
}

std::string Url::authority() const {
  bool default_port = port == (is_tls() ? 443 : 80);
  return default_port ? (host_is_ipv6() ? "[" + host + "]" : host) : endpoint();
}

std::string Url::redacted() const {
  return scheme + "://" + authority() + target.substr(0, target.find('?'));
}

std::string query_value(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

std::string path_segment(std::string_view text) {
  if (text.empty() || text == "." || text == "..") {
    throw core::ValueError("The id " + core::py_repr(text) + " cannot be a segment of a URL path.");
  }
  return query_value(text);
}

}  // namespace zelq::net
