// The think-tag transformer gives the same answer and thinking blocks
// whether a streamed answer arrives in one piece or cut anywhere, and the
// same texts as transform() gives for the finished answer.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "fuzz_check.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/think_tag_output_transformer.hpp"

namespace {

using zelq::core::Event;
using zelq::inference::LMOutput;
using zelq::inference::ResponseEvent;
using zelq::inference::ThinkTagOutputTransformer;

// The stream as the application sees it: the answer text, and the text of
// each thinking block in order.
struct Seen {
  std::string answer;
  std::vector<std::string> thinking;

  bool operator==(const Seen&) const = default;
};

Seen stream(const std::vector<std::string_view>& pieces) {
  auto emitter = std::make_shared<zelq::inference::testing::RecordingEventEmitter>();
  ThinkTagOutputTransformer transformer(emitter);
  zelq::core::run_sync([&]() -> boost::asio::awaitable<void> {
    co_await transformer.emit(ResponseEvent::start("r"));
    for (auto piece : pieces) co_await transformer.emit(ResponseEvent::content("r", std::string(piece)));
    co_await transformer.emit(ResponseEvent::end("r"));
  }());
  Seen seen;
  std::string block_id;
  bool open = false;
  for (const Event& event : emitter->events()) {
    const std::string text = event.value.is_string() ? event.value.get<std::string>() : "";
    if (event.type == "response") {
      if (open || event.id != "r" || text.empty()) zelq::fuzz::fail("a stray response event");
      seen.answer += text;
    } else if (event.type == "thinking_start") {
      if (open) zelq::fuzz::fail("a thinking block opened inside another");
      open = true;
      block_id = event.id;
      seen.thinking.emplace_back();
    } else if (event.type == "thinking") {
      if (!open || event.id != block_id || text.empty()) zelq::fuzz::fail("a stray thinking event");
      seen.thinking.back() += text;
    } else if (event.type == "thinking_end") {
      if (!open || event.id != block_id) zelq::fuzz::fail("a stray thinking end");
      open = false;
    }
  }
  if (open) zelq::fuzz::fail("a thinking block left open");
  return seen;
}

std::string describe(const Seen& seen) {
  std::string out = "answer='" + zelq::fuzz::escaped(seen.answer) + "' thinking=";
  for (const auto& block : seen.thinking) out += "['" + zelq::fuzz::escaped(block) + "']";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  const auto cuts = zelq::fuzz::take_cuts(fdp);
  const std::string text = fdp.ConsumeRemainingBytesAsString();

  const Seen whole = stream({text});
  const Seen pieces = stream(zelq::fuzz::split(text, cuts));
  if (whole != pieces) {
    zelq::fuzz::fail("the stream differs between one piece and pieces",
                     "one piece: " + describe(whole) + "\npieces:    " + describe(pieces));
  }

  // transform() drops empty think parts and an item that held nothing else.
  LMOutput output;
  output.add_text(text);
  const LMOutput done = ThinkTagOutputTransformer(nullptr).transform(std::move(output));
  Seen finished;
  if (!done.texts().empty()) finished.answer = done.texts().front();
  for (const auto& thinking : done.thinkings()) finished.thinking.push_back(thinking.thinking);
  Seen streamed = whole;
  std::erase_if(streamed.thinking, [](const std::string& block) { return block.empty(); });
  if (streamed != finished) {
    zelq::fuzz::fail("the stream and transform() differ",
                     "stream:    " + describe(streamed) + "\ntransform: " + describe(finished));
  }
  return 0;
}
