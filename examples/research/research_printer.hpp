// Shows a research run's events on a terminal as they arrive.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"

namespace zelq::examples::research {

// Prints thinking as "[thinking] ..." lines, activities as "[type] ..."
// lines and the answer after a blank line, flushing after each event. Given
// two streams, the answer goes to the first and everything else (thinking,
// activities, retry notices and the blank line before the answer) to the
// second, so that the answer can be kept apart from the progress shown.
// Thinking and answer text is printed without white space at its start or
// at the end of a line, and with at most one blank line in a row (a
// service's text may begin with newlines and hold runs of them).
//
// Consecutive blocks of the same kind flow on as one line: services that
// send every small piece as a block of its own (start, content, end) read
// as one text. A new line begins when something else is printed in
// between. Thinking pieces of separate blocks are joined with a space when
// neither side brings white space; answer pieces are joined as they come.
class TerminalPrinter {
 public:
  // Everything on `out`, which must outlive the printer.
  explicit TerminalPrinter(std::ostream& out) : TerminalPrinter(out, out) {}
  // The answer on `answer`, the rest on `progress`; both must outlive the
  // printer.
  TerminalPrinter(std::ostream& answer, std::ostream& progress)
      : answer_(answer), progress_(progress) {}

  // Prints what `event` shows; events of other types print nothing. A
  // "retry" activity (the research starts over) ends the open line and
  // prints "retrying (attempt <attempt> of <attempts>): <reason>", so that
  // the thinking that follows begins a new line.
  void print(const core::Event& event);

  // Ends the open line, if any.
  void finish();

  // Whether any answer text has been printed.
  bool answer_streamed() const noexcept { return answer_streamed_; }

 private:
  enum class Line { NONE, THINKING, ANSWER };

  void retry_notice(int attempt, int attempts, std::string_view reason);
  void piece(Line kind, std::string_view text);
  void end_line();
  // The stream of lines of `kind`.
  std::ostream& stream(Line kind) const { return kind == Line::ANSWER ? answer_ : progress_; }
  void flush();

  std::ostream& answer_;
  std::ostream& progress_;
  Line line_ = Line::NONE;
  bool started_ = false;        // the open line has shown something
  bool block_ended_ = false;    // a block boundary since the last piece
  int pending_newlines_ = 0;    // white space not printed yet: newlines,
  std::string pending_spaces_;  // then the spaces after the last of them
  bool answer_streamed_ = false;
};

// The line an activity event shows: "[<type>] " then its fields' readable
// values (texts with white space collapsed and cut at 200 bytes, on a character boundary; a
// list's items joined with ", "; a record by its "url" or "title"), in
// order. Empty when no field has a value to show.
std::string activity_text(const core::Value& activity);

}  // namespace zelq::examples::research
