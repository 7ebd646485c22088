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

constexpr std::string_view kCanary = "C4n4ry";

// `text` with the parts that may carry credentials replaced by kCanary: the
// user information before the last '@' of the authority, and the query
// (from the first '?' to the fragment).
std::string with_canaries(std::string_view text) {
  std::string out(text);
  if (auto q = out.find('?'); q != std::string::npos) {
    out.replace(q + 1, out.find('#', q) - (q + 1), kCanary);
  }
  if (auto sep = out.find("://"); sep != std::string::npos) {
    const auto start = sep + 3;
    const auto end = std::min(out.find_first_of("/?#", start), out.size());
    if (auto at = out.rfind('@', end == 0 ? 0 : end - 1); at != std::string::npos && at >= start) {
      out.replace(start, at - start, kCanary);
    }
  }
  return out;
}

void check_message(std::string_view message) {
  for (unsigned char c : message) {
    if (c < 0x20 || c == 0x7f) {
      zelq::fuzz::fail("a control character in a URL error", zelq::fuzz::escaped(message));
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
    check_message(error.what());
    // The same URL with its credentials marked: the message never shows them.
    const std::string marked = with_canaries(text);
    if (marked.find(kCanary) != std::string::npos && text.find(kCanary) == std::string::npos) {
      try {
        (void)Url::parse(marked);
      } catch (const zelq::core::ValueError& again) {
        if (std::string_view(again.what()).find(kCanary) != std::string_view::npos) {
          zelq::fuzz::fail("a URL error shows user information or the query", again.what());
        }
      }
    }
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
