#include "zelq/net/id_digest.hpp"

#include <openssl/sha.h>

namespace zelq::net {

IdDigest IdDigest::of(std::string_view id) {
  unsigned char sha[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(id.data()), id.size(), sha);
  IdDigest digest;
  std::memcpy(digest.bytes.data(), sha, digest.bytes.size());
  return digest;
}

}  // namespace zelq::net
