#include "zelq/generation/response_synthesizer/strategy/static_list_synthesis_strategy.hpp"

#include <utility>
#include <variant>

#include "zelq/core/event.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::response_synthesizer::strategy {

StaticListSynthesisStrategy::StaticListSynthesisStrategy(StaticListSynthesisStrategyOptions options)
    : format_response_func_(options.format_response_func
                                ? std::move(options.format_response_func)
                                : FormatResponseFunc(&_default_formatter_func)) {}

boost::asio::awaitable<core::Value> StaticListSynthesisStrategy::synthesize(
    SynthesisContext& context) const {
  std::vector<core::Chunk::Content> context_list;
  context_list.reserve(context.chunks.size());
  for (const core::ChunkPtr& chunk : context.chunks) {
    if (!chunk) context.validate();  // throws ValidationError naming the null chunk
    context_list.push_back(chunk->content);
  }
  core::Value response(format_response_func_(context_list));
  if (context.event_emitter) {
    auto emit =
        context.event_emitter->emit(response, core::EventLevel::INFO, core::EventType::RESPONSE);
    co_await std::move(emit);
  }
  co_return response;
}

std::string StaticListSynthesisStrategy::_default_formatter_func(
    const std::vector<core::Chunk::Content>& context_list) {
  if (context_list.empty()) return "Sorry, I couldn't find anything based on your query.";
  std::string response = "Here's what I found based on your query:";
  for (std::size_t i = 0; i < context_list.size(); ++i) {
    response += "\n" + std::to_string(i + 1) + ". ";
    if (const auto* text = std::get_if<std::string>(&context_list[i])) {
      response += *text;
    } else {
      response += core::py_bytes_repr(std::get<core::Bytes>(context_list[i]));
    }
  }
  return response;
}

}  // namespace zelq::generation::response_synthesizer::strategy
