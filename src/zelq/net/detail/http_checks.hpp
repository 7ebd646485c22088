// Internal: the checks of a client's options and of each request, made
// before any I/O.
#pragma once

#include "zelq/net/http_client_options.hpp"
#include "zelq/net/http_message.hpp"

namespace zelq::net::detail {

// Throws zelq::core::ValueError for a method that is not an HTTP token, a
// TRACE with a body, or a header field with a malformed name, a value with
// CR, LF or NUL, a name or value longer than 65,533 bytes, or a name the
// client sets itself (Content-Length, Transfer-Encoding, Connection).
// Messages name the field, never its value.
void validate_request(const HttpRequest& request);

// Throws zelq::core::ValueError for non-positive timeouts or bad default
// headers (as validate_request).
void validate_options(const HttpClientOptions& options);

}  // namespace zelq::net::detail
