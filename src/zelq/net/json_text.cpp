#include "zelq/net/json_text.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::net {

namespace {

[[noreturn]] void refuse(std::string_view text, std::string_view source, const Quoting& quoting,
                         std::string_view what) {
  throw core::RuntimeError(
      sentence(std::string(source) + " is " + std::string(what) + ": " + quoting.excerpt(text)));
}

}  // namespace

core::Value parse_json(std::string_view text, std::string_view source, const Quoting& quoting,
                       std::size_t max_memory) {
  core::Value value;
  try {
    value = core::parse_json(text, source, max_memory);
  } catch (const core::ValueError& error) {
    // Too deep to read: a bad answer of the service, not the caller's error.
    throw core::ServiceDataError<core::ValueError>(error.what());
  }
  if (!value.is_discarded()) return value;
  refuse(text, source, quoting, is_utf8(text) ? "not JSON" : "not valid UTF-8");
}

core::Value parse_json_object(std::string_view text, std::string_view source,
                              const Quoting& quoting, std::size_t max_memory) {
  core::Value value = parse_json(text, source, quoting, max_memory);
  check_json_object(value, text, source, quoting);
  return value;
}

void check_json_object(const core::Value& value, std::string_view text, std::string_view source,
                       const Quoting& quoting) {
  if (!value.is_object()) refuse(text, source, quoting, "not a JSON object");
}

bool is_utf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    // The decoder rejects overlong forms and code points above U+10FFFF but
    // takes surrogates, which UTF-8 forbids.
    const core::detail::Utf8Char c = core::detail::decode_utf8(text, i);
    if (!c.valid || (c.code_point >= 0xD800 && c.code_point <= 0xDFFF)) return false;
    i += c.size;
  }
  return true;
}

}  // namespace zelq::net
