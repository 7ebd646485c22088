#include "zelq/net/sse_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelq/core/errors.hpp"

namespace zelq::net {
namespace {

using namespace std::string_literals;

// BOM, comments, every line ending (including CR CR), fields with and
// without colon or space, an ignored id with NUL, retry, an event without data,
// and an incomplete trailing event.
const std::string kStream =
    "\xEF\xBB\xBF"
    ": comment line\n"
    "event: greet\r\n"
    "data: hello\r"
    "data:  two spaces\n"
    "id: 1\r\n"
    "\r\n"
    "data\n"
    "\n"
    "event: ignored\n"
    "\n"
    "data:x\r"
    "id: 2\0bad\n"s
    "retry: 1500\n"
    "retry: 15x\n"
    "unknown: field\n"
    "\r"
    "id\n"
    "data: {\"a\":1}\n"
    "data:\n"
    "\n"
    "data: y\r\r"
    "event: last\n"
    "data: dropped\n";

const std::vector<SseEvent> kEvents = {
    {"greet", "hello\n two spaces", "1"}, {"message", "", "1"}, {"message", "x", "1"},
    {"message", "{\"a\":1}\n", ""},       {"message", "y", ""},
};

std::vector<SseEvent> parse_in_pieces(const std::vector<std::string_view>& pieces) {
  SseParser parser;
  std::vector<SseEvent> out;
  for (auto piece : pieces) parser.feed(piece, out);
  EXPECT_EQ(parser.last_event_id(), "");
  EXPECT_EQ(parser.retry(), 1500u);
  return out;
}

TEST(SseParser, FieldsCommentsAndLineEndings) { EXPECT_EQ(parse_in_pieces({kStream}), kEvents); }

TEST(SseParser, SameEventsWhereverTheStreamIsSplit) {
  std::string_view all(kStream);
  for (std::size_t cut = 0; cut <= all.size(); ++cut) {
    ASSERT_EQ(parse_in_pieces({all.substr(0, cut), all.substr(cut)}), kEvents) << "cut " << cut;
  }
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < all.size(); ++i) bytes.push_back(all.substr(i, 1));
  EXPECT_EQ(parse_in_pieces(bytes), kEvents);
}

// Taking events one at a time as views gives what feed() gives, wherever
// the stream is cut: each view holds its whole event until the next call
// (a named event before a plain one, data of several lines or across a
// cut), the last event id can be asked for between events, and once next()
// says the bytes are used up they may be overwritten (what a cut left open
// was copied).
TEST(SseParser, OneEventAtATimeAsViews) {
  for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
    SseParser parser;
    SseEventView event;
    std::vector<SseEvent> out;
    for (std::string piece : {kStream.substr(0, cut), kStream.substr(cut)}) {
      parser.start(piece);
      while (parser.next(event)) {
        out.push_back({std::string(event.event), std::string(event.data), std::string(event.id)});
        // Asked for mid-feed, the last id is the one the event carries.
        ASSERT_EQ(parser.last_event_id(), out.back().id) << "cut " << cut;
      }
      piece.assign(piece.size(), '#');
      EXPECT_FALSE(parser.next(event));
    }
    ASSERT_EQ(out, kEvents) << "cut " << cut;
    EXPECT_EQ(parser.retry(), 1500u);
  }
}

// Trimmed whenever a feed is used up, as a reader waiting for more bytes
// trims it, the parser still gives every event whole, wherever the stream is
// cut into three: what a cut left open (a line, an event's data) is kept.
TEST(SseParser, TrimmingBetweenFeedsKeepsWhatIsUnfinished) {
  const std::string long_event = "data: " + std::string(300, 'a') + "\n" +
                                 "data: " + std::string(200, 'b') + "\n\n" +
                                 "event: e\ndata: short\n\n";
  for (const std::string& stream : {kStream, long_event}) {
    std::vector<SseEvent> whole;
    SseParser reference;
    reference.feed(stream, whole);
    for (std::size_t first = 0; first <= stream.size(); first += 7) {
      for (std::size_t second = first; second <= stream.size(); second += 13) {
        SseParser parser;
        SseEventView event;
        std::vector<SseEvent> out;
        for (std::string piece : {stream.substr(0, first), stream.substr(first, second - first),
                                  stream.substr(second)}) {
          parser.start(piece);
          while (parser.next(event)) {
            out.push_back(
                {std::string(event.event), std::string(event.data), std::string(event.id)});
          }
          parser.trim();
          piece.assign(piece.size(), '#');
        }
        ASSERT_EQ(out, whole) << "cuts " << first << " " << second;
      }
    }
  }
}

