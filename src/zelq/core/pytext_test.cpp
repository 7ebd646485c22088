#include "zelq/core/pytext.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "zelq/core/errors.hpp"

// Every expected text below was printed by CPython 3.11.
namespace zelq::core {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(PyTextTest, ReprOfTexts) {
  const Pairs cases = {
      {"", "''"},
      {"abc", "'abc'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"both ' and \"", "'both \\' and \"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"tab\tnl\ncr\015", "'tab\\tnl\\ncr\\r'"},
      {std::string("\000\001\037\177", 4), "'\\x00\\x01\\x1f\\x7f'"},
      {"\302\200\302\205\302\237\302\240\302\255", "'\\x80\\x85\\x9f\\xa0\\xad'"},
      {"é中😀", "'é中😀'"},
      {"\342\200\213\342\200\250\342\200\251\343\200\200\357\273\277",
       "'\\u200b\\u2028\\u2029\\u3000\\ufeff'"},
      {"\363\240\200\201\364\217\277\277\363\260\200\200", "'\\U000e0001\\U0010ffff\\U000f0000'"},
      {"\315\270", "'\\u0378'"},  // unassigned
      // Not UTF-8: each stray byte shows as \xNN; an encoded surrogate as Python shows it.
      {"a\377b\303", "'a\\xffb\\xc3'"},
      {"\300\257\340\200\200", "'\\xc0\\xaf\\xe0\\x80\\x80'"},
      {"\355\240\200", "'\\ud800'"},
  };
  for (const auto& [text, repr] : cases) EXPECT_EQ(py_repr(text), repr) << repr;
}

TEST(PyTextTest, ReprOfBytes) {
  const Pairs cases = {
      {"", "b''"},
      {"abc", "b'abc'"},
      {"it's", "b\"it's\""},
      {"\"'", "b'\"\\''"},
      {std::string("\000\177\200\377\n\t\015\\", 8), "b'\\x00\\x7f\\x80\\xff\\n\\t\\r\\\\'"},
  };
  for (const auto& [bytes, repr] : cases) {
    EXPECT_EQ(py_bytes_repr(bytes), repr);
    EXPECT_EQ(py_bytes_repr(Bytes(bytes.begin(), bytes.end())), repr);
  }
}

TEST(PyTextTest, FloatRepr) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {1e-05, "1e-05"},
      {1e-4, "0.0001"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {123456789012345.0, "123456789012345.0"},
      {12345678901234567890.0, "1.2345678901234567e+19"},
      {-0.0, "-0.0"},
      {inf, "inf"},
      {-inf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {-std::numeric_limits<double>::quiet_NaN(), "nan"},
      {1e22, "1e+22"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {0.1 + 0.2, "0.30000000000000004"},
      {2.0 / 3.0, "0.6666666666666666"},
      {-1234.5678, "-1234.5678"},
      {-0x1.cdcfd48bf6a6bp-9, "-0.0035233447033367524"},
      {-0x1.211b627e1f8ffp-29, "-2.1035300715365304e-09"},
      {-0x1.21ba7b2953eedp+76, "-8.551274266649146e+22"},
  };
  for (const auto& [value, repr] : cases) EXPECT_EQ(py_float_repr(value), repr);

  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    const std::string text = py_float_repr(x);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
  }
}

TEST(PyTextTest, ReprStrAndAsciiOfValues) {
  const Value nested = Value::parse(
      R"([1, "a", [true, null, 2.5], {"k": 0, "é": -3}, {}, [], 18446744073709551615])");
  const std::string expected =
      "[1, 'a', [True, None, 2.5], {'k': 0, 'é': -3}, {}, [], 18446744073709551615]";
  EXPECT_EQ(py_repr(nested), expected);
  EXPECT_EQ(py_str(nested), expected);
  EXPECT_EQ(py_ascii(nested),
            "[1, 'a', [True, None, 2.5], {'k': 0, '\\xe9': -3}, {}, [], 18446744073709551615]");
  EXPECT_EQ(py_repr(Value::object({{"b", bytes_value({'x', '\'', 'y'})}})), "{'b': b\"x'y\"}");
  EXPECT_EQ(py_repr(Value("it's")), "\"it's\"");
  EXPECT_EQ(py_str(Value("it's")), "it's");
  EXPECT_EQ(py_str(Value(nullptr)), "None");
  EXPECT_EQ(py_str(Value(false)), "False");
  EXPECT_EQ(py_str(Value(1e16)), "1e+16");
  EXPECT_EQ(py_ascii(Value("é中😀\302\205")), "'\\xe9\\u4e2d\\U0001f600\\x85'");
}

TEST(PyTextTest, Truthiness) {
  for (const char* falsy : {"null", "false", "0", "0.0", "-0.0", "\"\"", "[]", "{}"}) {
    EXPECT_FALSE(py_truthy(Value::parse(falsy))) << falsy;
  }
  for (const char* truthy :
       {"true", "-1", "18446744073709551615", "1e-300", "\" \"", "[0]", "{\"a\": null}"}) {
    EXPECT_TRUE(py_truthy(Value::parse(truthy))) << truthy;
  }
  EXPECT_TRUE(py_truthy(Value(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(py_truthy(bytes_value({})));
  EXPECT_TRUE(py_truthy(bytes_value({0})));
}

TEST(PyTextTest, StripAndBlankUseUnicodeWhitespace) {
  const std::string all_space =
      " \t\n\013\014\015\034\035\036\037\302\205\302\240\341\232\200\342\200\200\342\200\212"
      "\342\200\250\342\200\251\342\200\257\342\201\237\343\200\200";
  EXPECT_EQ(py_strip(all_space), "");
  EXPECT_TRUE(py_is_blank(all_space));
  EXPECT_TRUE(py_is_blank(""));
  EXPECT_EQ(py_strip(" \343\200\200a b\302\240\n"), "a b");
  // U+200B is not whitespace for Python.
  EXPECT_EQ(py_strip("\342\200\213 x \342\200\213"), "\342\200\213 x \342\200\213");
  EXPECT_FALSE(py_is_blank("\342\200\213"));
  EXPECT_EQ(py_strip(" \377 "), "\377");
  EXPECT_EQ(py_strip("\n\tkeep  inner\t\n"), "keep  inner");
}

TEST(PyTextTest, JsonDumps) {
  Value value = Value::parse(
      R"({"a": [1, 2.0, null, true, false], "s": "é\n\"\\\t\b\f\u0001\u007f😀/",
          "n": {}, "e": {}, "l": [], "u": 18446744073709551615, "neg": -5, "f": 1e16})");
  value["n"]["x"] = std::numeric_limits<double>::quiet_NaN();
  value["n"]["i"] = std::numeric_limits<double>::infinity();
  value["n"]["m"] = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(
      json_dumps(value),
      R"({"a": [1, 2.0, null, true, false], "s": "\u00e9\n\"\\\t\b\f\u0001\u007f\ud83d\ude00/", )"
      R"("n": {"x": NaN, "i": Infinity, "m": -Infinity}, "e": {}, "l": [], )"
      R"("u": 18446744073709551615, "neg": -5, "f": 1e+16})");
  EXPECT_EQ(json_dumps(Value("\342\200\250'")), R"("\u2028'")");
  EXPECT_EQ(json_dumps(Value("a\377")), R"("a\ufffd")");
  EXPECT_EQ(json_dumps(Value::array()), "[]");
  EXPECT_EQ(json_dumps(Value::object()), "{}");
  try {
    json_dumps(Value::array({1, bytes_value({'x'})}));
    ADD_FAILURE() << "bytes were serialised";
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "Object of type bytes is not JSON serializable");
  }
}

// CPython renders values as deep as its recursion limit of 1000 (less what
// its caller's frames take) and raises RecursionError beyond: python3 gives
// "maximum recursion depth exceeded while getting the repr of an object"
// for repr and str, "... while encoding a JSON object" for json.dumps.
TEST(PyTextTest, ValuesNestedDeeperThan1000LevelsAreARuntimeError) {
  // Objects and arrays by turns around 1, with their repr and dumps texts.
  Value value = 1;
  std::string repr = "1";
  std::string dumps = "1";
  const auto wrap = [&] {
    if (value.is_object()) {
      value = Value::array({std::move(value)});
      repr = "[" + repr + "]";
      dumps = "[" + dumps + "]";
    } else {
      Value object = Value::object();
      object["k"] = std::move(value);
      value = std::move(object);
      repr = "{'k': " + repr + "}";
      dumps = "{\"k\": " + dumps + "}";
    }
  };
  for (int levels = 1; levels <= 1000; ++levels) {
    wrap();
    if (levels != 600 && levels != 900 && levels != 1000) continue;
    EXPECT_EQ(py_repr(value), repr) << levels;
    EXPECT_EQ(py_str(value), repr) << levels;
    EXPECT_EQ(py_ascii(value), repr) << levels;
    EXPECT_EQ(json_dumps(value), dumps) << levels;
  }

  wrap();
  Value deepest = 1;
  for (int i = 0; i < 50000; ++i) deepest = Value::array({std::move(deepest)});
  const auto error_of = [](auto call) -> std::string {
    try {
      call();
    } catch (const RuntimeError& error) {
      return error.what();
    }
    return "no error";
  };
  const std::string repr_error =
      "maximum recursion depth exceeded while getting the repr of an object";
  for (const Value* deep : {&value, &deepest}) {
    EXPECT_EQ(error_of([&] { py_repr(*deep); }), repr_error);
    EXPECT_EQ(error_of([&] { py_str(*deep); }), repr_error);
    EXPECT_EQ(error_of([&] { py_ascii(*deep); }), repr_error);
    EXPECT_EQ(error_of([&] { json_dumps(*deep); }),
              "maximum recursion depth exceeded while encoding a JSON object");
  }
}

Value format_kwargs() {
  return Value::parse(R"({"name": "Ana", "n": 1234567, "neg": -42, "x": 3.14159,
      "big": 18446744073709551615, "t": true, "f": false, "none": null, "l": [1, "é", null],
      "d": {"k": "v", "0": "zero"}, "s": "中文字", "w": 10, "p": 2, "q": "it's",
      "e": "é😀\u0085", "z": -0.0001, "b": 255, "tiny": 1e-7, "huge": 1e16})");
}

TEST(PyFormatTest, HappyPaths) {
  const Pairs cases = {
      {"Hello {name}!", "Hello Ana!"},
      {"{{literal}} {name}", "{literal} Ana"},
      {"}}{{", "}{"},
      {"{name:>6}|{name:<6}|{name:^7}|{name:*^8}", "   Ana|Ana   |  Ana  |**Ana***"},
      {"{s:_>6}|{s:.2}|{s:5.1}", "___中文字|中文|中    "},
      {"{name:05}", "Ana00"},
      {"{n:,}|{n:_}|{n:>12,}|{n:012,}|{neg:=+8}|{neg: }|{n:+}",
       "1,234,567|1_234_567|   1,234,567|0,001,234,567|-     42|-42|+1234567"},
      {"{b:b}|{b:#o}|{b:x}|{b:#X}|{b:#010x}|{n:_x}|{b:c}",
       "11111111|0o377|ff|0XFF|0x000000ff|12_d687|ÿ"},
      {"{x:.2f}|{x:10.3e}|{x:g}|{x:.3}|{x:%}|{x:.1%}|{x:+.2E}|{x:n}",
       "3.14| 3.142e+00|3.14159|3.14|314.159000%|314.2%|+3.14E+00|3.14159"},
      {"{n:e}|{n:.2f}|{n:%}", "1.234567e+06|1234567.00|123456700.000000%"},
      {"{z:.2f}|{z:z.2f}|{huge}|{huge:,.1f}|{tiny}|{tiny:g}",
       "-0.00|0.00|1e+16|10,000,000,000,000,000.0|1e-07|1e-07"},
      {"{x}|{t}|{f}|{none}|{l}|{d}",
       "3.14159|True|False|None|[1, 'é', None]|{'k': 'v', '0': 'zero'}"},
      {"{t:d}|{t:>5}|{f:.1f}", "1|    1|0.0"},
      {"{x:{w}.{p}f}|{name:{w}}|{name:{d[k]}>{w}}", "      3.14|Ana       |vvvvvvvAna"},
      {"{name!r}|{q!r}|{e!r}|{e!a}|{l!a}|{n!s:>9}|{name!r:>8}",
       "'Ana'|\"it's\"|'é😀\\x85'|'\\xe9\\U0001f600\\x85'|[1, '\\xe9', None]|  1234567|   'Ana'"},
      {"{l[1]}|{l[0]:03}|{d[k]}|{s[1]}|{big}|{big:,}|{big:x}",
       "é|001|v|文|18446744073709551615|18,446,744,073,709,551,615|ffffffffffffffff"},
      {"{x!s:.3}", "3.1"},
      {"{name:}", "Ana"},
      {"{e}|{e:>5}", "é😀\302\205|  é😀\302\205"},
      // An integer-like key indexes lists and texts with any decimal digits.
      {"{l[٠]}|{s[٢]}|{d[k]}", "1|字|v"},
  };
  const Value kwargs = format_kwargs();
  for (const auto& [templ, expected] : cases)
    EXPECT_EQ(py_format(templ, kwargs), expected) << templ;
  EXPECT_EQ(py_format("no fields", Value()), "no fields");
}

TEST(PyFormatTest, FloatSpecs) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"inf", "010", "0000000inf"},
      {"nan", "+", "+nan"},
      {"-inf", "F", "-INF"},
      {"123.0", "#.3g", "123."},
      {"2.0", "#.0e", "2.e+00"},
      {"2.0", "#.0f", "2."},
      {"0.125", ".2f", "0.12"},
      {"2.5", ".0f", "2"},
      {"5.0", ".0", "5e+00"},
      {"123.0", ".3", "1.23e+02"},
      {"0.1", ".30g", "0.100000000000000005551115123126"},
      {"1e16", ".17", "1e+16"},
      {"-1.5", "010", "-0000001.5"},
      {"1234.5", "_", "1_234.5"},
      {"-0.0", "z", "0.0"},
      {"0.00001234", "", "1.234e-05"},
      {"1234567.0", "g", "1.23457e+06"},
      {"1234567.0", ".10n", "1234567"},
      {"-1234.5", "^+14,.1f", "   -1,234.5   "},
  };
  for (const auto& [value, spec, expected] : cases) {
    const Value kwargs = {{"x", std::strtod(value.c_str(), nullptr)}};
    EXPECT_EQ(py_format("{x:" + spec + "}", kwargs), expected) << value << " " << spec;
  }
  const std::string big = py_format("{x:.0f}", {{"x", 1e300}});
  EXPECT_EQ(big.size(), 301u);
  EXPECT_EQ(big.substr(0, 20), "10000000000000000525");
}

