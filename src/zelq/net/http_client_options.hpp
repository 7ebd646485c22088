// The settings of an HttpClient (see http_client.hpp), apart from the
// client so that the connection layer beneath it reads them without looking
// up at the client.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "zelq/net/http_message.hpp"

namespace zelq::net {

struct HttpClientOptions {
  // Limit for resolving the host, connecting and the TLS handshake together.
  std::chrono::milliseconds connect_timeout{10'000};
  // Limit for the whole call, from its start to the end of the body (for
  // HttpClient::stream, to the end of reading the body). None by default.
  std::optional<std::chrono::milliseconds> request_timeout{};
  // Longest wait for any progress once connected: each write of the request
  // and each read of the response must complete within it.
  std::chrono::milliseconds idle_timeout{60'000};
  // Verify the server's certificate chain against the system CA store (plus
  // `extra_ca_pem`) and the certificate's name against the URL's host. Turning
  // this off makes TLS open to interception: only for tests and debugging.
  bool verify_tls = true;
  // PEM text of additional trusted CA certificates (for a private CA).
  std::string extra_ca_pem{};
  // Largest body HttpClient::request reads into memory, and most bytes
  // BodyReader::read_some hands out of one streamed body; more fails with
  // zelq::core::RuntimeError "response body from <url> exceeds the limit of
  // <n> bytes".
  std::size_t max_body_size = std::size_t{16} << 20;
  // Sent with every request unless the request has a field of the same name.
  HttpHeaders default_headers = {{"User-Agent", "zelq-net/0.1"}};
  // Keep connections open after a complete response and reuse them.
  bool keep_alive = true;
  // A kept connection idle for longer than this is closed, not reused.
  std::chrono::milliseconds pool_idle_timeout{30'000};
  // Most idle connections kept per scheme, host and port (and TLS settings).
  std::size_t max_idle_per_host = 32;
};

}  // namespace zelq::net
