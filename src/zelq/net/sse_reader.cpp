#include "zelq/net/sse_reader.hpp"

#include <string>

namespace zelq::net {
namespace {

// Events of one read whose queue is kept for the next read.
constexpr std::size_t kKeptQueue = 4;

}  // namespace

SseReader::SseReader(BodyReader body, std::size_t max_event_size)
    : body_(std::move(body)), parser_(max_event_size) {}

void SseReader::close() noexcept {
  ended_ = true;
  body_.close();
}

SseEvent SseReader::take_ready() {
  SseEvent event(std::move(ready_[next_ready_++]));
  if (next_ready_ == ready_.size()) {
    // A read of many events leaves a large queue: a stream that waits for
    // its next bytes does not hold it.
    if (ready_.capacity() > kKeptQueue) {
      std::vector<SseEvent>().swap(ready_);
    } else {
      ready_.clear();
    }
    next_ready_ = 0;
  }
  return event;
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
    if (has_ready()) co_return take_ready();
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
    try {
      parser_.feed(bytes, ready_);
    } catch (...) {
      error_ = std::current_exception();
      body_.close();
    }
  }
}

}  // namespace zelq::net
