#include "research_printer.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

#include "zelq/core/pytext.hpp"
#include "zelq/core/text_line.hpp"

namespace zelq::examples::research {

namespace {

constexpr std::size_t kMaxValueLength = 200;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// `text` stripped of Python's white space, then as one line cut after
// kMaxValueLength bytes.
std::string one_line(std::string_view text) {
  return core::one_line(core::py_strip(text), kMaxValueLength);
}

std::string readable(const core::Value& value);

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

std::string record_text(const core::Value& record) {
  for (std::string_view key : {"url", "title", "name"}) {
    auto it = record.find(key);
    if (it != record.end() && it->is_string() && !core::py_is_blank(it->get<std::string>())) {
      return one_line(it->get<std::string>());
    }
  }
  if (record.empty()) return {};
  // Invalid UTF-8 in a record is shown as U+FFFD rather than failing the dump.
  return one_line(record.dump(-1, ' ', false, core::Value::error_handler_t::replace));
}

std::string readable(const core::Value& value) {
  if (value.is_string()) return one_line(value.get<std::string>());
  if (value.is_array()) {
    std::vector<std::string> items;
    for (const core::Value& item : value) items.push_back(readable(item));
    return joined(items, ", ");
  }
  if (value.is_object()) return record_text(value);
  if (value.is_null()) return {};
  return core::py_str(value);
}

// The researchers announce a new attempt with an activity of type "retry"
// holding the attempt number, the attempts in all and the reason.
bool is_retry(const core::Value& activity) {
  return activity.is_object() && activity.value("type", std::string()) == "retry" &&
         activity.value("attempt", core::Value()).is_number_integer() &&
         activity.value("max_attempts", core::Value()).is_number_integer() &&
         activity.value("reason", core::Value()).is_string();
}

}  // namespace

std::string activity_text(const core::Value& activity) {
  if (!activity.is_object()) return {};
  std::vector<std::string> values;
  std::string type = "activity";
  for (auto it = activity.begin(); it != activity.end(); ++it) {
    if (it.key() != "type") {
      values.push_back(readable(it.value()));
    } else if (it->is_string() && !it->get<std::string>().empty()) {
      type = it->get<std::string>();
    }
  }
  const std::string text = joined(values, " ");
  return text.empty() ? std::string() : "[" + type + "] " + text;
}

void TerminalPrinter::print(const core::Event& event) {
  const std::string& type = event.type;
  if (type == "thinking" || type == "response") {
    const std::string text =
        event.value.is_string() ? event.value.get<std::string>() : core::py_str(event.value);
    piece(type == "thinking" ? Line::THINKING : Line::ANSWER, text);
  } else if (type.ends_with("_end")) {
    block_ended_ = true;
  } else if (type == "activity" && is_retry(event.value)) {
    // Escaped as the library's own lines are, whoever sent the event.
    const std::string reason = event.value.value("reason", std::string());
    retry_notice(event.value.value("attempt", 0), event.value.value("max_attempts", 0),
                 core::one_line(reason, reason.size()));
    return;
  } else if (type == "activity") {
    const std::string text = activity_text(event.value);
    if (text.empty()) return;
    end_line();
    progress_ << text << "\n";
  }
  flush();
}

void TerminalPrinter::retry_notice(int attempt, int attempts, std::string_view reason) {
  end_line();
  progress_ << "retrying (attempt " << attempt << " of " << attempts << "): " << reason << "\n";
  flush();
}

void TerminalPrinter::finish() {
  end_line();
  flush();
}

void TerminalPrinter::flush() {
  answer_.flush();
  progress_.flush();
}

void TerminalPrinter::piece(Line kind, std::string_view text) {
  if (text.empty()) return;
  if (line_ != kind) {
    end_line();
    line_ = kind;
  } else if (block_ended_ && kind == Line::THINKING && started_ && pending_newlines_ == 0 &&
             pending_spaces_.empty() && !is_space(text[0])) {
    pending_spaces_.push_back(' ');
  }
  block_ended_ = false;
  // White space is held back until something visible follows it: a line
  // never ends in spaces, leading white space never shows, and a run of
  // blank lines is printed as one.
  for (char c : text) {
    if (c == '\n') {
      ++pending_newlines_;
      pending_spaces_.clear();
    } else if (is_space(c)) {
      pending_spaces_ += c;
    } else {
      std::ostream& out = stream(kind);
      if (!started_) {
        if (kind == Line::ANSWER) {
          progress_ << "\n";
          progress_.flush();
        } else {
          out << "[thinking] ";
        }
        started_ = true;
      } else {
        for (int i = 0; i < std::min(pending_newlines_, 2); ++i) out << '\n';
        out << pending_spaces_;
      }
      pending_newlines_ = 0;
      pending_spaces_.clear();
      out << c;
      if (kind == Line::ANSWER) answer_streamed_ = true;
    }
  }
}

void TerminalPrinter::end_line() {
  if (line_ == Line::NONE) return;
  if (started_) {
    // Flushed, so that what follows on the other stream comes after it.
    stream(line_) << "\n";
    stream(line_).flush();
  }
  line_ = Line::NONE;
  started_ = false;
  pending_newlines_ = 0;
  pending_spaces_.clear();
  block_ended_ = false;
}

}  // namespace zelq::examples::research
