// Incremental parser of text/event-stream bodies (server-sent events).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/errors.hpp"

namespace zelq::net {

// An event outgrew the size limit of the parser that read it: a refusal over
// a limit, which no retry repeats. limit() is that limit in bytes, so that a
// reader that knows which stream it reads can name it in its own message.
class SseEventTooLargeError : public core::OverLimitError<core::RuntimeError> {
 public:
  SseEventTooLargeError(const std::string& what, std::size_t limit)
      : core::OverLimitError<core::RuntimeError>(what), limit_(limit) {}

  std::size_t limit() const noexcept { return limit_; }

 private:
  std::size_t limit_;
};

// The last event id an event carries. Every event after an "id" line
// carries the same id, and a server may send a long one: the events share
// one immutable copy of it rather than each holding its own. Reads as text.
class SseEventId {
 public:
  SseEventId() = default;
  SseEventId(std::string text)  // NOLINT: implicit, an id is a text
      : text_(text.empty() ? nullptr : std::make_shared<const std::string>(std::move(text))) {}
  SseEventId(const char* text) : SseEventId(std::string(text)) {}  // NOLINT
  // Shares `text` (null for "").
  explicit SseEventId(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}

  std::string_view view() const noexcept {
    return text_ ? std::string_view(*text_) : std::string_view();
  }
  operator std::string_view() const noexcept { return view(); }  // NOLINT
  std::string str() const { return std::string(view()); }
  bool empty() const noexcept { return view().empty(); }
  std::size_t size() const noexcept { return view().size(); }

  friend bool operator==(const SseEventId& a, const SseEventId& b) noexcept {
    return a.view() == b.view();
  }
  friend bool operator==(const SseEventId& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const SseEventId& a, const std::string& b) noexcept {
    return a.view() == b;
  }
  friend bool operator==(const SseEventId& a, const char* b) noexcept {
    return a.view() == std::string_view(b);
  }
  friend std::ostream& operator<<(std::ostream& out, const SseEventId& id) {
    return out << id.view();
  }

 private:
  std::shared_ptr<const std::string> text_;
};

// One dispatched event.
struct SseEvent {
  std::string event = "message";  // the "event" field; "message" when absent
  std::string data;               // the "data" lines joined with "\n"
  SseEventId id;                  // the last event id in force when dispatched

  friend bool operator==(const SseEvent&, const SseEvent&) = default;
};

// An event where it lies: in the bytes fed or in the parser's own storage.
// Valid until the next call on the parser that handed it out.
struct SseEventView {
  std::string_view event;
  std::string_view data;
  std::string_view id;
};

// Turns bytes of an event stream into events, following the browser rules:
// a UTF-8 byte order mark at the very start is skipped; lines end with CRLF,
// LF or CR (also when a CR ends one feed and the LF starts the next); a line
// starting with ':' is a comment; "field: value" loses one space after the
// colon; a line without a colon is a field with an empty value; "data" lines
// are joined with "\n"; "event" sets the type of the next event; "id" sets the
// last event id (kept across events; ignored when it contains NUL); "retry"
// sets the reconnection time when it is all ASCII digits; unknown fields are
// ignored; a blank line dispatches the event unless no data line came, which
// only resets the type. Bytes after the last blank line are an incomplete event
// and are never dispatched.
//
// Not thread-safe. Feeding never allocates per byte: lines are found with
// memchr and a line that does not span two feeds is not copied. Events
// taken one at a time as views (start() and next()) are not copied at all:
// an event of one data line is handed out where it lies in the bytes fed.
class SseParser {
 public:
  static constexpr std::size_t kDefaultMaxEventSize = std::size_t{1} << 20;

  // `max_event_size` bounds what the parser holds for one event: its data
  // lines (the values, each with its "\n") and any single event, id or retry
  // value. Comments and unknown fields are not held, so any length of them
  // is fine. Where the feeds end never changes whether the limit is hit.
  explicit SseParser(std::size_t max_event_size = kDefaultMaxEventSize);

  // Parses `bytes` and appends each completed event to `out`, in stream order.
  // `bytes` may end anywhere, even inside a line or a CRLF pair.
  // Throws SseEventTooLargeError "SSE event exceeds the size limit of <n>
  // bytes" when an event outgrows max_event_size; events completed before it
  // in the same feed are already in `out`. After that error the parser is
  // broken and every later feed throws SseEventTooLargeError too.
  void feed(std::string_view bytes, std::vector<SseEvent>& out);

