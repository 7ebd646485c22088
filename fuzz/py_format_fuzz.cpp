// py_format on any template either formats or throws one of the error kinds
// of Python's str.format; nothing else escapes and nothing crashes.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace {

using zelq::core::Value;

const Value& arguments() {
  static const Value kwargs = [] {
    Value v = Value::object();
    v["a"] = "text";
    v["u"] = "h\xC3\xA9llo \xF0\x9F\x98\x80";
    v["bad"] = "\xFF\xFE";
    v["n"] = 42;
    v["neg"] = -7;
    v["big"] = 18446744073709551615ULL;
    v["small"] = -9223372036854775807LL - 1;
    v["f"] = 3.5;
    v["tiny"] = 1e-300;
    v["huge"] = 1.7976931348623157e308;
    v["t"] = true;
    v["none"] = nullptr;
    v["list"] = Value::array({1, "x", Value::array({2.5})});
    v["obj"] = Value{{"k", "v"}, {"0", "zero"}, {"w", 5}};
    v["bytes"] = Value::binary({0x61, 0x00, 0xff});
    return v;
  }();
  return kwargs;
}

// A template whose widths or precisions can reach a million or more only
// measures the allocator (Python builds such texts too). Those come from a
// run of six digits, or from digits next to a nested field ({a:{n}9} is a
// width of 429), or from two nested fields ({a:{n}{n}}): such templates are
// skipped.
bool asks_for_huge_text(std::string_view text) {
  std::size_t run = 0;
  std::size_t depth = 0;
  std::size_t nested = 0;
  std::size_t digits_in_fields = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    run = digit ? run + 1 : 0;
    if (run >= 6) return true;
    if (depth == 0) {
      if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
        ++i;
      } else if (c == '{') {
        depth = 1;
      }
      continue;
    }
    if (digit) ++digits_in_fields;
    if (c == '{') {
      ++nested;
      ++depth;
    } else if (c == '}') {
      --depth;
    }
  }
  return nested > 1 || (nested == 1 && digits_in_fields > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view templ(reinterpret_cast<const char*>(data), size);
  if (asks_for_huge_text(templ)) return 0;
  try {
    (void)zelq::core::py_format(templ, arguments());
  } catch (const zelq::core::ValueError&) {
  } catch (const zelq::core::KeyError&) {
  } catch (const zelq::core::IndexError&) {
  } catch (const zelq::core::TypeError&) {
  } catch (const zelq::core::AttributeError&) {
  }
  return 0;
}
