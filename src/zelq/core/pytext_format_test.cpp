#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

// Every expected text below was printed by CPython 3.11.
namespace zelq::core {
namespace {

std::string format_one(const std::string& spec, const Value& value) {
  return py_format("{v:" + spec + "}", Value{{"v", value}});
}

// CPython counts the digits of 'e' (precision + 1) in a C int: at the
// largest precision the count wraps around, and one digit is printed.
TEST(PyFormatLimitsTest, LargestPrecisionsFormatAsPythonDoes) {
  const std::vector<std::pair<std::string, Value>> cases = {
      {".2147483647e|2e+00", 1.5},
      {".2147483647E|-2E+10", -2.5e10},
      {".2147483647e|4e+00", 3.5},
      {".2147483647e|2e+00", 2.5},
      {"#.2147483647e|2.e+00", 1.5},
      {"+.2147483647e|+2e+00", 1.5},
      {"x^11.2147483647e|xxx2e+00xxx", 1.5},
      {".2147483647e|1e-310", 1e-310},
      {".2147483647e|1e+00", 1},
      {".2147483647e|inf", INFINITY},
      {"z.2147483647e|0e+00", -0.0},
      {".2147483647g|1.5", 1.5},
      {".2147483647|1.5", 1.5},
      {".2147483647n|1.5", 1.5},
      {".2147483647g|0.1000000000000000055511151231257827021181583404541015625", 0.1},
      {".9223372036854775807|a", "a"},
      {",.2147483647e|2e+00", 1.5},
  };
  for (const auto& [pair, value] : cases) {
    const std::string spec = pair.substr(0, pair.find('|'));
    EXPECT_EQ(format_one(spec, value), pair.substr(pair.find('|') + 1)) << spec;
  }
  // Precisions past the exact digits of a double only add zeros.
  const std::string wide = format_one(".2000f", 0.1);
  EXPECT_EQ(wide.size(), 2002u);
  EXPECT_EQ(wide.substr(0, 60), "0.1000000000000000055511151231257827021181583404541015625000");
  EXPECT_EQ(wide.find_first_not_of('0', 57), std::string::npos);
  const std::string tiny = format_one(".1200e", 5e-324);
  EXPECT_EQ(tiny.substr(0, 24), "4.9406564584124654417656");
  EXPECT_EQ(tiny.substr(tiny.size() - 10), "00000e-324");
}

enum class Kind { kValue, kMemory };

TEST(PyFormatLimitsTest, HugeWidthsAndPrecisionsRaisePythonsErrors) {
  const std::vector<std::tuple<std::string, Value, Kind, std::string>> cases = {
      {"99999999999", "a", Kind::kMemory, ""},
      {"9223372036854775807", "a", Kind::kMemory, ""},
      {"99999999999", 1, Kind::kMemory, ""},
      {"99999999999", 1.5, Kind::kMemory, ""},
      {"99999999999", true, Kind::kMemory, ""},
      {"99999999999c", 1, Kind::kMemory, ""},
      {"99999999999,", 1, Kind::kMemory, ""},
      {"099999999999", 1, Kind::kMemory, ""},
      {"0=99999999999", 1.5, Kind::kMemory, ""},
      {"x<9223372036854775807", 1, Kind::kMemory, ""},
      {"99999999999.2e", 1.5, Kind::kMemory, ""},
      {"99999999999.2147483647f", 1.5, Kind::kMemory, ""},
      {"9223372036854775808", "a", Kind::kValue, "Too many decimal digits in format string"},
      {".2147483648e", 1.5, Kind::kValue, "precision too big"},
      {".9223372036854775807e", 1.5, Kind::kValue, "precision too big"},
      {".100000000000f", 1.5, Kind::kValue, "precision too big"},
      {".2147483648e", 1, Kind::kValue, "precision too big"},
      // A format spec is checked whole before its field is built.
      {"99999999999.2147483648e", 1.5, Kind::kValue, "precision too big"},
      {"+99999999999", "a", Kind::kValue, "Sign not allowed in string format specifier"},
      {"z99999999999", "a", Kind::kValue,
       "Negative zero coercion (z) not allowed in string format specifier"},
      {"99999999999x", "a", Kind::kValue, "Unknown format code 'x' for object of type 'str'"},
      {"99999999999x", 1.5, Kind::kValue, "Unknown format code 'x' for object of type 'float'"},
      {"99999999999.5c", 1, Kind::kValue, "Precision not allowed in integer format specifier"},
      {".2147483647,e", 1.5, Kind::kValue,
       "Invalid format specifier '.2147483647,e' for object of type 'float'"},
  };
  for (const auto& [spec, value, kind, message] : cases) {
    SCOPED_TRACE(spec);
    try {
      format_one(spec, value);
      ADD_FAILURE() << "no error";
    } catch (const ValueError& e) {
      EXPECT_EQ(kind, Kind::kValue);
      EXPECT_EQ(e.what(), message);
    } catch (const MemoryError& e) {
      EXPECT_EQ(kind, Kind::kMemory);
      EXPECT_STREQ(e.what(), "");
    }
  }
  // MemoryError is the library's out-of-memory kind.
  EXPECT_THROW(py_format("{a:99999999999}", {{"a", "a"}}), std::bad_alloc);
}

TEST(PyFormatLimitsTest, WidePaddingIsExact) {
  const std::string wide = py_format("{a:99999999}", {{"a", "a"}});
  ASSERT_EQ(wide.size(), 99999999u);
  EXPECT_EQ(wide[0], 'a');
  EXPECT_EQ(wide.find_first_not_of(' ', 1), std::string::npos);

  // A fill of several bytes, split on both sides; 'é' takes two bytes, '😀' four.
  EXPECT_EQ(format_one("é^7", "a"), "éééaééé");
  const std::string centred = format_one("😀^1000002", "ab");
  ASSERT_EQ(centred.size(), 4u * 1000000 + 2);
  const std::string face = "😀";
  EXPECT_EQ(centred.substr(2000000, 6), "ab" + face);
  for (std::size_t i = 0; i < centred.size(); i += 4) {
    if (i == 2000000) i += 2;
    ASSERT_EQ(centred.compare(i, 4, face), 0) << i;
  }
  EXPECT_EQ(format_one("é=+12,", -1234), "-éééééé1,234");
  EXPECT_EQ(format_one("é<9.2f", 1.5), "1.50ééééé");
}

}  // namespace
}  // namespace zelq::core
