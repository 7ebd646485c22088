// The framing of chat-completion streams: data-only server-sent events, each
// one JSON object (a chunk), ended by "data: [DONE]". OpenAI-compatible
// servers and Perplexity stream this way; their clients read chunks here and
// keep only the reading of a chunk's fields to themselves.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/chat_chunk.hpp"

namespace zelq::net {

// The chunks of one streamed answer. Move-only; owns the event stream (and so
// its connection and request slot) until it is closed or destroyed.
class ChunkStream {
 public:
  // Every server text put in an error is shown as `quoting` shows it (the
  // policy of the stream's owner: its keys masked, one line, cut).
  ChunkStream(ApiEventStream events, Quoting quoting);

  // The next chunk, a JSON object; nullopt once "data: [DONE]" came or the
  // body ended without it (done() tells which). Throws, closing the stream:
  // zelq::core::RuntimeError "A streamed chunk of <endpoint> reports an
  // error: <message>" for an "error" event or a chunk holding a non-null
  // "error" (the server's message, key masked); "A streamed chunk of
  // <endpoint> is not a JSON object: <excerpt>." (or "is not valid UTF-8")
  // for other data, zelq::core::ValueError for data nested deeper than 512
  // levels, zelq::core::JsonMemoryError for data whose value would hold
  // more than max_memory() (see parse_json_object); and what
  // ApiEventStream::next throws (timeouts, broken connections).
  // Cancellation propagates and closes the connection. The stream must
  // outlive the awaitable.
  boost::asio::awaitable<std::optional<core::Value>> next();

  // The framing of next() without the parse: the next chunk's data text, for
  // readers that take a few fields without building a Value (and then call
  // parse() only for data they cannot read). Throws as next() does for an
  // "error" event.
  boost::asio::awaitable<std::optional<std::string>> next_data();

  // Takes what next_data() would give when the next event is already
  // received, without awaiting (one coroutine frame less per streamed
  // token): true with `data` set to it (nullopt for the end). False, with
  // `data` untouched, when next_data() has to wait for it. Throws as
  // next_data() does.
  bool try_take_data(std::optional<std::string>& data);
  // The same as a view, valid until the next call on the stream: no copy
  // or allocation per chunk.
  bool try_take_view(std::optional<std::string_view>& data);

  // The reader of this stream's chunks, for readers that take a few fields
  // (see next_data()), held to max_memory(). The stream has it
  // give back its parser's memory before it waits for more bytes, and when
  // it is closed.
  ChatChunkReader& reader() noexcept { return reader_; }

  // The chunk in `data`, checked as next() checks it. Throws, closing the
  // stream, as next() does.
  core::Value parse(std::string_view data);

  // True once "data: [DONE]" came.
  bool done() const noexcept { return done_; }

  // Throws zelq::core::RuntimeError "The stream of <endpoint> ended before
  // its end marker 'data: [DONE]'." unless done().
  void check_done() const;

  // Ends the stream now; its connection is closed unless the body had ended.
  void close() noexcept {
    events_.close();
    reader_.release();
  }

  // "POST https://host/path" (no query).
  const std::string& endpoint() const noexcept { return events_.endpoint(); }
  // The most heap reading one chunk may hold, whatever reads it: the
  // client's budget (ApiEventStream::max_memory).
  std::size_t max_memory() const noexcept { return events_.max_memory(); }
  // "A streamed chunk of <endpoint>": how errors name a chunk. Made when
  // asked, for an error: a stream holds no copy.
  std::string source() const { return "A streamed chunk of " + events_.endpoint(); }

 private:
  [[noreturn]] void fail(std::string message);
  // The data of `event`, nullopt for the end marker; throws for an error.
  std::optional<std::string> frame(SseEvent event);
  // The same for an event that stays where it is.
  std::optional<std::string_view> frame_view(const SseEventView& event);

  ApiEventStream events_;
  Quoting quoting_;
  bool done_ = false;
  ChatChunkReader reader_;
};

}  // namespace zelq::net
