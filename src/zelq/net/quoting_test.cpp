#include "zelq/net/quoting.hpp"

#include <gtest/gtest.h>

#include <string>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/text_line.hpp"

namespace zelq::net {
namespace {

// Masking passes over exactly the bytes that one-lining collapses: in the
// text and in the key alike.
TEST(Quoting, MaskingPassesOverWhatOneLiningCollapses) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    if (c == 'a' || c == 'b') continue;
    const std::string broken = std::string("a") + c + "b";
    const bool collapsed = core::one_line(broken) == "a b";
    EXPECT_EQ(collapsed, core::is_line_space(c)) << byte;
    EXPECT_EQ(mask_secret(broken, "ab") == "***", collapsed) << byte;
    EXPECT_EQ(mask_secret("ab", broken) == "***", collapsed) << byte;
  }
}

// A key that holds white space is masked whatever white space stands at
// those spots of the text, by every form of the policy.
TEST(Quoting, AKeyHoldingWhiteSpaceIsMaskedWhateverWhiteSpaceIsThere) {
  const Quoting quoting("sk abc 123");
  const struct {
    std::string text;
    std::string masked;
    std::string line;
  } rows[] = {
      {"key sk abc 123.", "key ***.", "key ***."},
      {"key sk\tabc 123.", "key ***.", "key ***."},
      {"key sk  abc 123.", "key ***.", "key ***."},
      {"key sk \n abc 123.", "key ***.", "key ***."},
      {"key\nskabc\r\n123\n.", "key\n***\n.", "key *** ."},
      // Not the key: left as it is.
      {"key sk abc 12.", "key sk abc 12.", "key sk abc 12."},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(core::py_repr(row.text));
    EXPECT_EQ(quoting.mask(row.text), row.masked);
    EXPECT_EQ(quoting.line(row.text), row.line);
    EXPECT_EQ(quoting.quoted(row.text), "'" + row.line + "'");
    EXPECT_EQ(quoting.excerpt(row.text), "'" + row.line + "'");
  }
  EXPECT_EQ(Quoting(" \t\n").mask("a \t\n b"), "a \t\n b");
}

}  // namespace
}  // namespace zelq::net
