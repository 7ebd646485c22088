// The error of a connection that failed: the one error kind the connection
// layer raises itself.
#pragma once

#include <stdexcept>

namespace zelq::net {

// The connection could not be made (name resolution, connect, TLS handshake or
// certificate verification) or broke before the response was complete
// (reset, closed early, malformed HTTP). Never raised for our own deadlines
// (zelq::core::TimeoutError) or for the caller's cancellation.
class ConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zelq::net
