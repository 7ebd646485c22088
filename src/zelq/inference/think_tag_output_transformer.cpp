#include "zelq/inference/think_tag_output_transformer.hpp"

#include <algorithm>
#include <string_view>

#include "zelq/core/uuid.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference {
namespace {

constexpr std::string_view kOpenTag = "<think>";
constexpr std::string_view kCloseTag = "</think>";

// The length of the longest proper prefix of `tag` that `text` ends with: the
// part of a piece that may be the start of a tag split across pieces.
std::size_t partial_tag_length(std::string_view text, std::string_view tag) {
  for (std::size_t k = std::min(text.size(), tag.size() - 1); k > 0; --k) {
    if (text.substr(text.size() - k) == tag.substr(0, k)) return k;
  }
  return 0;
}

std::string type_of(std::string_view type, std::string_view suffix = {}) {
  return std::string(type) + std::string(suffix);
}

// Splits one text into its answer text (returned) and its think parts.
std::string split_think_tags(std::string_view text, std::vector<std::string>& thinking) {
  std::string answer;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find(kOpenTag, pos);
    answer +=
        text.substr(pos, open == std::string_view::npos ? std::string_view::npos : open - pos);
    if (open == std::string_view::npos) break;
    const std::size_t start = open + kOpenTag.size();
    const std::size_t close = text.find(kCloseTag, start);
    std::string_view part = text.substr(
        start, close == std::string_view::npos ? std::string_view::npos : close - start);
    if (!part.empty()) thinking.emplace_back(part);
    if (close == std::string_view::npos) break;
    pos = close + kCloseTag.size();
  }
  return answer;
}

}  // namespace

ThinkTagOutputTransformer::ThinkTagOutputTransformer(
    std::shared_ptr<core::EventEmitter> event_emitter)
    : event_emitter_(std::move(event_emitter)) {}

boost::asio::awaitable<void> ThinkTagOutputTransformer::emit(core::Event event) {
  if (!event_emitter_) co_return;
  if (event.type == type_of(core::EventType::RESPONSE) && event.value.is_string()) {
    co_await on_content(std::move(event));
  } else if (event.type == type_of(core::EventType::RESPONSE, core::EventTypeSuffix::END)) {
    co_await on_end(std::move(event));
  } else {
    if (event.type == type_of(core::EventType::RESPONSE, core::EventTypeSuffix::START)) {
      in_think_ = false;
      pending_.clear();
      thinking_id_.clear();
    }
    co_await send(std::move(event));
  }
}

boost::asio::awaitable<void> ThinkTagOutputTransformer::send(core::Event event) {
  co_await event_emitter_->emit(std::move(event));
}

boost::asio::awaitable<void> ThinkTagOutputTransformer::send_piece(const core::Event& source,
                                                                   std::string text) {
  if (text.empty()) co_return;
  core::Event piece = in_think_ ? ThinkingEvent::content(thinking_id_, std::move(text))
                                : ResponseEvent::content(source.id, std::move(text));
  piece.level = source.level;
  co_await send(std::move(piece));
}

boost::asio::awaitable<void> ThinkTagOutputTransformer::on_content(core::Event event) {
  const std::string text = pending_ + event.value.get<std::string>();
  pending_.clear();
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::string_view tag = in_think_ ? kCloseTag : kOpenTag;
    const std::size_t found = text.find(tag, pos);
    if (found == std::string::npos) {
      const std::size_t held = partial_tag_length(std::string_view(text).substr(pos), tag);
      co_await send_piece(event, text.substr(pos, text.size() - held - pos));
      pending_ = text.substr(text.size() - held);
      break;
    }
    co_await send_piece(event, text.substr(pos, found - pos));
    core::Event bound = in_think_ ? ThinkingEvent::end(thinking_id_)
                                  : ThinkingEvent::start(thinking_id_ = core::new_uuid());
    bound.level = event.level;
    in_think_ = !in_think_;
    co_await send(std::move(bound));
    pos = found + tag.size();
  }
}

boost::asio::awaitable<void> ThinkTagOutputTransformer::on_end(core::Event event) {
  std::string held = std::move(pending_);
  pending_.clear();
  co_await send_piece(event, std::move(held));
  if (in_think_) {
    core::Event end = ThinkingEvent::end(thinking_id_);
    end.level = event.level;
    in_think_ = false;
    co_await send(std::move(end));
  }
  thinking_id_.clear();
  co_await send(std::move(event));
}

LMOutput ThinkTagOutputTransformer::transform(LMOutput output) const {
  LMOutput result;
  std::vector<std::string> extracted;
  for (const auto& text : output.texts()) {
    const bool tagged = text.find(kOpenTag) != std::string::npos;
    std::string answer = split_think_tags(text, extracted);
    if (!tagged || !answer.empty()) result.add_text(std::move(answer));
  }
  for (const auto& thinking : output.thinkings()) result.add_thinking(thinking);
  for (auto& thinking : extracted) result.add_thinking(Thinking{std::move(thinking)});
  result.add_citation(output.citations());
  if (output.structured_output()) result.set_structured_output(*output.structured_output());
  return result;
}

}  // namespace zelq::inference
