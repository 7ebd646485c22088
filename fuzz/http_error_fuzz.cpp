// The parts of an error response read from a server: the Retry-After and
// retry-after-ms headers give nothing or a finite delay of zero or more,
// and the server's message never shows the API key and is cut at a UTF-8
// character boundary.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "zelq/net/http_error.hpp"

namespace {

using namespace std::chrono;

void check_delay(const std::optional<zelq::net::Seconds>& delay, std::string_view value) {
  if (delay && !(std::isfinite(delay->count()) && delay->count() >= 0)) {
    zelq::fuzz::fail("a Retry-After delay that is negative or not finite",
                     zelq::fuzz::escaped(value) + " -> " + std::to_string(delay->count()));
  }
}

// Lead bytes followed by the right number of continuation bytes.
bool well_formed_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// `message` with each escape the quoting writes ("\xNN", "\uNNNN",
// "\UNNNNNNNN") replaced by a space.
std::string without_escapes(const std::string& message) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    std::size_t digits = 0;
    if (message[i] == '\\' && i + 1 < message.size()) {
      const char kind = message[i + 1];
      digits = kind == 'x' ? 2 : kind == 'u' ? 4 : kind == 'U' ? 8 : 0;
    }
    if (digits == 0 || i + 2 + digits > message.size()) {
      out += message[i];
      continue;
    }
    out += ' ';
    i += 1 + digits;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  // Any moment from 1900 to 2200.
  const auto offset = fdp.ConsumeIntegralInRange<std::int64_t>(-2'208'988'800, 7'258'118'400);
  const system_clock::time_point now =
      system_clock::time_point(duration_cast<system_clock::duration>(seconds(offset))) +
      milliseconds(fdp.ConsumeIntegralInRange<int>(0, 999));
  const std::string secret =
      fdp.ConsumeBytesAsString(fdp.ConsumeIntegralInRange<std::size_t>(0, 12));
  const std::string value = fdp.ConsumeRemainingBytesAsString();

  check_delay(zelq::net::parse_retry_after(value, now), value);
  zelq::net::HttpHeaders headers;
  headers.emplace_back("retry-after-ms", value);
  check_delay(zelq::net::retry_after_of(headers, now), value);

  // Keys are long printable ASCII texts without '*', '.' or '\': a short
  // key may occur by chance in what the mask leaves, one with '*' in the
  // mask itself, one ending in '.' in a body that shows the rest of it
  // right before the cut and the "..." that marks the cut (the mask hides
  // whole keys only), one with '\' in the escape of a byte the body held
  // ("\xf2" for 0xf2 spells a key ending in "\x" that the body never
  // held), and one that starts inside a UTF-8 character splits it. The
  // escapes the message writes are not the body's characters: they count as
  // gaps (the digits of "\x14" before "4444444" spell no key the body held).
  const bool plain = std::all_of(secret.begin(), secret.end(), [](char c) {
    return c > 0x20 && c < 0x7f && c != '*' && c != '.' && c != '\\';
  });
  if (secret.size() < 8 || !plain) return 0;
  const std::string message =
      zelq::net::server_message(value, zelq::net::Quoting(secret), std::size_t{256} << 20);
  if (without_escapes(message).find(secret) != std::string::npos) {
    zelq::fuzz::fail(
        "the server message shows the key",
        "key: " + zelq::fuzz::escaped(secret) + "\nmessage: " + zelq::fuzz::escaped(message));
  }
  if (well_formed_utf8(value) && !well_formed_utf8(message)) {
    zelq::fuzz::fail("the server message cuts a UTF-8 character", zelq::fuzz::escaped(message));
  }
  return 0;
}
