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

// A field's value: what follows the colon, less one leading space.
std::string_view value_of(std::string_view rest) {
  if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  return rest;
}

}  // namespace

SseParser::SseParser(std::size_t max_event_size) : max_event_size_(max_event_size) {}

void SseParser::feed(std::string_view bytes, std::vector<SseEvent>& out) {
  if (broken_) {
    throw core::RuntimeError("SSE parser cannot continue after an event over the size limit");
  }
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  if (!bom_done_) p = skip_bom(p, end);
  if (pending_cr_ && p != end) {
    pending_cr_ = false;
    if (*p == '\n') ++p;
  }
  // Each search result is reused until the parse passes it, so every byte is
  // scanned at most once for CR and once for LF.
  const char* lf = find_byte(p, end, '\n');
  const char* cr = find_byte(p, end, '\r');
  while (p != end) {
    if (lf < p) lf = find_byte(p, end, '\n');
    if (cr < p) cr = find_byte(p, end, '\r');
    const char* eol = std::min(lf, cr);
    if (eol == end) {
      if (!skip_line_) {
        line_.append(p, end);
        check_partial_line();
      }
      break;
    }
    std::string_view piece(p, static_cast<std::size_t>(eol - p));
    if (skip_line_) {
      skip_line_ = false;
    } else if (line_.empty()) {
      take_line(piece, out, true);
    } else {
      line_.append(piece);
      take_line(line_, out, false);
      line_.clear();
    }
    p = eol + 1;
    if (*eol == '\r') {
      if (p == end) {
        pending_cr_ = true;
      } else if (*p == '\n') {
        ++p;
      }
    }
  }
  // The view points into `bytes`, which the caller may reuse.
  hold_pending();
}

// A line still open at the end of a feed is held, and bounded, by what its
// field will be: a data, event, id or retry value that is already over the
// limit fails now, as the whole line would; a comment or an unknown field is
// dropped as it arrives. So the outcome never depends on where feeds end.
void SseParser::check_partial_line() {
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

void SseParser::take_line(std::string_view line, std::vector<SseEvent>& out, bool in_feed) {
  if (line.empty()) {
    dispatch(out);
    return;
  }
  // Nearly every line of a stream is "data: ...": read without a search.
  if (line.size() >= 5 && std::memcmp(line.data(), "data:", 5) == 0) {
    take_data(value_of(line.substr(5)), in_feed);
    return;
  }
  if (line.front() == ':') return;
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
    check_size(value.size());
    if (value.find('\0') == std::string_view::npos) id_.assign(value);
  } else if (field == "retry") {
    check_size(value.size());
    if (auto ms = parse_retry(value)) retry_ = ms;
  }
}

// The first data line of an event, when it lies in the bytes being fed, is
// only pointed at: an event of one data line (nearly all of them) is then
// copied once, into the event, rather than first into data_.
void SseParser::take_data(std::string_view value, bool in_feed) {
  check_size(data_size() + value.size());
  if (in_feed && data_.empty() && !has_pending_) {
    pending_ = value;
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
  data_.append(pending_);
  data_.push_back('\n');
}

std::size_t SseParser::data_size() const noexcept {
  return data_.size() + (has_pending_ ? pending_.size() + 1 : 0);
}

void SseParser::dispatch(std::vector<SseEvent>& out) {
  if (data_.empty() && !has_pending_) {
    event_.clear();
    return;
  }
  std::string data;
  if (has_pending_ && data_.empty()) {
    data = std::string(pending_);
    has_pending_ = false;
  } else {
    hold_pending();
    // Copying (without the final "\n") keeps data_'s capacity for the next event.
    data = std::string(data_, 0, data_.size() - 1);
  }
  SseEvent& event = out.emplace_back(SseEvent{.data = std::move(data), .id = id_});
  if (!event_.empty()) event.event = std::move(event_);
  data_.clear();
  event_.clear();
}

void SseParser::check_size(std::size_t held) {
  if (held > max_event_size_) fail_too_large();
}

void SseParser::fail_too_large() {
  broken_ = true;
  skip_line_ = false;
  line_.clear();
  data_.clear();
  has_pending_ = false;
  event_.clear();
  throw core::RuntimeError("SSE event exceeds the size limit of " +
                           std::to_string(max_event_size_) + " bytes");
}

}  // namespace zelq::net
