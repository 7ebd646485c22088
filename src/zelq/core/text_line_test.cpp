#include "zelq/core/text_line.hpp"

#include <string>

#include <gtest/gtest.h>

namespace zelq::core {
namespace {

TEST(TextLine, CollapsesWhiteSpaceAndCutsAtACharacterBoundary) {
  EXPECT_EQ(one_line(" \r\n<html>\n\t<body>  Bad\fkey\v</body>\n</html>\n"),
            "<html> <body> Bad key </body> </html>");
  EXPECT_EQ(one_line(""), "");
  EXPECT_EQ(one_line("abcdef", 6), "abcdef");
  EXPECT_EQ(one_line("abc   def", 4), "abc...");
  // "é" is two bytes: a cut inside it moves before it.
  EXPECT_EQ(one_line("aé\n\nb", 2), "a...");
  EXPECT_EQ(one_line(std::string(5000, 'x')).size(), kOneLineLimit + 3);

  EXPECT_EQ(as_sentence("Service unavailable"), "Service unavailable.");
  for (const char* ended : {"unavailable.", "why?", "stop!", "cut..."}) {
    EXPECT_EQ(as_sentence(ended), ended);
  }
  EXPECT_EQ(as_sentence(""), ".");
}

// What a terminal, a log file or a JSON writer cannot take as it stands is
// escaped as py_repr escapes it; the rest stands as it is.
TEST(TextLine, EscapesWhatCannotBeShownAsItStands) {
  const struct {
    std::string text;
    std::string line;
  } rows[] = {
      {"raw \xff\xfe bytes", "raw \\xff\\xfe bytes"},
      {"overlong \xc0\xaf slash", "overlong \\xc0\\xaf slash"},
      {"surrogate \xed\xa0\x80 half", "surrogate \\ud800 half"},
      {std::string("nul \0 byte", 10), "nul \\x00 byte"},
      {"\x1b]0;pwned\x07\x1b[2J clear", "\\x1b]0;pwned\\x07\\x1b[2J clear"},
      {"back\bspace del\x7f", "back\\x08space del\\x7f"},
      {"c1 \xc2\x85 \xc2\x9b", "c1 \\x85 \\x9b"},
      {"zw\xe2\x80\x8bsp soft\xc2\xadhy bom\xef\xbb\xbf", "zw\\u200bsp soft\\xadhy bom\\ufeff"},
      {"bidi \xe2\x80\xae \xe2\x81\xa6 wj\xe2\x81\xa0", "bidi \\u202e \\u2066 wj\\u2060"},
      // Kept: printable non-ASCII, backslashes and quotes.
      {"caf\xc3\xa9 \\x41 'q' \"d\"", "caf\xc3\xa9 \\x41 'q' \"d\""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(one_line(row.text), row.line) << row.line;
    EXPECT_EQ(shown_text(row.text + "\n\t"), row.line + "\n\t") << row.line;
  }
  // The cut falls before an escape, never inside it.
  EXPECT_EQ(one_line("abc\x1b", 5), "abc...");
  EXPECT_EQ(one_line("ab\x1b", 6), "ab\\x1b");
  EXPECT_EQ(collapsed_line("a\x1b \n b", 10), "a\x1b b");
}

}  // namespace
}  // namespace zelq::core