  // The same one event at a time: start() takes `bytes`, and each next()
  // parses on to the next completed event in them and sets `out` to it,
  // returning false once the bytes are used up. `out` stays valid until the
  // next call on the parser. The parser points into `bytes` until next() has
  // returned false: they must stay unchanged and alive until then, or until
  // start() is called again. Throws as feed() does, from start() when the
  // parser is broken and from next() when an event outgrows the limit.
  void start(std::string_view bytes);
  bool next(SseEventView& out);

  // Gives back the memory of the buffers that hold nothing now (those of a
  // line or an event begun in one feed and ended in a later one): a reader
  // that waits for more bytes keeps no more than what is still unfinished.
  // Invalidates the event next() handed out last.
  void trim() noexcept;

  // The last event id seen so far ("" before any).
  const std::string& last_event_id() const {
    hold_id();
    return id_;
  }
  // The same, shared: the id of the event next() handed out last (until the
  // next call of next()). One copy per id, however many events carry it.
  SseEventId event_id() const;

  // The reconnection time in milliseconds from the last valid "retry" field.
  std::optional<std::uint64_t> retry() const noexcept { return retry_; }

  std::size_t max_event_size() const noexcept { return max_event_size_; }

 private:
  // Throws once an event has gone over the limit: the parser is broken.
  void check_usable() const {
    if (broken_) fail_broken();
  }
  [[noreturn]] void fail_broken() const;
  const char* skip_bom(const char* p, const char* end);
  const char* past_line_end(const char* eol, const char* lf, const char* cr);
  bool end_line(std::string_view last_part, SseEventView& out);
  void finish_bytes();
  // `in_feed`: `line` lies in the bytes of the current feed (not in line_).
  // True when the line dispatched an event into `out`.
  bool take_line(std::string_view line, SseEventView& out, bool in_feed);
  void take_data(std::string_view value, bool in_feed);
  void take_id(std::string_view value, bool in_feed);
  void hold_pending();
  std::size_t data_size() const noexcept;
  void take_partial_line(std::string_view part);
  void check_partial_line();
  bool dispatch(SseEventView& out);
  void set_type_and_id(SseEventView& out);
  void check_size(std::size_t held);
  [[noreturn]] void fail_too_large();

  std::size_t max_event_size_;
  // The bytes given to start() still to parse, and where the next LF and CR
  // in them are (`end_` when there is none). Each search result is reused
  // until the parse passes it, so every byte is scanned at most once for CR
  // and once for LF.
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  const char* lf_ = nullptr;
  const char* cr_ = nullptr;
  std::string line_;  // a line that began in an earlier feed
  std::string data_;  // data lines of the current event, each followed by "\n"
  // The event's first data line while it lies in the bytes being fed
  // (has_pending_); moved into data_ before the feed returns. Its ends, as
  // two pointers: a string_view written in two halves and read back whole
  // at once stalls the processor.
  std::string_view pending() const noexcept {
    return {pending_begin_, static_cast<std::size_t>(pending_end_ - pending_begin_)};
  }
  const char* pending_begin_ = nullptr;
  const char* pending_end_ = nullptr;
  std::string event_;  // type of the current event ("" = "message")
  // The type of the event handed out last, when it is not "message".
  std::string out_event_;
  // The last event id; while the line that set it lies in the bytes being
  // fed, only pointed at (id_begin_ not null) and copied here before the
  // feed returns, or when asked for.
  mutable std::string id_;
  // The last event id as handed to events, when shared_id_current_.
  mutable SseEventId shared_id_;
  mutable const char* id_begin_ = nullptr;
  const char* id_end_ = nullptr;
  void hold_id() const;
  std::string_view id() const noexcept {
    if (id_begin_ == nullptr) return id_;
    return {id_begin_, static_cast<std::size_t>(id_end_ - id_begin_)};
  }
  std::optional<std::uint64_t> retry_;
  int bom_matched_ = 0;  // bytes of the byte order mark matched so far
  bool bom_done_ = false;
  bool pending_cr_ = false;  // the previous feed ended with CR
  bool skip_line_ = false;   // the rest of the current line is ignored
  // The current line is a data line whose value so far ends data_.
  bool partial_data_ = false;
  bool broken_ = false;
  // The bools of the members above sit here, together: a parser is held by
  // every stream that waits.
  bool has_pending_ = false;
  // data_ holds the data of the event handed out last.
  bool data_out_ = false;
  mutable bool shared_id_current_ = false;
};

}  // namespace zelq::net
