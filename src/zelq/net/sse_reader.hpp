// Reads server-sent events from a streamed HTTP body.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "zelq/net/http_client.hpp"
#include "zelq/net/sse_parser.hpp"

namespace zelq::net {

// Pulls events out of a BodyReader with an SseParser. Each read of the body is
// bounded by the client's idle timeout, re-armed before every read.
// Move-only (through BodyReader); one next() at a time.
class SseReader {
 public:
  explicit SseReader(BodyReader body, std::size_t max_event_size = SseParser::kDefaultMaxEventSize);

  // Returns the next event, or nullopt once the body has ended (an incomplete
  // trailing event is dropped). Throws what BodyReader::read_some throws, and
  // zelq::core::RuntimeError when an event outgrows the size limit; events
  // that came before the failure are returned first, and the failure then
  // repeats on every later call. On cancellation (operation_aborted) the
  // connection is closed. The reader must stay alive until the awaitable
  // completes.
  boost::asio::awaitable<std::optional<SseEvent>> next();
  // The same, and when the next event has not arrived by `deadline` it closes
  // the connection and throws zelq::core::TimeoutError.
  boost::asio::awaitable<std::optional<SseEvent>> next(
      std::chrono::steady_clock::time_point deadline);

  // True when an event is parsed and waiting: take_ready() and next() then
  // return it without reading. When none waits yet, parses the read in hand
  // up to its next event, so a view taken before is no longer valid after
  // it. A parse failure is kept for next() to throw.
  bool has_ready() noexcept;
  // Takes the event that is waiting; only when has_ready(). Not a coroutine:
  // the common case of a stream read in large pieces costs no frame.
  SseEvent take_ready();
  // The same as a view into the read in hand or the parser, valid until the
  // next call on the reader: an event of one data line is not copied.
  SseEventView take_ready_view();

  // The parser's state: last event id and reconnection time.
  const SseParser& parser() const noexcept { return parser_; }

  // Closes the connection; next() then returns the events already parsed and
  // after them nullopt.
  void close() noexcept;

 private:
  boost::asio::awaitable<std::optional<SseEvent>> next_until(
      std::optional<std::chrono::steady_clock::time_point> deadline);

  BodyReader body_;
  SseParser parser_;
  // The read being parsed; released once used up, so a stream waiting for
  // its next bytes holds no buffer. On the heap: the parser and the event
  // views point into it, and a short text would move with the reader.
  std::unique_ptr<std::string> bytes_;
  SseEventView ready_event_;
  bool ready_ = false;
  std::exception_ptr error_;
  bool ended_ = false;
};

}  // namespace zelq::net
