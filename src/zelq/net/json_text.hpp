// Reading JSON text that a server sent (answers, streamed event data,
// records): nesting bounded as core::parse_json bounds it, and errors that
// quote the text on one line with the API key masked.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "zelq/core/value.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::net {

// Parses `text` as any JSON value, held to `max_memory` bytes of heap: the
// budget of the client or component the text came to (core::parse_json).
// Throws zelq::core::RuntimeError "<source> is not valid UTF-8: <excerpt>."
// when the bytes are not UTF-8, "<source> is not JSON: <excerpt>." for other
// text that is not JSON (the excerpt as quoting.excerpt gives it),
// zelq::core::ValueError "<source> is nested deeper than 512 levels", and
// core::JsonMemoryError "<source> needs more than <n> bytes of memory once
// parsed". Each is an error on what the service sent: the ValueError
// carries core::FromServiceData, so a retry policy retries it; the
// JsonMemoryError is a refusal over a limit, which none retries.
core::Value parse_json(std::string_view text, std::string_view source, const Quoting& quoting,
                       std::size_t max_memory);

// As parse_json, for text that must be a JSON object: a JSON value of
// another kind throws zelq::core::RuntimeError "<source> is not a JSON
// object: <excerpt>.".
core::Value parse_json_object(std::string_view text, std::string_view source,
                              const Quoting& quoting, std::size_t max_memory);

// The check parse_json_object makes, for `value` parsed already from
// `text`: throws as there unless `value` is an object. Neither is copied.
void check_json_object(const core::Value& value, std::string_view text, std::string_view source,
                       const Quoting& quoting);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool is_utf8(std::string_view text) noexcept;

}  // namespace zelq::net
