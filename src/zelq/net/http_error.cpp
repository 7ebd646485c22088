#include "zelq/net/http_error.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/net/detail/html_text.hpp"

namespace zelq::net {
namespace {

std::string_view trim(std::string_view s) {
  auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<std::int64_t> parse_digits(std::string_view s) {
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<std::int32_t>::max();
  return value;
}

int month_number(std::string_view token) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  auto it = std::find(kMonths.begin(), kMonths.end(), token);
  return it == kMonths.end() ? 0 : static_cast<int>(it - kMonths.begin()) + 1;
}

bool is_weekday(std::string_view token) {
  static constexpr std::array<std::string_view, 7> kDays = {"Mon", "Tue", "Wed", "Thu",
                                                            "Fri", "Sat", "Sun"};
  static constexpr std::array<std::string_view, 7> kLong = {
      "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
  return std::find(kDays.begin(), kDays.end(), token) != kDays.end() ||
         std::find(kLong.begin(), kLong.end(), token) != kLong.end();
}

// "hh:mm:ss" -> seconds of the day.
std::optional<std::chrono::seconds> parse_time(std::string_view token) {
  if (token.size() != 8 || token[2] != ':' || token[5] != ':') return std::nullopt;
  auto h = parse_digits(token.substr(0, 2));
  auto m = parse_digits(token.substr(3, 2));
  auto s = parse_digits(token.substr(6, 2));
  if (!h || !m || !s || *h > 23 || *m > 59 || *s > 60) return std::nullopt;
  return std::chrono::seconds(*h * 3600 + *m * 60 + *s);
}

// The three HTTP-date forms share their tokens; only their order and the
// year's width differ, so the tokens are classified rather than positioned.
std::optional<std::chrono::sys_seconds> parse_http_date(std::string_view text) {
  std::optional<std::int64_t> day, year;
  std::optional<std::chrono::seconds> time;
  int month = 0;
  while (!text.empty()) {
    auto end = std::min(text.find_first_of(" ,-"), text.size());
    auto token = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (token.empty() || token == "GMT" || is_weekday(token)) continue;
    if (token.find(':') != std::string_view::npos) {
      if (time || !(time = parse_time(token))) return std::nullopt;
    } else if (auto number = parse_digits(token)) {
      if (!day && token.size() <= 2) {
        day = number;
      } else if (!year && (token.size() == 4 || token.size() == 2)) {
        year = token.size() == 4 ? *number : *number + (*number < 70 ? 2000 : 1900);
      } else {
        return std::nullopt;
      }
    } else if (int m = month_number(token); m != 0 && month == 0) {
      month = m;
    } else {
      return std::nullopt;
    }
  }
  if (!day || !year || !time || month == 0) return std::nullopt;
  std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                   std::chrono::month(static_cast<unsigned>(month)),
                                   std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date) + *time;
}

std::string format_what(int status, const std::string& message, const std::string& endpoint) {
  auto text = "HTTP " + std::to_string(status);
  if (!endpoint.empty()) text += " from " + endpoint;
  return message.empty() ? text : text + ": " + message;
}

// Non-negative seconds with an optional fraction ("2", "0.5"), nothing else.
std::optional<double> parse_seconds(std::string_view text) {
  text = trim(text);
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (text.empty() || text.front() == '-' || ec != std::errc{} || ptr != end ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool is_html_type(const HttpHeaders& headers) {
  auto type = find_header(headers, "Content-Type");
  if (!type) return false;
  std::string lowered(trim(type->substr(0, type->find(';'))));
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered == "text/html" || lowered == "application/xhtml+xml";
}

// The message of a body whose JSON holds none: an HTML page (`html`) is
// quoted by its title or its text, anything else as it is.
std::string quoted_body(std::string_view body, const Quoting& quoting, bool html) {
  if (html) return quoting.line(detail::html_text(body));
  return quoting.line(body);
}

// The message an error's JSON value holds: error.message, error (a text)
// or message; nullptr when it holds none.
const core::Value* message_in(const core::Value& json) {
  if (!json.is_object()) return nullptr;
  auto text_of = [](const core::Value& object, const char* key) -> const core::Value* {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? &*it : nullptr;
  };
  const core::Value* found = nullptr;
  if (auto error = json.find("error"); error != json.end()) {
    found = error->is_object() ? text_of(*error, "message") : text_of(json, "error");
  }
  return found != nullptr ? found : text_of(json, "message");
}

// server_message, with whether the body is HTML decided by the caller.
std::string message_of(std::string_view body, const Quoting& quoting, bool html,
                       std::size_t max_memory) {
  core::Value json;
  try {
    json = core::parse_json(body, "An error body", max_memory);
  } catch (const core::ValueError&) {
    // Nested too deeply to be a message: quoted as text.
  } catch (const core::JsonMemoryError&) {
    // Too large to read within the budget: quoted as text.
  }
  if (const core::Value* found = message_in(json)) {
    return quoting.line(found->get_ref<const std::string&>());
  }
  return quoted_body(body, quoting, html || detail::looks_like_html(body));
}

}  // namespace

HttpError::HttpError(int status, std::string message, std::optional<Seconds> retry_after,
                     std::string endpoint)
    : std::runtime_error(format_what(status, message, endpoint)),
      status_(status),
      message_(std::move(message)),
      retry_after_(retry_after),
      endpoint_(std::move(endpoint)) {}

HttpError HttpError::from_response(const HttpResponseHead& head, std::string_view body,
                                   std::size_t max_memory, std::string endpoint,
                                   const Quoting& quoting,
                                   std::chrono::system_clock::time_point now) {
  return HttpError(head.status, message_of(body, quoting, is_html_type(head.headers), max_memory),
                   retry_after_of(head.headers, now), std::move(endpoint));
}

void throw_for_status(const HttpResponse& response, std::size_t max_memory) {
  if (!response.ok()) throw HttpError::from_response(response, response.body, max_memory);
}

std::string sentence(std::string text) { return core::as_sentence(std::move(text)); }

std::string server_message(std::string_view body, const Quoting& quoting, std::size_t max_memory) {
  return message_of(body, quoting, false, max_memory);
}

std::string parsed_server_message(const core::Value& body, const Quoting& quoting) {
  if (const core::Value* found = message_in(body)) {
    return quoting.line(found->get_ref<const std::string&>());
  }
  // Shown as the text it came in; nothing reads it again.
  return quoting.line(body.dump());
}

std::optional<Seconds> retry_after_of(const HttpHeaders& headers,
                                      std::chrono::system_clock::time_point now) {
  if (auto ms = find_header(headers, "retry-after-ms")) {
    if (auto value = parse_seconds(*ms)) return Seconds(*value / 1e3);
  }
  if (auto value = find_header(headers, "Retry-After")) return parse_retry_after(*value, now);
  return std::nullopt;
}

std::optional<Seconds> parse_retry_after(std::string_view value,
                                         std::chrono::system_clock::time_point now) {
  if (auto seconds = parse_seconds(value)) return Seconds(*seconds);
  auto date = parse_http_date(trim(value));
  if (!date) return std::nullopt;
  // Whole seconds on both sides: a date is a second count whose range (years
  // 0 to 9999) the clock's nanoseconds cannot hold. date - floor(now) is the
  // ceiling of date - now.
  auto wait = *date - std::chrono::floor<std::chrono::seconds>(now);
  return Seconds(std::max(wait, std::chrono::seconds(0)));
}

}  // namespace zelq::net
