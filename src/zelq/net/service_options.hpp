// The settings every client of an outside service shares: where the service
// is, its key, time limits, retries and the number of requests in flight.
// Each client's options embed them (as a base), ApiClientOptions included,
// so a setting means the same in every client.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace zelq::net {

// The shortest pause before a service is asked again because its answer
// says to ask later (a stream resumed after it ended or broke, a result
// still pending), in seconds: no setting takes such a pause below it, so a
// server that answers at once is asked at most ten times a second.
inline constexpr double kMinPause = 0.1;

// `seconds`, the pause a setting or a server asks for, held to kMinPause.
constexpr double floored_pause(double seconds) noexcept { return std::max(seconds, kMinPause); }

struct ServiceOptions {
  // "scheme://host[:port][/path]" that request paths are appended to (after
  // a "/"); a trailing "/" is dropped. No user information, query or
  // fragment.
  std::string base_url{};
  // The secret of the service, masked ("***") in every text of an error that
  // comes from a server. It is sent only in the headers its client names.
  std::string api_key{};
  // Limit of one whole attempt of a request, a streamed body and the wait
  // for a request slot included; none by default. The back-off before a
  // retry counts against the attempt it precedes: one as long as the limit
  // ends the request with its time-out once the limit has passed.
  std::optional<std::chrono::milliseconds> timeout{};
  // Longest silence of a stream between two events (comments the server
  // sends to keep the connection open do not count), and longest wait for
  // any progress of a request.
  std::chrono::milliseconds idle_timeout{600'000};
  // Limit of resolving, connecting and the TLS handshake together.
  std::chrono::milliseconds connect_timeout{10'000};
  // Most requests in flight at once; later ones wait in arrival order. A
  // stream holds its slot until it is closed or destroyed.
  std::size_t max_concurrency = 16;
  // A 429 or 5xx answer is retried up to max_retries times, after the
  // server's Retry-After (or retry-after-ms) when it names at most
  // max_retry_after seconds, else after min(retry_max_delay,
  // retry_base_delay * 2^k) seconds before retry k (from 0). The same
  // back-off paces the resumption of a stream (ResumableEventStream): every
  // resumption waits at least retry_base_delay (and kMinPause), longer
  // after ones that brought nothing new, and at least the reconnection time
  // of the server's SSE "retry" field, up to max_retry_after.
  int max_retries = 2;
  double retry_base_delay = 0.5;
  double retry_max_delay = 8.0;
  double max_retry_after = 60.0;
};

// `seconds` (a setting's unit) as whole milliseconds, rounded up; values
// above a billion seconds are capped there, negative ones and NaN give 0.
std::chrono::milliseconds to_millis(double seconds) noexcept;

}  // namespace zelq::net
