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

}  // namespace
}  // namespace zelq::core
