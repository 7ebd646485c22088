#include "zelq/net/sse_parser.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "zelq/core/errors.hpp"

namespace zelq::net {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
// The length of the longest field name the parser acts on ("event", "retry").
constexpr std::size_t kLongestField = 5;

const char* find_byte(const char* p, const char* end, char c) {
  // The line ends of a blank line come next to each other: no call for them.
  if (end - p >= 2) {
    if (p[0] == c) return p;
    if (p[1] == c) return p + 1;
  }
  auto* hit = static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(end - p)));
  return hit == nullptr ? end : hit;
}

std::optional<std::uint64_t> parse_retry(std::string_view value) {
  if (value.empty()) return std::nullopt;
  std::uint64_t result = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    result = result > (kMax - digit) / 10 ? kMax : result * 10 + digit;
  }
  return result;
}

// A comparison with a constant of known length, which the compiler makes a
// few instructions rather than a call.
template <std::size_t N>
bool starts_with(std::string_view line, const char (&prefix)[N]) {
  return line.size() >= N - 1 && std::memcmp(line.data(), prefix, N - 1) == 0;
}

// Overwrites `to` with `from` (never part of `to`) in its present storage
// when that is large enough: a plain copy, lighter than assign(), which
// allows for overlap.
void overwrite(std::string& to, std::string_view from) {
  to.clear();
  to.append(from);
}

// A field's value: what follows the colon, less one leading space.
std::string_view value_of(std::string_view rest) {
  if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return rest;
}

}  // namespace

SseParser::SseParser(std::size_t max_event_size) : max_event_size_(max_event_size) {}

void SseParser::feed(std::string_view bytes, std::vector<SseEvent>& out) {
  start(bytes);
  SseEventView event;
  while (next(event)) {
    out.push_back(SseEvent{
        .event = std::string(event.event), .data = std::string(event.data), .id = event_id()});
  }
}

void SseParser::fail_broken() const {
  throw SseEventTooLargeError("SSE parser cannot continue after an event over the size limit",
                              max_event_size_);
}

void SseParser::start(std::string_view bytes) {
  check_usable();
  const char* p = bytes.data();
  end_ = p + bytes.size();
  if (!bom_done_) p = skip_bom(p, end_);
  if (pending_cr_ && p != end_) {
    pending_cr_ = false;
    if (*p == '\n') ++p;
  }
  p_ = p;
  lf_ = find_byte(p, end_, '\n');
  cr_ = find_byte(p, end_, '\r');
}

void SseParser::trim() noexcept {
  if (data_out_) {
    data_.clear();
    data_out_ = false;
  }
  if (line_.empty()) std::string().swap(line_);
  if (data_.empty()) std::string().swap(data_);
}

bool SseParser::next(SseEventView& out) {
  check_usable();
  if (data_out_) {
    // The event handed out last is done with.
    data_.clear();
    data_out_ = false;
  }
  const char* p = p_;
  const char* const end = end_;
  // In registers while the loop runs: nothing else here changes them.
  const char* lf = lf_;
  const char* cr = cr_;
  while (p != end) {
    if (lf < p) lf = find_byte(p, end, '\n');
    if (cr < p) cr = find_byte(p, end, '\r');
    const char* eol = std::min(lf, cr);
    if (eol == end) {
      if (!skip_line_) take_partial_line(std::string_view(p, static_cast<std::size_t>(end - p)));
      break;
    }
    const std::string_view last_part(p, static_cast<std::size_t>(eol - p));
    p = past_line_end(eol, lf, cr);
    if (end_line(last_part, out)) {
      p_ = p;
      lf_ = lf;
      cr_ = cr;
      return true;
    }
  }
  finish_bytes();
  return false;
}

// Where the line after the one that ends at `eol` begins. Which byte ends
// the line, and whether a CR is one of a CRLF pair, follows from the two
// search results without reading the bytes again. A CR that ends the bytes
// may be the first half of a CRLF whose LF starts the next feed.
[[gnu::always_inline]] inline const char* SseParser::past_line_end(const char* eol, const char* lf,
                                                                   const char* cr) {
  const char* p = eol + 1;
  if (eol == cr) {
    if (p == end_) {
      pending_cr_ = true;
    } else if (lf == p) {
      ++p;
    }
  }
  return p;
}

