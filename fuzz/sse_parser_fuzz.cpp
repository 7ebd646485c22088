// The SSE parser gives the same events, last event id, retry time and size
// error whether the stream arrives in one piece or cut anywhere, and whether
// its events are collected by feed() or taken one at a time.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/sse_parser.hpp"

namespace {

using zelq::net::SseEvent;
using zelq::net::SseParser;

struct Outcome {
  std::vector<SseEvent> events;
  bool too_large = false;
  std::string last_event_id;
  std::optional<std::uint64_t> retry;
};

// With `one_at_a_time`, events are taken as SseReader takes them: one by one
// as views, from a copy of each piece that is overwritten once the parser is
// done with it.
Outcome parse(const std::vector<std::string_view>& pieces, std::size_t limit, bool one_at_a_time) {
  SseParser parser(limit);
  Outcome outcome;
  zelq::net::SseEventView event;
  try {
    for (auto piece : pieces) {
      if (!one_at_a_time) {
        parser.feed(piece, outcome.events);
        continue;
      }
      std::string bytes(piece);
      parser.start(bytes);
      while (parser.next(event)) {
        outcome.events.push_back(
            {std::string(event.event), std::string(event.data), std::string(event.id)});
        if (parser.last_event_id() != outcome.events.back().id) {
          zelq::fuzz::fail("the last event id differs from the id of the event just taken");
        }
      }
      bytes.assign(bytes.size(), '#');
    }
  } catch (const zelq::core::RuntimeError&) {
    outcome.too_large = true;
    // A broken parser stays broken.
    try {
      parser.feed("data: x\n\n", outcome.events);
      zelq::fuzz::fail("a feed after the size error did not throw");
    } catch (const zelq::core::RuntimeError&) {
    }
    return outcome;
  }
  outcome.last_event_id = parser.last_event_id();
  outcome.retry = parser.retry();
  return outcome;
}

std::string describe(const Outcome& o) {
  std::string out = o.too_large ? "size error; " : "";
  for (const auto& e : o.events) {
    out += "[" + zelq::fuzz::escaped(e.event) + "|" + zelq::fuzz::escaped(e.data) + "|" +
           zelq::fuzz::escaped(e.id) + "] ";
  }
  return out + "id=" + zelq::fuzz::escaped(o.last_event_id) +
         " retry=" + (o.retry ? std::to_string(*o.retry) : "-");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  // A small limit now and then, so the size error is reached too.
  const auto small = fdp.ConsumeIntegral<std::uint8_t>();
  const std::size_t limit = small < 64 ? small : SseParser::kDefaultMaxEventSize;
  const auto cuts = zelq::fuzz::take_cuts(fdp);
  const std::string stream = fdp.ConsumeRemainingBytesAsString();

  const Outcome whole = parse({stream}, limit, false);
  const Outcome pieces = parse(zelq::fuzz::split(stream, cuts), limit, true);
  if (whole.events != pieces.events || whole.too_large != pieces.too_large ||
      whole.last_event_id != pieces.last_event_id || whole.retry != pieces.retry) {
    zelq::fuzz::fail("SSE events differ between one piece and pieces",
                     "one piece: " + describe(whole) + "\npieces:    " + describe(pieces));
  }
  return 0;
}
