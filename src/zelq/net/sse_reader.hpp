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
  // SseEventTooLargeError when an event outgrows the size limit; events
  // that came before the failure are returned first, and the failure then
  // repeats on every later call. On cancellation (operation_aborted) the
  // connection is closed. The reader must stay alive until the awaitable
  // completes.
  boost::asio::awaitable<std::optional<SseEvent>> next();
  // The same, and when the next event has not arrived by `deadline` it closes
  // the connection and throws zelq::core::TimeoutError.
  boost::asio::awaitable<std::optional<SseEvent>> next(
      std::chrono::steady_clock::time_point deadline);

  // Takes the next event when the bytes already read hold it whole, without
  // reading; nullopt when next() has to read (or end, or throw) for it. A
  // parse failure is kept for next() to throw. Not a coroutine: the common
  // case of a stream read in large pieces costs no frame.
  std::optional<SseEvent> try_take();
  // The same as a view into the read in hand or the parser, valid until the
  // next call on the reader: an event of one data line is not copied.
  std::optional<SseEventView> try_take_view() noexcept;

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
  // The read being parsed (null when there is none); released once used
  // up, so a stream waiting for its next bytes holds no read buffer (the
  // parser keeps the line or event not yet complete, and the id and type of
  // the last event, each within max_event_size). On the heap:
  // the parser and the event views point into it, and a short text would
  // move with the reader.
  std::unique_ptr<std::string> bytes_;
  std::exception_ptr error_;
  bool ended_ = false;
};

}  // namespace zelq::net