// Takes the line that ends with `last_part`: all of it, or the rest of one
// begun in an earlier feed (held in line_, or as a data value in data_).
// True when it dispatched an event into `out`.
[[gnu::always_inline]] inline bool SseParser::end_line(std::string_view last_part,
                                                       SseEventView& out) {
  if (skip_line_) {
    skip_line_ = false;
    return false;
  }
  if (partial_data_) {
    partial_data_ = false;
    data_.append(last_part);
    check_size(data_.size());
    data_.push_back('\n');
    return false;
  }
  if (line_.empty()) return take_line(last_part, out, true);
  line_.append(last_part);
  const bool dispatched = take_line(line_, out, false);
  line_.clear();
  return dispatched;
}

// The bytes given to start() are used up. The views point into them, and
// the caller may reuse them once next() has returned false: what still
// points there is copied into the parser's own storage.
void SseParser::finish_bytes() {
  p_ = end_;
  hold_pending();
  hold_id();
}

// The part of a line that reaches the end of a feed. A data line whose value
// has begun goes straight into data_, where the rest of it follows; any
// other is held in line_ until it ends.
void SseParser::take_partial_line(std::string_view part) {
  if (partial_data_) {
    data_.append(part);
    check_size(data_.size());
    return;
  }
  if (line_.empty() && part.size() > 5 && starts_with(part, "data:")) {
    hold_pending();
    data_.append(value_of(part.substr(5)));
    partial_data_ = true;
    check_size(data_.size());
    return;
  }
  line_.append(part);
  check_partial_line();
}

// A line still open at the end of a feed is held, and bounded, by what its
// field will be: a data, event, id or retry value that is already over the
// limit fails now, as the whole line would; a comment or an unknown field is
// dropped as it arrives. So the outcome never depends on where feeds end.
void SseParser::check_partial_line() {
  const std::string_view line(line_);
  if (starts_with(line, "data:")) {
    check_size(data_size() + value_of(line.substr(5)).size());
    return;
  }
  if (starts_with(line, "id:")) {
    check_size(value_of(line.substr(3)).size());
    return;
  }
  auto colon = line_.find(':');
  std::string_view field = std::string_view(line_).substr(0, colon);
  const bool known = field == "data" || field == "event" || field == "id" || field == "retry";
  if (colon == std::string::npos) {
    // Without a colon yet the field name may still grow into a known one.
    if (field.size() > kLongestField) {
      skip_line_ = true;
      line_.clear();
    }
    return;
  }
  if (!known) {
    skip_line_ = true;
    line_.clear();
    return;
  }
  std::string_view value = std::string_view(line_).substr(colon + 1);
  if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  check_size(field == "data" ? data_size() + value.size() : value.size());
}

const char* SseParser::skip_bom(const char* p, const char* end) {
  while (!bom_done_ && p != end) {
    if (*p == kBom[bom_matched_]) {
      ++p;
      bom_done_ = ++bom_matched_ == 3;
    } else {
      // Not a byte order mark after all: the bytes matched so far are text.
      line_.append(kBom, static_cast<std::size_t>(bom_matched_));
      bom_done_ = true;
    }
  }
  return p;
}

// Inlined into next(), as are take_data() and dispatch(): they run per line,
// and the calls cost as much as the work.
[[gnu::always_inline]] inline bool SseParser::take_line(std::string_view line, SseEventView& out,
                                                        bool in_feed) {
  if (line.empty()) return dispatch(out);
  // The fields of nearly every line ("data", "id") are read without a
  // search for the colon.
  if (starts_with(line, "data:")) {
    take_data(value_of(line.substr(5)), in_feed);
    return false;
  }
  if (line.front() == ':') return false;
  if (starts_with(line, "id:")) {
    take_id(value_of(line.substr(3)), in_feed);
    return false;
  }
  auto colon = line.find(':');
  auto field = line.substr(0, colon);
  std::string_view value;
  if (colon != std::string_view::npos) value = value_of(line.substr(colon + 1));
  if (field == "data") {
    take_data(value, in_feed);
  } else if (field == "event") {
    check_size(value.size());
    event_.assign(value);
  } else if (field == "id") {
    take_id(value, in_feed);
  } else if (field == "retry") {
    check_size(value.size());
    if (auto ms = parse_retry(value)) retry_ = ms;
  }
  return false;
}

