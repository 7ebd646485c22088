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

// A template asking for a width or precision of 100000 or more only
// measures the allocator.
bool has_long_number(std::string_view text) {
  std::size_t run = 0;
  for (char c : text) {
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run >= 6) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view templ(reinterpret_cast<const char*>(data), size);
  if (has_long_number(templ)) return 0;
  try {
    (void)zelq::core::py_format(templ, arguments());
  } catch (const zelq::core::ValueError&) {
  } catch (const zelq::core::KeyError&) {
  } catch (const zelq::core::IndexError&) {
  } catch (const zelq::core::TypeError&) {
  }
  return 0;
}
