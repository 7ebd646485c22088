// Plain data types of HTTP requests and responses.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelq::net {

// Header fields in wire order; a name may repeat. Names compare without case.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Returns the value of the first field called `name` (any case), or nullopt.
// The view points into `headers` and lives as long as it is unchanged.
std::optional<std::string_view> find_header(const HttpHeaders& headers, std::string_view name);

// True when `a` and `b` are equal ignoring ASCII case.
bool iequals(std::string_view a, std::string_view b) noexcept;

// One request. `url` is an absolute http or https URL (see Url::parse).
// Host, Content-Length and Connection are set by the client; a request must not
// carry Content-Length, Transfer-Encoding or Connection itself.
struct HttpRequest {
  std::string method = "GET";
  std::string url{};
  HttpHeaders headers{};
  std::string body{};
  // Limit of this whole request, replacing the client's request_timeout.
  std::optional<std::chrono::milliseconds> timeout{};
  // Time already spent against `timeout` before the request reached the
  // client (waiting for a request slot): its deadline is that much nearer,
  // and a time-out still names `timeout` whole. Ignored without `timeout`.
  std::chrono::milliseconds timeout_used{};
};

// Status line and header fields of a response.
struct HttpResponseHead {
  int status = 0;
  std::string reason{};
  HttpHeaders headers{};

  // True for a 2xx status.
  bool ok() const noexcept { return status >= 200 && status < 300; }
};

// A whole response with its body read into memory.
struct HttpResponse : HttpResponseHead {
  std::string body{};
};

}  // namespace zelq::net
