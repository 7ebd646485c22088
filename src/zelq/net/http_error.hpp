// Error kinds of the HTTP client.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "zelq/core/value.hpp"
#include "zelq/net/connection_error.hpp"
#include "zelq/net/http_message.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::net {

// A delay in seconds, fractions allowed (Retry-After may name 0.5 s).
using Seconds = std::chrono::duration<double>;

// A response whose status is not 2xx. The HTTP client itself does not throw
// it: HttpClient::request and HttpClient::stream return any status; ApiClient
// and callers that treat non-2xx as failure build it with from_response or
// throw_for_status. what() is "HTTP <status> from <endpoint>: <message>",
// without " from <endpoint>" when no endpoint is known and without
// ": <message>" when the server sent none; it never contains request headers.
class HttpError : public std::runtime_error {
 public:
  HttpError(int status, std::string message, std::optional<Seconds> retry_after,
            std::string endpoint = {});

  // Builds the error of a response: the message is server_message(body,
  // quoting, max_memory), so no key of `quoting` shows (a body the response
  // calls text/html is read as HTML even without a document head), and
  // retry_after comes from retry_after_of(head.headers, now). `max_memory`
  // is the budget of the client that received the body. `endpoint` names
  // the request, e.g.
  // "POST https://api.example.com/v1/chat/completions" (no query).
  static HttpError from_response(
      const HttpResponseHead& head, std::string_view body, std::size_t max_memory,
      std::string endpoint = {}, const Quoting& quoting = {},
      std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // The HTTP status code.
  int status() const noexcept { return status_; }

  // The server's explanation (may be empty).
  const std::string& message() const noexcept { return message_; }

  // How long the server asked the client to wait before retrying, if it said.
  std::optional<Seconds> retry_after() const noexcept { return retry_after_; }

  // The request that failed ("" when not known).
  const std::string& endpoint() const noexcept { return endpoint_; }

 private:
  int status_;
  std::string message_;
  std::optional<Seconds> retry_after_;
  std::string endpoint_;
};

// Throws HttpError::from_response(response, response.body, max_memory)
// unless the status is 2xx.
void throw_for_status(const HttpResponse& response, std::size_t max_memory);

// `text` with "." appended unless it already ends with ".", "!" or "?" (a
// quoted message of the server, an ellipsis), so that texts quoted into a
// sentence never read "..".
std::string sentence(std::string text);

// The human-readable message of an error body: error.message, error (when a
// string) or message of a JSON object; else, for an HTML page, its <title>
// (or its text without markup when the title is empty); else the body
// itself; as `quoting` shows a line of text (Quoting::line: key masked, one
// line, cut, what cannot be shown as it stands escaped, so that the message
// is valid UTF-8 and holds no control byte, NUL included). The body is read
// as JSON within `max_memory` bytes of heap, the budget of the client that
// received it: a body whose value would hold more, or that is nested deeper
// than 512 levels, is quoted as text.
std::string server_message(std::string_view body, const Quoting& quoting, std::size_t max_memory);

// server_message of a body parsed already (an answer that holds "error"):
// its message, else the value as JSON text on one line. Nothing is parsed
// again.
std::string parsed_server_message(const core::Value& body, const Quoting& quoting);

// The delay a response asks for before a retry: "retry-after-ms"
// (milliseconds) when usable, else "Retry-After" as seconds (fractions
// allowed) or an HTTP-date (see parse_retry_after). nullopt when neither is
// usable.
std::optional<Seconds> retry_after_of(
    const HttpHeaders& headers,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// Parses a Retry-After value: seconds ("120", "0.5") or an HTTP-date in any
// of the three forms HTTP allows ("Sun, 06 Nov 1994 08:49:37 GMT", the
// obsolete "Sunday, 06-Nov-94 08:49:37 GMT" and "Sun Nov  6 08:49:37 1994").
// A date is turned into the seconds from `now` until it, zero when it has
// passed. Returns nullopt for anything else (negative numbers included).
std::optional<Seconds> parse_retry_after(std::string_view value,
                                         std::chrono::system_clock::time_point now);

}  // namespace zelq::net
