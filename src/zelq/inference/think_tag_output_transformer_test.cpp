#include "zelq/inference/think_tag_output_transformer.hpp"

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"

namespace zelq::inference {
namespace {

using testing::RecordingEventEmitter;

// "type:value" per event, and the ids seen, for compact expectations.
std::vector<std::string> shown(const std::vector<core::Event>& events) {
  std::vector<std::string> out;
  for (const auto& event : events) {
    out.push_back(event.type + ":" +
                  (event.value.is_string() ? event.value.get<std::string>() : event.value.dump()));
  }
  return out;
}

std::vector<core::Event> stream(const std::vector<std::string>& pieces) {
  auto emitter = std::make_shared<RecordingEventEmitter>();
  ThinkTagOutputTransformer transformer(emitter);
  core::run_sync([&]() -> boost::asio::awaitable<void> {
    co_await transformer.emit(ResponseEvent::start("r"));
    for (const auto& piece : pieces) co_await transformer.emit(ResponseEvent::content("r", piece));
    co_await transformer.emit(ResponseEvent::end("r"));
  }());
  return emitter->events();
}

TEST(ThinkTagOutputTransformerTest, TagsSplitAcrossPieces) {
  auto events = stream({"Hi <thi", "nk>pl", "an</th", "ink> there"});
  EXPECT_EQ(shown(events),
            (std::vector<std::string>{"response_start:", "response:Hi ",
                                      "thinking_start:", "thinking:pl", "thinking:an",
                                      "thinking_end:", "response: there", "response_end:"}));
  EXPECT_EQ(events[1].id, "r");
  EXPECT_EQ(events[2].id.size(), 36u);
  EXPECT_EQ(events[3].id, events[2].id);
  EXPECT_EQ(events[5].id, events[2].id);
  EXPECT_EQ(events[6].id, "r");

  // One character at a time gives the same text in each channel.
  std::vector<std::string> chars;
  for (char c : std::string("a<think>b</think>c")) chars.emplace_back(1, c);
  std::string response, thinking;
  for (const auto& event : stream(chars)) {
    if (event.type == "response") response += event.value.get<std::string>();
    if (event.type == "thinking") thinking += event.value.get<std::string>();
  }
  EXPECT_EQ(response, "ac");
  EXPECT_EQ(thinking, "b");
}

TEST(ThinkTagOutputTransformerTest, HeldTextAndOpenBlocksAtTheEnd) {
  // A partial tag that turns out not to be one is sent, not lost.
  EXPECT_EQ(shown(stream({"x <", "3 y <th"})),
            (std::vector<std::string>{"response_start:", "response:x ", "response:<3 y ",
                                      "response:<th", "response_end:"}));
  // An unclosed think block is ended before the response block.
  EXPECT_EQ(shown(stream({"<think>hmm"})),
            (std::vector<std::string>{"response_start:", "thinking_start:", "thinking:hmm",
                                      "thinking_end:", "response_end:"}));
  // Other events pass through unchanged.
  auto emitter = std::make_shared<RecordingEventEmitter>();
  ThinkTagOutputTransformer transformer(emitter);
  const auto activity = ActivityEvent::from_activity("a", Activity("search", {{"q", "<think>"}}));
  core::run_sync(transformer.emit(activity));
  EXPECT_EQ(emitter->events(), std::vector<core::Event>{activity});
  // Without an emitter nothing is sent and nothing fails.
  ThinkTagOutputTransformer silent(nullptr);
  core::run_sync(silent.emit(ResponseEvent::content("r", "<think>x")));
  EXPECT_EQ(silent.event_emitter(), nullptr);
}

TEST(ThinkTagOutputTransformerTest, TransformMovesThinkTextIntoThinking) {
  LMOutput output;
  output.add_text({"<think>plan</think>Answer", "plain", "<think>only</think>", "a<think>open"});
  output.add_thinking({"earlier"});
  auto chunk = core::make_chunk("cited");
  output.add_citation(chunk);
  output.set_structured_output({{"k", 1}});
  const LMOutput result = ThinkTagOutputTransformer(nullptr).transform(output);
  EXPECT_EQ(result.texts(), (std::vector<std::string>{"Answer", "plain", "a"}));
  EXPECT_EQ(result.thinkings(), (std::vector<Thinking>{{"earlier"}, {"plan"}, {"only"}, {"open"}}));
  EXPECT_EQ(result.citations(), std::vector<core::ChunkPtr>{chunk});
  EXPECT_EQ(result.structured_output(), output.structured_output());

  LMOutput untouched;
  untouched.add_text("");
  untouched.add_text("no tags </think> here");
  EXPECT_EQ(ThinkTagOutputTransformer(nullptr).transform(untouched), untouched);
}

}  // namespace
}  // namespace zelq::inference
