// The static-list strategy: the chunk contents as a numbered list, without a
// language model.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/generation/response_synthesizer/strategy/synthesis_strategy.hpp"

namespace zelq::generation::response_synthesizer::strategy {

// Makes the response text from the chunk contents (texts or bytes), in chunk
// order.
using FormatResponseFunc =
    std::function<std::string(const std::vector<core::Chunk::Content>& context_list)>;

// Constructor options of StaticListSynthesisStrategy.
struct StaticListSynthesisStrategyOptions {
  // Empty uses _default_formatter_func.
  FormatResponseFunc format_response_func{};
};

// Presents the contents of the chunks as a numbered list under a fixed
// heading (or as whatever a caller's formatter makes of them), sends that
// text to the caller's emitter as one response event and returns it.
class StaticListSynthesisStrategy : public BaseSynthesisStrategy {
 public:
  explicit StaticListSynthesisStrategy(StaticListSynthesisStrategyOptions options = {});

  std::string class_name() const override { return "StaticListSynthesisStrategy"; }

  // Formats the contents of context.chunks; when the context has an emitter,
  // emits the text as one response event (level INFO) after formatting.
  // Returns the text as a Value string. Reads only `chunks` and
  // `event_emitter`; changes nothing. The query may be empty. Throws what
  // the formatter or the emitter throws (no event, or no result, then).
  // `context` and the strategy must outlive the awaitable; cancellation
  // propagates from the emit.
  boost::asio::awaitable<core::Value> synthesize(SynthesisContext& context) const override;

  // "Sorry, I couldn't find anything based on your query." for no items;
  // otherwise "Here's what I found based on your query:" followed, for each
  // item, by "\n", its position from 1, ". " and the item (a text as is,
  // bytes in their printed form b'...').
  static std::string _default_formatter_func(const std::vector<core::Chunk::Content>& context_list);

  const FormatResponseFunc& format_response_func() const noexcept { return format_response_func_; }

 private:
  FormatResponseFunc format_response_func_;
};

}  // namespace zelq::generation::response_synthesizer::strategy
