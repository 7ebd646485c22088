#include "zelq/net/quoting.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

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

// Masking passes over exactly the bytes that one-lining does not show as
// they stand (it collapses white space and escapes the rest): in the text
// and in the key alike.
TEST(Quoting, MaskingPassesOverWhatOneLiningCollapsesOrEscapes) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    if (c == 'a' || c == 'b') continue;
    const std::string broken = std::string("a") + c + "b";
    const bool collapsed = core::one_line(broken) == "a b";
    const bool passed_over = collapsed || core::one_line(broken) != broken;
    EXPECT_EQ(collapsed, core::is_line_space(c)) << byte;
    EXPECT_EQ(mask_secret(broken, "ab") == "***", passed_over) << byte;
    EXPECT_EQ(mask_secret("ab", broken) == "***", passed_over) << byte;
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
  const Quoting one("key-one1", 20);
  const Quoting both = one.also_masking("key-two2").also_masking("").also_masking("key-one1");
  EXPECT_EQ(one.mask("key-one1 key-two2"), "*** key-two2");
  EXPECT_EQ(both.mask("key-one1 key-two2 key-one1key-two2"), "*** *** ******");
  EXPECT_EQ(both.limit(), 20u);
  EXPECT_EQ(both.line("a key-two2 " + std::string(40, 'x')),
            "a *** " + std::string(14, 'x') + "...");
  EXPECT_EQ(Quoting("abc-1234").also_masking("1234-xyz").mask("[abc-1234-xyz]"), "[***]");
  EXPECT_EQ(Quoting().mask("a k3y-k3y-k3y"), "a k3y-k3y-k3y");
  EXPECT_EQ(Quoting().also_masking("k3y-k3y-k3y").line("a k3y-k3y-k3y"), "a ***");
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

constexpr char kHex[] = "0123456789abcdef";

// Whether any eight characters of `key` stand in a row in `shown` once its
// escapes and white space are taken out: what a reader would see of the
// key.
bool shows_part_of(std::string shown, const std::string& key) {
  static const std::regex kEscape(R"(\\(x[0-9a-f]{2}|u[0-9a-f]{4}|U[0-9a-f]{8}|.))");
  shown = std::regex_replace(shown, kEscape, "");
  std::erase_if(shown, [](char c) { return static_cast<unsigned char>(c) <= ' '; });
  for (std::size_t at = 0; at + 8 <= key.size(); ++at) {
    if (shown.find(key.substr(at, 8)) != std::string::npos) return true;
  }
  return false;
}

// Whatever a server puts inside the key, no form of the policy shows eight
// of its characters in a row: a text, the repr and the str of a value
// holding it, the message of an error body.
TEST(Quoting, NoSpellingOfTheKeyShowsInAnyForm) {
  const std::string key = "sk-table-KEY-0123456789";
  const Quoting quoting(key);
  const std::vector<std::string> splits = {"",
                                           " ",
                                           "\t",
                                           "\n",
                                           "\r",
                                           "\v",
                                           "\f",
                                           std::string(1, '\0'),
                                           "\x1b",
                                           "\x7f",
                                           "\xc2\x85",
                                           "\xe2\x80\x8b",
                                           "\xc2\xad",
                                           "\xef\xbb\xbf",
                                           "\xe2\x80\xae",
                                           "\xff",
                                           "\\u0000",
                                           "\\u200b",
                                           "\\u000b",
                                           "\\x0b",
                                           "\\u00ad",
                                           "\\\\u000b"};
  HttpResponseHead head;
  head.status = 409;
  for (const std::string& split : splits) {
    const std::string text = "Refused: sk-table-KEY-" + split + "0123456789 now";
    // Controls escaped as JSON requires, invalid bytes left as they came.
    std::string body = R"({"error":{"message":")";
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20) {
        body += c;
      } else {
        body.append("\\u00").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
      }
    }
    body += R"("}})";
    const struct {
      std::string form;
      std::string shown;
    } rows[] = {
        {"line", quoting.line(text)},
        {"quoted", quoting.quoted(text)},
        {"excerpt", quoting.excerpt(text)},
        {"mask", quoting.mask(text)},
        {"value repr", quoting.line(core::Value{{"detail", text}})},
        {"value in a list", quoting.line(core::Value::array({text}))},
        {"value str", quoting.line(core::py_str(core::Value::array({text})))},
        {"error body", HttpError::from_response(head, body, kBudget, "POST u", quoting).what()},
        {"plain error body",
         HttpError::from_response(head, text, kBudget, "POST u", quoting).what()},
        {"error body excerpt", quoting.excerpt(body)},
    };
    for (const auto& row : rows) {
      EXPECT_FALSE(shows_part_of(row.shown, key))
          << core::py_repr(split) << " " << row.form << ": " << row.shown;
      EXPECT_EQ(core::one_line(row.shown, row.shown.size()), core::one_line(row.shown)) << row.form;
    }
  }
}

// A value shorter than kMinKeyLength characters is no key: masking it would
// garble every text holding those letters.
TEST(Quoting, AValueTooShortToBeAKeyIsNotMasked) {
  const std::string text = "The interaction 'int-1' is in_progress";
  const struct {
    std::string value;
    bool masked;
  } rows[] = {{"in", false},
              {"in_prog", false},
              {"in\x0b_\xe2\x80\x8bprog", false},
              {"in_progr", true},
              {"n 'int-1' is", true}};
  for (const auto& row : rows) {
    EXPECT_EQ(is_maskable_key(row.value), row.masked) << row.value;
    EXPECT_EQ(Quoting(row.value).line(text) != text, row.masked) << row.value;
    EXPECT_EQ(Quoting().also_masking(row.value).line(text) != text, row.masked) << row.value;
  }
}

}  // namespace
}  // namespace zelq::net
