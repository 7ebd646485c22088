#include "zelq/net/sse_reader.hpp"

#include <string>

#include "zelq/net/detail/spare_memory.hpp"

namespace zelq::net {

SseReader::SseReader(BodyReader body, std::size_t max_event_size)
    : body_(std::move(body)), parser_(max_event_size) {}

void SseReader::close() noexcept {
  ended_ = true;
  body_.close();
}

std::optional<SseEventView> SseReader::try_take_view() noexcept {
  if (!bytes_) return std::nullopt;
  try {
    SseEventView event;
    if (parser_.next(event)) return event;
  } catch (...) {
    error_ = std::current_exception();
    body_.close();
  }
  // The reader waits for more bytes now: the parser keeps only what is
  // unfinished, and the read's memory goes to the next read on this thread.
  parser_.trim();
  detail::give_back_text(std::move(*bytes_));
  bytes_.reset();
  return std::nullopt;
}

std::optional<SseEvent> SseReader::try_take() {
  const std::optional<SseEventView> event = try_take_view();
  if (!event) return std::nullopt;
  return SseEvent{.event = std::string(event->event),
                  .data = std::string(event->data),
                  .id = parser_.event_id()};
}

boost::asio::awaitable<std::optional<SseEvent>> SseReader::next() {
  return next_until(std::nullopt);
}

boost::asio::awaitable<std::optional<SseEvent>> SseReader::next(
    std::chrono::steady_clock::time_point deadline) {
  return next_until(deadline);
}

boost::asio::awaitable<std::optional<SseEvent>> SseReader::next_until(
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  while (true) {
    if (std::optional<SseEvent> event = try_take()) co_return event;
    if (error_) std::rethrow_exception(error_);
    if (ended_) co_return std::nullopt;
    // Two statements: g++ 12 mishandles co_await inside a conditional
    // expression.
    std::string bytes;
    if (deadline) {
      bytes = co_await body_.read_some(*deadline);
    } else {
      bytes = co_await body_.read_some();
    }
    if (bytes.empty()) {
      ended_ = true;
      continue;
    }
    bytes_ = std::make_unique<std::string>(std::move(bytes));
    try {
      parser_.start(*bytes_);
    } catch (...) {
      error_ = std::current_exception();
      body_.close();
      bytes_.reset();
    }
  }
}

}  // namespace zelq::net
