#include "zelq/net/json_text.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "zelq/core/errors.hpp"

namespace zelq::net {
namespace {

// The memory budget of reading one body, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

template <class Error>
std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.what();
  }
  return "no error of the expected kind";
}

TEST(JsonText, ServerTextIsReadWithBoundsAndQuotedOnOneLine) {
  const Quoting quoting("sk-9-secret");
  EXPECT_EQ(parse_json_object(R"({"a":[1,{"b":null}]})", "An answer", quoting, kBudget).dump(),
            R"({"a":[1,{"b":null}]})");
  EXPECT_EQ(parse_json("[1]", "An answer", quoting, kBudget).dump(), "[1]");
  auto runtime = [&quoting](std::string text, bool object) {
    return error_of<core::RuntimeError>([&] {
      object ? parse_json_object(text, "The event of X", quoting, kBudget)
             : parse_json(text, "The event of X", quoting, kBudget);
    });
  };
  EXPECT_EQ(runtime("[1, 2]", true), "The event of X is not a JSON object: '[1, 2]'.");
  EXPECT_EQ(runtime("<p>\n  key sk-9-secret\n</p>", false),
            "The event of X is not JSON: '<p> key *** </p>'.");
  EXPECT_EQ(runtime("{\"a\":\"\xC3\x28\"}", true),
            "The event of X is not valid UTF-8: '{\"a\":\"\\xc3(\"}'.");
  // A long text is cut, and the ellipsis ends the sentence.
  const std::string cut = runtime(std::string(400, 'x'), false);
  EXPECT_EQ(cut, "The event of X is not JSON: '" + std::string(300, 'x') + "'...");
  std::string deep = std::string(600, '[') + std::string(600, ']');
  EXPECT_EQ(error_of<core::ValueError>([&] { parse_json(deep, "The event of X", {}, kBudget); }),
            "The event of X is nested deeper than 512 levels");
  // The service sent it: marked so, whichever way it is read.
  bool marked = false;
  try {
    parse_json_object(deep, "The event of X", {}, kBudget);
  } catch (const core::FromServiceData&) {
    marked = true;
  }
  EXPECT_TRUE(marked);
  EXPECT_TRUE(is_utf8("caf\xC3\xA9 \xF0\x9F\x90\x9D"));
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80"}) {
    EXPECT_FALSE(is_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace zelq::net
