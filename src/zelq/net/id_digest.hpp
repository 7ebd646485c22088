// A fixed-size digest of an id that a server sent: what a reader keeps per
// event, in place of the id, to know the events it has taken. Ids are
// opaque texts of any size; their digests take 16 bytes each whatever the
// server sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zelq::net {

struct IdDigest {
  // The first 16 bytes of the SHA-256 of `id`: two different ids share one
  // by chance about once in 2^64 pairs.
  static IdDigest of(std::string_view id);

  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const IdDigest&, const IdDigest&) = default;

  // For unordered containers: the digest's first bytes, already uniform.
  struct Hash {
    std::size_t operator()(const IdDigest& digest) const noexcept {
      std::size_t hash;
      std::memcpy(&hash, digest.bytes.data(), sizeof hash);
      return hash;
    }
  };
};

}  // namespace zelq::net
