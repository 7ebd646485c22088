#include "zelq/net/sse_reader.hpp"

#include <string>

namespace zelq::net {

SseReader::SseReader(BodyReader body, std::size_t max_event_size)
    : body_(std::move(body)), parser_(max_event_size) {}

void SseReader::close() noexcept {
  ended_ = true;
  body_.close();
}

boost::asio::awaitable<std::optional<SseEvent>> SseReader::next() {
  while (true) {
    if (next_ready_ < ready_.size()) {
      std::optional<SseEvent> event(std::move(ready_[next_ready_++]));
      if (next_ready_ == ready_.size()) {
        ready_.clear();
        next_ready_ = 0;
      }
      co_return event;
    }
    if (error_) std::rethrow_exception(error_);
    if (ended_) co_return std::nullopt;
    std::string bytes = co_await body_.read_some();
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
