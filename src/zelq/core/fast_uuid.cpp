#include "zelq/core/fast_uuid.hpp"

#include <cstdint>
#include <random>

namespace zelq::core {

namespace {

std::mt19937_64 seeded_engine() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(),
                     device(), device(), device(), device()};
  return std::mt19937_64(seed);
}

// Writes `digits` hexadecimal digits of `bits`, most significant first.
char* put_hex(char* out, std::uint64_t bits, int digits) {
  constexpr char kHex[] = "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) *out++ = kHex[(bits >> shift) & 0xF];
  return out;
}

}  // namespace

std::string fast_uuid() {
  thread_local std::mt19937_64 engine = seeded_engine();
  // Bytes 0-7 in `high`, 8-15 in `low`, most significant first: the version
  // (4) is the high nibble of byte 6, the variant (binary 10) the top bits
  // of byte 8.
  const std::uint64_t high = (engine() & ~std::uint64_t{0xF000}) | 0x4000;
  const std::uint64_t low = (engine() & ~(std::uint64_t{0xC0} << 56)) | (std::uint64_t{0x80} << 56);
  std::string text(36, '-');
  char* out = text.data();
  out = put_hex(out, high >> 32, 8) + 1;
  out = put_hex(out, high >> 16, 4) + 1;
  out = put_hex(out, high, 4) + 1;
  out = put_hex(out, low >> 48, 4) + 1;
  put_hex(out, low, 12);
  return text;
}

}  // namespace zelq::core