enum class Kind { kKeyError, kIndexError, kValueError, kTypeError, kAttributeError };

TEST(PyFormatTest, ErrorsHavePythonsKindAndMessage) {
  const std::vector<std::tuple<std::string, Kind, std::string>> cases = {
      {"{missing}", Kind::kKeyError, "'missing'"},
      {"{na me}", Kind::kKeyError, "'na me'"},
      {"{l[5]}", Kind::kIndexError, "list index out of range"},
      {"{}", Kind::kIndexError, "Replacement index 0 out of range for positional args tuple"},
      {"{0}", Kind::kIndexError, "Replacement index 0 out of range for positional args tuple"},
      {"{3:>5}", Kind::kIndexError, "Replacement index 3 out of range for positional args tuple"},
      {"a } b", Kind::kValueError, "Single '}' encountered in format string"},
      {"a {", Kind::kValueError, "Single '{' encountered in format string"},
      {"{name", Kind::kValueError, "expected '}' before end of string"},
      {"{name!}", Kind::kValueError, "unmatched '{' in format spec"},
      {"{name!r", Kind::kValueError, "unmatched '{' in format spec"},
      {"{name!x}", Kind::kValueError, "Unknown conversion specifier x"},
      {"{name!é}", Kind::kValueError, "Unknown conversion specifier \\xe9"},
      {"{name!rx}", Kind::kValueError, "expected ':' after conversion specifier"},
      {"{name:{w:{p}}}", Kind::kValueError, "Max string recursion exceeded"},
      {"{l[x]}", Kind::kTypeError, "list indices must be integers or slices, not str"},
      {"{s[x]}", Kind::kTypeError, "string indices must be integers, not 'str'"},
      {"{d[nope]}", Kind::kKeyError, "'nope'"},
      {"{d[7]}", Kind::kKeyError, "7"},
      // An integer-like key is an int on a dict: it misses the text key "0".
      {"{d[0]}", Kind::kKeyError, "0"},
      {"{d[007]}", Kind::kKeyError, "7"},
      {"{d[٣]}", Kind::kKeyError, "3"},
      {"{d[-1]}", Kind::kKeyError, "'-1'"},
      {"{d[ 0]}", Kind::kKeyError, "' 0'"},
      {"{n[0]}", Kind::kTypeError, "'int' object is not subscriptable"},
      {"{none[0]}", Kind::kTypeError, "'NoneType' object is not subscriptable"},
      {"{d.k}", Kind::kAttributeError, "'dict' object has no attribute 'k'"},
      {"{name.x}", Kind::kAttributeError, "'str' object has no attribute 'x'"},
      {"{none.x}", Kind::kAttributeError, "'NoneType' object has no attribute 'x'"},
      {"{l[0].x}", Kind::kAttributeError, "'int' object has no attribute 'x'"},
      {"{t.x}", Kind::kAttributeError, "'bool' object has no attribute 'x'"},
      {"{x.x.}", Kind::kAttributeError, "'float' object has no attribute 'x'"},
      {"{d.}", Kind::kValueError, "Empty attribute in format string"},
      {"{l[0]x}", Kind::kValueError, "Only '.' or '[' may follow ']' in format field specifier"},
      {"{l[]}", Kind::kValueError, "Empty attribute in format string"},
      {"{a{b}", Kind::kValueError, "unexpected '{' in field name"},
      {"{name:d}", Kind::kValueError, "Unknown format code 'd' for object of type 'str'"},
      {"{n:s}", Kind::kValueError, "Unknown format code 's' for object of type 'int'"},
      {"{x:d}", Kind::kValueError, "Unknown format code 'd' for object of type 'float'"},
      {"{t:s}", Kind::kValueError, "Unknown format code 's' for object of type 'bool'"},
      {"{n:.2d}", Kind::kValueError, "Precision not allowed in integer format specifier"},
      {"{name:+}", Kind::kValueError, "Sign not allowed in string format specifier"},
      {"{name: }", Kind::kValueError, "Space not allowed in string format specifier"},
      {"{name:=5}", Kind::kValueError, "'=' alignment not allowed in string format specifier"},
      {"{name:#}", Kind::kValueError, "Alternate form (#) not allowed in string format specifier"},
      {"{n:,c}", Kind::kValueError, "Cannot specify ',' with 'c'."},
      {"{n:,_}", Kind::kValueError, "Cannot specify both ',' and '_'."},
      {"{n:.}", Kind::kValueError, "Format specifier missing precision"},
      {"{n:abc}", Kind::kValueError, "Invalid format specifier 'abc' for object of type 'int'"},
      {"{none:>4}", Kind::kTypeError, "unsupported format string passed to NoneType.__format__"},
      {"{l:>4}", Kind::kTypeError, "unsupported format string passed to list.__format__"},
      {"{d:x}", Kind::kTypeError, "unsupported format string passed to dict.__format__"},
      {"{b:+c}", Kind::kValueError, "Sign not allowed with integer format specifier 'c'"},
      {"{neg:c}", Kind::kValueError, "%c arg not in range(0x110000)"},
      {"{n:z}", Kind::kValueError,
       "Negative zero coercion (z) not allowed in integer format specifier"},
      {"{l[99999999999999999999]}", Kind::kValueError, "Too many decimal digits in format string"},
      // Fields are rendered in order: the first failing one decides.
      {"{missing} }", Kind::kKeyError, "'missing'"},
      {"{name:d} {missing}", Kind::kValueError, "Unknown format code 'd' for object of type 'str'"},
  };
  const Value kwargs = format_kwargs();
  for (const auto& [templ, kind, message] : cases) {
    SCOPED_TRACE(templ);
    try {
      py_format(templ, kwargs);
      ADD_FAILURE() << "no error";
    } catch (const KeyError& e) {
      EXPECT_EQ(kind, Kind::kKeyError);
      EXPECT_EQ(e.what(), message);
    } catch (const IndexError& e) {
      EXPECT_EQ(kind, Kind::kIndexError);
      EXPECT_EQ(e.what(), message);
    } catch (const TypeError& e) {
      EXPECT_EQ(kind, Kind::kTypeError);
      EXPECT_EQ(e.what(), message);
    } catch (const ValueError& e) {
      EXPECT_EQ(kind, Kind::kValueError);
      EXPECT_EQ(e.what(), message);
    } catch (const AttributeError& e) {
      EXPECT_EQ(kind, Kind::kAttributeError);
      EXPECT_EQ(e.what(), message);
    }
  }
  EXPECT_THROW(py_format("{a}", Value::array({1})), TypeError);
  try {
    py_format("{name}", Value());
    ADD_FAILURE() << "no error";
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "'name'");
  }
}

TEST(PyFormatTest, LargeValuesPassThroughUnchanged) {
  const std::string chunk(4096, 'x');
  const Value kwargs = {{"context", chunk + "{not a field}"}, {"query", "q"}};
  std::string templ;
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    templ += "Context: {context}\nQuestion: {query}\n";
    expected += "Context: " + chunk + "{not a field}\nQuestion: q\n";
  }
  EXPECT_EQ(py_format(templ, kwargs), expected);
}

}  // namespace
}  // namespace zelq::core