[[gnu::always_inline]] inline void SseParser::take_id(std::string_view value, bool in_feed) {
  check_size(value.size());
  // Ids are short: a plain loop costs less than a call.
  if (std::find(value.begin(), value.end(), '\0') != value.end()) return;
  shared_id_current_ = false;
  // (An empty value may have no pointer: copied, it costs nothing.)
  if (in_feed && !value.empty()) {
    id_begin_ = value.data();
    id_end_ = value.data() + value.size();
  } else {
    id_begin_ = nullptr;
    overwrite(id_, value);
  }
}

SseEventId SseParser::event_id() const {
  if (!shared_id_current_) {
    const std::string_view text = id();
    shared_id_ = SseEventId(text.empty() ? nullptr : std::make_shared<const std::string>(text));
    shared_id_current_ = true;
  }
  return shared_id_;
}

void SseParser::hold_id() const {
  if (id_begin_ == nullptr) return;
  overwrite(id_, std::string_view(id_begin_, static_cast<std::size_t>(id_end_ - id_begin_)));
  id_begin_ = nullptr;
}

// The first data line of an event, when it lies in the bytes being fed, is
// only pointed at: an event of one data line (nearly all of them) is then
// copied once, into the event, rather than first into data_.
[[gnu::always_inline]] inline void SseParser::take_data(std::string_view value, bool in_feed) {
  check_size(data_size() + value.size());
  if (in_feed && data_.empty() && !has_pending_) {
    pending_begin_ = value.data();
    pending_end_ = value.data() + value.size();
    has_pending_ = true;
    return;
  }
  hold_pending();
  data_.append(value);
  data_.push_back('\n');
}

void SseParser::hold_pending() {
  if (!has_pending_) return;
  has_pending_ = false;
  data_.append(pending());
  data_.push_back('\n');
}

std::size_t SseParser::data_size() const noexcept {
  return data_.size() + (has_pending_ ? pending().size() + 1 : 0);
}

// Assigns rather than builds: `out`'s strings keep their storage from the
// event before.
[[gnu::always_inline]] inline void SseParser::set_type_and_id(SseEventView& out) {
  if (event_.empty()) {
    out.event = "message";
  } else {
    out_event_.swap(event_);
    event_.clear();
    out.event = out_event_;
  }
  out.id = id();
}

// Hands the event out as views: its data where it lies in the bytes fed (a
// single data line) or in data_ until the next call, its type moved to
// out_event_, so that the next event's lines can be taken while these stay
// valid.
[[gnu::always_inline]] inline bool SseParser::dispatch(SseEventView& out) {
  if (data_.empty() && !has_pending_) {
    event_.clear();
    return false;
  }
  if (has_pending_ && data_.empty()) {
    out.data = pending();
    has_pending_ = false;
  } else {
    hold_pending();
    // Without the final "\n"; data_ is cleared at the next call.
    out.data = std::string_view(data_).substr(0, data_.size() - 1);
    data_out_ = true;
  }
  set_type_and_id(out);
  return true;
}

void SseParser::check_size(std::size_t held) {
  if (held > max_event_size_) fail_too_large();
}

void SseParser::fail_too_large() {
  broken_ = true;
  skip_line_ = false;
  partial_data_ = false;
  line_.clear();
  data_.clear();
  has_pending_ = false;
  event_.clear();
  hold_id();
  throw SseEventTooLargeError(
      "SSE event exceeds the size limit of " + std::to_string(max_event_size_) + " bytes",
      max_event_size_);
}

}  // namespace zelq::net
