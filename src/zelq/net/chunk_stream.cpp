#include "zelq/net/chunk_stream.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::net {

namespace {

constexpr std::string_view kDone = "[DONE]";
constexpr std::size_t kExcerpt = 200;

}  // namespace

ChunkStream::ChunkStream(ApiEventStream events, std::string secret)
    : events_(std::move(events)),
      secret_(std::move(secret)),
      source_("A streamed chunk of " + events_.endpoint()) {}

void ChunkStream::fail(std::string message) {
  close();
  throw core::RuntimeError(std::move(message));
}

boost::asio::awaitable<std::optional<core::Value>> ChunkStream::next() {
  if (done_) co_return std::nullopt;
  std::optional<SseEvent> event = co_await events_.next();
  if (!event) co_return std::nullopt;
  if (event->event == "error") {
    fail(source_ + " reports an error: " + server_message(event->data, secret_));
  }
  if (event->data == kDone) {
    done_ = true;
    co_return std::nullopt;
  }
  core::Value chunk = core::Value::parse(event->data, nullptr, false);
  if (chunk.is_discarded() || !chunk.is_object()) {
    // Masked before the cut, so no part of the key remains.
    const std::string masked = mask_secret(event->data, secret_);
    fail(source_ + " is not a JSON object: " + core::py_repr(masked.substr(0, kExcerpt)) +
         (masked.size() > kExcerpt ? "..." : "") + ".");
  }
  if (auto error = chunk.find("error"); error != chunk.end() && !error->is_null()) {
    fail(source_ + " reports an error: " + server_message(event->data, secret_));
  }
  co_return chunk;
}

void ChunkStream::check_done() const {
  if (!done_) {
    throw core::RuntimeError("The stream of " + events_.endpoint() +
                             " ended before its end marker 'data: [DONE]'.");
  }
}

}  // namespace zelq::net