TEST(SseParser, ByteOrderMarkOnlyAtTheStart) {
  // A second BOM belongs to the field name, which is then unknown.
  const std::string stream =
      "\xEF\xBB\xBF\xEF\xBB\xBF"
      "data: a\n\ndata: \xEF\xBB\xBFz\n\n";
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    SseParser parser;
    std::vector<SseEvent> out;
    parser.feed(std::string_view(stream).substr(0, cut), out);
    parser.feed(std::string_view(stream).substr(cut), out);
    ASSERT_EQ(out, (std::vector<SseEvent>{{"message", "\xEF\xBB\xBFz", ""}})) << "cut " << cut;
  }
  // A partial BOM is text.
  SseParser parser;
  std::vector<SseEvent> out;
  parser.feed("\xEF\xBB", out);
  parser.feed(":x\ndata: b\n\n", out);
  EXPECT_EQ(out, (std::vector<SseEvent>{{"message", "b", ""}}));
}

TEST(SseParser, EventSizeLimit) {
  const std::string message = "SSE event exceeds the size limit of 16 bytes";
  auto expect_limit = [&](SseParser& parser, std::string_view bytes, std::vector<SseEvent>& out) {
    try {
      parser.feed(bytes, out);
      ADD_FAILURE() << "no error for " << bytes;
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.what(), message);
    }
  };
  {
    // Exactly at the limit is fine; events before the oversized one arrive.
    SseParser parser(16);
    std::vector<SseEvent> out;
    parser.feed("data: 0123456789abcdef\n\n", out);
    expect_limit(parser, "data: a\n\ndata: 0123456789\ndata: 0123456\n\n", out);
    EXPECT_EQ(out,
              (std::vector<SseEvent>{{"message", "0123456789abcdef", ""}, {"message", "a", ""}}));
    EXPECT_THROW(parser.feed("data: b\n\n", out), core::RuntimeError);
  }
  {
    // A line that never ends is bounded too, and so are event and id values.
    SseParser parser(16);
    std::vector<SseEvent> out;
    parser.feed(": comment lines longer than the limit are fine\n", out);
    expect_limit(parser, "data: 01234567890123456789", out);
    SseParser by_event(16);
    expect_limit(by_event, "event: 01234567890123456789\n", out);
    SseParser by_id(16);
    expect_limit(by_id, "id: 01234567890123456789\n", out);
    SseParser by_retry(16);
    expect_limit(by_retry, "retry: 01234567890123456789\n", out);
  }
  // Where the stream is split never decides: values up to the limit pass and
  // long comments or unknown fields are dropped, not held, at every cut.
  const std::string fits =
      ": a comment much longer than the limit\nunknown-field: also longer than it\n"
      "event: 0123456789abcdef\nid: 0123456789abcdef\ndata: 0123456789abcdef\n\n";
  for (std::size_t cut = 0; cut <= fits.size(); ++cut) {
    SseParser parser(16);
    std::vector<SseEvent> out;
    parser.feed(std::string_view(fits).substr(0, cut), out);
    parser.feed(std::string_view(fits).substr(cut), out);
    ASSERT_EQ(out,
              (std::vector<SseEvent>{{"0123456789abcdef", "0123456789abcdef", "0123456789abcdef"}}))
        << "cut " << cut;
  }
}

// A server may send one long id and then many small events: they share one
// copy of the id, whether the id line ends in the feed of the events or in
// an earlier one, and a new id gets a copy of its own.
TEST(SseParser, EventsShareTheirId) {
  const std::string id(std::size_t{64} << 10, 'i');
  std::string events;
  for (int i = 0; i < 1000; ++i) events += "data:{}\n\n";
  for (const bool same_feed : {true, false}) {
    SseParser parser;
    std::vector<SseEvent> out;
    if (same_feed) {
      parser.feed("id:" + id + "\n" + events, out);
    } else {
      parser.feed("id:" + id + "\n", out);
      parser.feed(events, out);
    }
    parser.feed("id: 2\ndata: x\n\n", out);
    ASSERT_EQ(out.size(), 1001u);
    EXPECT_EQ(out.front().id, id);
    for (std::size_t i = 1; i < 1000; ++i) {
      ASSERT_EQ(std::string_view(out[i].id).data(), std::string_view(out[0].id).data()) << i;
    }
    EXPECT_EQ(out.back().id, "2");
  }
}

}  // namespace
}  // namespace zelq::net
