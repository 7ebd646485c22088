// core::parse_json accepts what nlohmann's parser accepts up to 512 levels
// of nesting, names the source when the text nests deeper, gives the same
// value under a memory budget or fails naming it, and the value it gives
// survives the library's recursive functions (dump, repr, hash).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/core/pytext.hpp"

namespace {

using zelq::core::Value;

// Far more than any fuzz input's value takes: the parse is never stopped
// by it, so its value is the one nlohmann's parser reads.
constexpr std::size_t kAmple = std::size_t{1} << 40;

// The deepest nesting of brackets outside strings in `text` (the text need
// not be valid JSON).
std::size_t bracket_depth(std::string_view text) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Value value;
  try {
    value = zelq::core::parse_json(text, "The fuzz input", kAmple);
  } catch (const zelq::core::ValueError& error) {
    if (std::string_view(error.what()) != "The fuzz input is nested deeper than 512 levels") {
      zelq::fuzz::fail("unexpected ValueError", error.what());
    }
    if (bracket_depth(text) <= zelq::core::kMaxJsonDepth) {
      zelq::fuzz::fail("a text within the nesting bound was refused as too deep");
    }
    return 0;
  }
  const Value plain = Value::parse(text, nullptr, false);
  if (value.is_discarded()) {
    if (!plain.is_discarded()) zelq::fuzz::fail("parse_json refused JSON that nlohmann accepts");
    return 0;
  }
  if (plain.is_discarded() || value != plain) {
    zelq::fuzz::fail("parse_json and nlohmann's parser give different values");
  }
  // A budget only stops a parse: what it lets through is the value read
  // within an ample one. The first byte picks it, from 0 to 65,280 bytes.
  const std::size_t budget = std::size_t{data[0]} * 256;
  try {
    if (zelq::core::parse_json(text, "The fuzz input", budget) != value) {
      zelq::fuzz::fail("a budget changed the value read");
    }
  } catch (const zelq::core::JsonMemoryError& error) {
    if (std::string_view(error.what()) != "The fuzz input needs more than " +
                                              std::to_string(budget) +
                                              " bytes of memory once parsed") {
      zelq::fuzz::fail("unexpected JsonMemoryError", error.what());
    }
  }
  const std::string dumped = value.dump(-1, ' ', false, Value::error_handler_t::replace);
  if (zelq::core::parse_json(dumped, "The dump", kAmple) != value) {
    zelq::fuzz::fail("a dumped value parses to another value", dumped);
  }
  (void)zelq::core::py_repr(value);
  (void)zelq::core::json_dumps(value);
  return 0;
}
