// Error kinds of the HTTP client.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zelq/net/http_message.hpp"

namespace zelq::net {

// A response whose status is not 2xx. The client itself does not throw it:
// HttpClient::request and HttpClient::stream return any status, and callers
// that treat non-2xx as failure build this with from_response or call
// throw_for_status. what() is "HTTP <status>: <message>" ("HTTP <status>" when
// the server sent no message); it never contains request headers.
class HttpError : public std::runtime_error {
 public:
  HttpError(int status, std::string message, std::optional<std::chrono::seconds> retry_after);

  // Builds the error of a response: the message comes from server_message(body)
  // and retry_after from the Retry-After header, relative to `now`.
  static HttpError from_response(
      const HttpResponseHead& head, std::string_view body,
      std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // The HTTP status code.
  int status() const noexcept { return status_; }

  // The server's explanation (may be empty).
  const std::string& message() const noexcept { return message_; }

  // How long the server asked the client to wait before retrying, if it said.
  std::optional<std::chrono::seconds> retry_after() const noexcept { return retry_after_; }

 private:
  int status_;
  std::string message_;
  std::optional<std::chrono::seconds> retry_after_;
};

// The connection could not be made (name resolution, connect, TLS handshake or
// certificate verification) or broke before the response was complete
// (reset, closed early, malformed HTTP). Never raised for our own deadlines
// (zelq::core::TimeoutError) or for the caller's cancellation.
class ConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws HttpError::from_response(response, response.body) unless the status
// is 2xx.
void throw_for_status(const HttpResponse& response);

// The human-readable message of an error body: error.message, error (when a
// string) or message of a JSON object, else the body itself with surrounding
// white space removed. The result is cut to at most 2000 bytes (JSON) or 500
// bytes (other bodies) at a UTF-8 character boundary, with "..." appended.
std::string server_message(std::string_view body);

// Parses a Retry-After value: delta-seconds ("120") or an HTTP-date in any of
// the three forms HTTP allows ("Sun, 06 Nov 1994 08:49:37 GMT", the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994"). A date is
// turned into the seconds from `now` until it, zero when it has passed.
// Returns nullopt for anything else.
std::optional<std::chrono::seconds> parse_retry_after(std::string_view value,
                                                      std::chrono::system_clock::time_point now);

}  // namespace zelq::net
