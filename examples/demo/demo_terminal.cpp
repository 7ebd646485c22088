#include "demo_terminal.hpp"

#include <algorithm>
#include <iostream>
#include <string_view>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "zelq/inference/think_tag_output_transformer.hpp"

namespace zelq_demo {
namespace {

constexpr std::string_view kSpace = " \t\r\n";

std::string_view without_leading_space(std::string_view text) {
  return text.substr(std::min(text.find_first_not_of(kSpace), text.size()));
}

void show_answer(Terminal& terminal, std::string_view piece) {
  if (!terminal.answer_shown) piece = without_leading_space(piece);
  if (piece.empty()) return;
  terminal.answer_shown = true;
  std::cout << piece << std::flush;
  terminal.open_line = !piece.ends_with('\n');
}

void show_thinking(Terminal& terminal, std::string_view piece) {
  if (!terminal.thinking_shown) {
    piece = without_leading_space(piece);
    if (piece.empty()) return;
    std::cerr << "[thinking] ";
    terminal.thinking_shown = true;
  }
  const std::size_t end = piece.find_last_not_of(kSpace) + 1;  // 0 when all white space
  if (end > 0) std::cerr << terminal.thinking_space << piece.substr(0, end);
  terminal.thinking_space = end > 0 ? std::string(piece.substr(end))
                                    : terminal.thinking_space + std::string(piece);
}

// Prints what the events show, as answer_emitter says, once the transformer
// has taken the <think> parts out of the answer.
std::shared_ptr<zelq::core::EventEmitter> terminal_emitter(std::shared_ptr<Terminal> terminal) {
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([terminal](const zelq::core::Event& event) -> boost::asio::awaitable<void> {
    const std::string_view text =
        event.value.is_string() ? event.value.get_ref<const std::string&>() : std::string_view();
    if (event.type == "response") show_answer(*terminal, text);
    if (event.type == "response_end") {
      std::cout << "\n";
      terminal->open_line = false;
    }
    if (event.type == "thinking") show_thinking(*terminal, text);
    if (event.type == "thinking_end" && terminal->thinking_shown) {
      std::cerr << "\n";
      terminal->thinking_shown = false;
      terminal->thinking_space.clear();
    }
    co_return;
  });
  return emitter;
}

}  // namespace

std::shared_ptr<zelq::core::EventEmitter> answer_emitter(std::shared_ptr<Terminal> terminal) {
  auto transformer = std::make_shared<zelq::inference::ThinkTagOutputTransformer>(
      terminal_emitter(std::move(terminal)));
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([transformer](const zelq::core::Event& event) {
    return transformer->emit(event);
  });
  return emitter;
}

zelq::core::Value answer_text(const zelq::inference::LMOutput& output) {
  return zelq::core::Value(
      zelq::inference::ThinkTagOutputTransformer(nullptr).transform(output).text());
}

}  // namespace zelq_demo
