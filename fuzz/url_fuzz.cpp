// Url::parse either gives a URL whose parts parse back to themselves, or a
// ValueError whose message echoes neither user information nor the query
// and holds no control character.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/url.hpp"

namespace {

using zelq::net::Url;

bool same(const Url& a, const Url& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port && a.target == b.target;
}

// The parts of `text` that may carry credentials: the user information
// before the last '@' of the authority, and the query.
void check_message(std::string_view text, std::string_view message) {
  for (unsigned char c : message) {
    if (c < 0x20 || c == 0x7f) zelq::fuzz::fail("a control character in a URL error", std::string(message));
  }
  std::string_view secrets[2];
  if (auto sep = text.find("://"); sep != std::string_view::npos) {
    auto rest = text.substr(sep + 3);
    auto authority = rest.substr(0, rest.find_first_of("/?#"));
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      secrets[0] = authority.substr(0, at);
    }
  }
  if (auto q = text.find('?'); q != std::string_view::npos) {
    auto query = text.substr(q + 1);
    secrets[1] = query.substr(0, query.find('#'));
  }
  for (auto secret : secrets) {
    // Short or repeated pieces may show up legitimately elsewhere.
    if (secret.size() < 8 || text.find(secret) != text.rfind(secret)) continue;
    if (message.find(secret) != std::string_view::npos) {
      zelq::fuzz::fail("a URL error shows user information or the query", std::string(message));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Url url;
  try {
    url = Url::parse(text);
  } catch (const zelq::core::ValueError& error) {
    check_message(text, error.what());
    return 0;
  }
  if ((url.scheme != "http" && url.scheme != "https") || url.host.empty() || url.port == 0 ||
      url.target.empty() || url.target.front() != '/') {
    zelq::fuzz::fail("a parsed URL has an empty or odd part", zelq::fuzz::escaped(text));
  }
  const std::string rebuilt = url.scheme + "://" + url.authority() + url.target;
  Url again;
  try {
    again = Url::parse(rebuilt);
  } catch (const zelq::core::ValueError& error) {
    zelq::fuzz::fail("a rebuilt URL does not parse", rebuilt + "\n" + error.what());
  }
  if (!same(url, again)) zelq::fuzz::fail("a rebuilt URL parses differently", rebuilt);
  if (url.redacted().find('?') != std::string::npos) {
    zelq::fuzz::fail("a redacted URL keeps its query", url.redacted());
  }
  return 0;
}
