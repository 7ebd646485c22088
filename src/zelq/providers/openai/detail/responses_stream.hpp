// Reads the events of one streamed OpenAI response into the caller's events
// and one LMOutput.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"
#include "zelq/inference/event_block.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/net/quoting.hpp"
#include "zelq/net/sse_parser.hpp"

namespace zelq::providers::openai {

// The activity a finished output item reports, or nullopt for items that
// are no tool call:
//   web_search_call       -> the item's action: {"type": "search", "query"},
//                            {"type": "open_page", "url"}, {"type":
//                            "find_in_page", "url", "pattern"}, ...
//                            ("search" when the action is missing)
//   code_interpreter_call -> {"type": "code_interpreter", "code"}
//   mcp_call              -> {"type": "mcp_call", "server_label", "name",
//                            "arguments"}
std::optional<inference::Activity> item_activity(const core::Value& item);

// The state of one response read from its stream, across reconnections.
//
// Events go to the emitter in the order of the stream: each reasoning
// summary part is a thinking block and each output text part a response
// block (start, one content event per delta, end, under one fresh id; a
// block that another block or an activity interrupts is ended and a new one
// opened when its part goes on), and each finished web-search,
// code-interpreter or MCP call is one activity event under its own id.
// Events whose sequence number is not above the last one taken are skipped,
// so a reconnection that repeats events repeats none of them.
//
// Not thread-safe; used by one invocation.
class ResponsesStreamReader {
 public:
  // `emitter` may be null (nothing is sent). `source` names the endpoint in
  // messages; every server text quoted is shown as `quoting` (the client's
  // policy) shows it. An event's parsed value holds at most `max_memory`
  // bytes of heap (the client's budget: there is no unlimited reader).
  ResponsesStreamReader(std::shared_ptr<core::EventEmitter> emitter, std::string source,
                        net::Quoting quoting, std::size_t max_memory);

  // Takes one event of the stream; returns true when the response has
  // completed ("response.completed"). Throws zelq::core::RuntimeError naming
  // the response and the service's message for "response.failed",
  // "response.incomplete", "response.cancelled" and "error" events, for
  // an event that is not a JSON object, and naming the response and the
  // counts for a url_citation beyond one per 64 bytes of the text streamed
  // so far and 1024 besides (no real answer has so many; it is not kept;
  // a core::OverLimitError, which no retry repeats); what the emitter
  // throws. A "[DONE]" event is ignored.
  boost::asio::awaitable<bool> take(const net::SseEvent& event);

  // Ends the open block and returns the output: one thinking part per
  // reasoning summary part, one text item per output text part, one citation
  // per url_citation annotation (content: the cited span of its text part;
  // metadata: "url" and "title"), each in the order they began. When the
  // stream carried no text, the texts and citations of the completed
  // response's message items are used. Throws zelq::core::RuntimeError
  // naming the response when the citations would quote more than 4 times
  // the texts and 64 KiB besides (no real answer does; nothing is copied),
  // or when those of the completed response are more than one per 64 bytes
  // of its texts and 1024 besides (both core::OverLimitError, which no
  // retry repeats); what the emitter throws.
  boost::asio::awaitable<inference::LMOutput> finish();

  // The id of the response ("" until an event named it).
  const std::string& response_id() const noexcept { return response_id_; }
  // Names the response whose events are read by id: one that the create
  // request answered with its record instead of its events. Does nothing
  // once the response is named.
  void follow(std::string id) {
    if (response_id_.empty()) response_id_ = std::move(id);
  }
  // The last sequence number taken, if any.
  std::optional<long long> last_sequence_number() const noexcept { return last_sequence_; }
  // Events taken so far (skipped repeats not counted).
  std::size_t events_taken() const noexcept { return taken_; }
  // True once a terminal event (completed, failed, incomplete, cancelled)
  // was taken: the run is over at the service.
  bool ended() const noexcept { return ended_; }

 private:
  enum class Kind { THINKING, TEXT };
  struct Part {
    Kind kind;
    std::string text;
  };
  // A url_citation as it is kept until the end: the character indices it
  // marks (when both are integers), its url and title.
  struct Annotation {
    std::size_t part;
    std::optional<std::pair<long long, long long>> indices;
    std::string url;
    std::string title;
  };

  boost::asio::awaitable<void> piece(Kind kind, std::string key, std::string delta);
  boost::asio::awaitable<void> close_block();
  // Ends the open block when it belongs to the part of `key`.
  boost::asio::awaitable<void> close_part(const std::string& key);
  boost::asio::awaitable<void> activity(const core::Value& item);
  std::size_t part_index(Kind kind, std::string key);
  void annotate(const core::Value& data);
  [[noreturn]] void fail(const core::Value& data, const std::string& type) const;
  // "OpenAI response <id> of <source>", the id as the service's texts
  // are shown; without "<id> " before the id is known.
  std::string named_response() const;
  // The citations of the streamed text parts, checked by check_quotes.
  std::vector<core::ChunkPtr> streamed_citations() const;
  void fill_from_final(inference::LMOutput& output) const;
  // Throws when the citations quote `quoted` bytes of texts of `text_bytes`,
  // more than their limit.
  void check_quotes(std::size_t quoted, std::size_t text_bytes) const;
  // Throws when `citations` are more than texts of `text_bytes` may have.
  void check_citation_count(std::size_t citations, std::size_t text_bytes) const;
  inference::EventBlockWriter& block_of(Kind kind) {
    return kind == Kind::THINKING ? thinking_block_ : text_block_;
  }

  std::shared_ptr<core::EventEmitter> emitter_;
  std::string source_;
  net::Quoting quoting_;
  std::size_t max_memory_;
  std::string response_id_;
  std::optional<long long> last_sequence_;
  std::size_t taken_ = 0;
  bool ended_ = false;
  std::vector<Part> parts_;
  std::size_t text_bytes_ = 0;  // of the text parts
  std::unordered_map<std::string, std::size_t> part_of_key_;
  std::vector<Annotation> annotations_;
  std::optional<std::size_t> open_part_;
  // One block is open at a time: the one of open_part_.
  inference::EventBlockWriter thinking_block_;
  inference::EventBlockWriter text_block_;
  core::Value final_response_ = nullptr;
};

}  // namespace zelq::providers::openai
