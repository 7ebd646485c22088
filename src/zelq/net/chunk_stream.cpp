#include "zelq/net/chunk_stream.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"

namespace zelq::net {

namespace {

constexpr std::string_view kDone = "[DONE]";

}  // namespace

ChunkStream::ChunkStream(ApiEventStream events, Quoting quoting)
    : events_(std::move(events)), quoting_(std::move(quoting)), reader_(events_.max_memory()) {}

void ChunkStream::fail(std::string message) {
  close();
  throw core::RuntimeError(std::move(message));
}

std::optional<std::string_view> ChunkStream::frame_view(const SseEventView& event) {
  if (event.event == "error") {
    fail(source() + " reports an error: " + server_message(event.data, quoting_, max_memory()));
  }
  if (event.data == kDone) {
    done_ = true;
    return std::nullopt;
  }
  return event.data;
}

std::optional<std::string> ChunkStream::frame(SseEvent event) {
  if (!frame_view(SseEventView{.event = event.event, .data = event.data, .id = event.id})) {
    return std::nullopt;
  }
  return std::move(event.data);
}

boost::asio::awaitable<std::optional<std::string>> ChunkStream::next_data() {
  if (done_) co_return std::nullopt;
  // A stream waiting for its next bytes holds no parser.
  reader_.release();
  std::optional<SseEvent> event = co_await events_.next();
  if (!event) co_return std::nullopt;
  co_return frame(std::move(*event));
}

bool ChunkStream::try_take_data(std::optional<std::string>& data) {
  if (done_) {
    data.reset();
    return true;
  }
  std::optional<SseEvent> event = events_.try_take();
  if (!event) return false;
  data = frame(std::move(*event));
  return true;
}

bool ChunkStream::try_take_view(std::optional<std::string_view>& data) {
  if (done_) {
    data.reset();
    return true;
  }
  const std::optional<SseEventView> event = events_.try_take_view();
  if (!event) return false;
  data = frame_view(*event);
  return true;
}

core::Value ChunkStream::parse(std::string_view data) {
  core::Value chunk;
  try {
    chunk = parse_json_object(data, source(), quoting_, events_.max_memory());
  } catch (...) {
    close();
    throw;
  }
  if (auto error = chunk.find("error"); error != chunk.end() && !error->is_null()) {
    fail(source() + " reports an error: " + parsed_server_message(chunk, quoting_));
  }
  return chunk;
}

boost::asio::awaitable<std::optional<core::Value>> ChunkStream::next() {
  std::optional<std::string> data = co_await next_data();
  if (!data) co_return std::nullopt;
  co_return parse(*data);
}

void ChunkStream::check_done() const {
  if (!done_) {
    throw core::RuntimeError("The stream of " + events_.endpoint() +
                             " ended before its end marker 'data: [DONE]'.");
  }
}

}  // namespace zelq::net
