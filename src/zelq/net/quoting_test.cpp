#include "zelq/net/quoting.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/text_line.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/testing/error_text.hpp"

namespace zelq::net {
namespace {

// The memory budget of reading one body, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

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

// A policy masks every key it holds, occurrences of different keys that
// overlap as one, and keeps its limit when it takes one more key.
TEST(Quoting, MasksEveryKeyItHoldsAndKeepsItsLimit) {
  const Quoting one("key-one", 20);
  const Quoting both = one.also_masking("key-two").also_masking("").also_masking("key-one");
  EXPECT_EQ(one.mask("key-one key-two"), "*** key-two");
  EXPECT_EQ(both.mask("key-one key-two key-onekey-two"), "*** *** ******");
  EXPECT_EQ(both.limit(), 20u);
  EXPECT_EQ(both.line("a key-two " + std::string(40, 'x')),
            "a *** " + std::string(14, 'x') + "...");
  EXPECT_EQ(Quoting("abc-123").also_masking("123-xyz").mask("[abc-123-xyz]"), "[***]");
  EXPECT_EQ(Quoting().mask("a k3y"), "a k3y");
  EXPECT_EQ(Quoting().also_masking("k3y").line("a k3y"), "a ***");
}

// Every reader of a server's text in this layer shows it through the policy
// it is handed: its key masked, its own limit kept.
TEST(Quoting, ReadersOfServerTextsShowThemThroughThePolicyTheyAreHanded) {
  const Quoting quoting("sk-chain-KEY", 24);
  const std::string sent = "refused sk-chain-KEY because " + std::string(50, 'z');
  const std::string line = "refused *** because zzzz...";
  HttpResponseHead head;
  head.status = 401;
  const struct {
    std::string name;
    std::function<std::string()> message;
    std::string expected;
  } rows[] = {
      {"server_message", [&] { return server_message(sent, quoting, kBudget); }, line},
      {"HttpError::from_response",
       [&] {
         return std::string(HttpError::from_response(head, sent, kBudget, "GET u", quoting).what());
       },
       "HTTP 401 from GET u: " + line},
      {"parse_json",
       [&] {
         return testing::error_of<core::RuntimeError>(
             [&] { parse_json(sent, "The answer", quoting, kBudget); });
       },
       "The answer is not JSON: 'refused *** because zzzz'..."},
      {"parse_json_object",
       [&] {
         return testing::error_of<core::RuntimeError>(
             [&] { parse_json_object("[\"" + sent + "\"]", "An event", quoting, kBudget); });
       },
       "An event is not a JSON object: '[\"refused *** because zz'..."},
  };
  for (const auto& row : rows) EXPECT_EQ(row.message(), row.expected) << row.name;
}

}  // namespace
}  // namespace zelq::net
