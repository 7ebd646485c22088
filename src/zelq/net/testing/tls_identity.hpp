// A self-signed certificate and its key, made when a test runs, for TLS
// servers of tests (the loopback server's https mode among them).
#pragma once

#include <string>

namespace zelq::net::testing {

struct TlsIdentity {
  std::string certificate_pem;
  std::string key_pem;
};

// A self-signed certificate (P-256, valid from an hour ago for a day) for
// `subject_alt_name`, e.g. "IP:127.0.0.1" or "DNS:localhost". Throws
// std::runtime_error when OpenSSL fails.
TlsIdentity make_identity(const std::string& subject_alt_name);

}  // namespace zelq::net::testing
