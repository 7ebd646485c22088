#include "zelq/net/http_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zelq::net {
namespace {

// The memory budget of reading one body, as a client's default.
constexpr std::size_t kBudget = std::size_t{256} << 20;

using std::chrono::milliseconds;
using std::chrono::seconds;
using Sec = Seconds;

TEST(HttpError, MessagesAreOneMaskedLine) {
  EXPECT_EQ(server_message(R"({"error":{"message":"Rate limit reached","type":"x"}})", {}, kBudget),
            "Rate limit reached");
  EXPECT_EQ(server_message(R"({"error":"bad key"})", {}, kBudget), "bad key");
  EXPECT_EQ(server_message(R"({"message":"not found"})", {}, kBudget), "not found");
  EXPECT_EQ(server_message(R"({"error":{"code":5}})", {}, kBudget), R"({"error":{"code":5}})");
  EXPECT_EQ(server_message("", {}, kBudget), "");
  // A proxy's HTML page reads as its title, or else as one line of its
  // text, however many lines it had.
  std::string page = "<html>\n  <head><title>401</title></head>\r\n";
  for (int i = 0; i < 50; ++i) page += "  <p>line\t" + std::to_string(i) + "</p>\n";
  EXPECT_EQ(server_message(page + "</html>\n", {}, kBudget), "401");
  page.replace(page.find("401"), 3, " ");
  const std::string line = server_message(page + "</html>\n", {}, kBudget);
  EXPECT_EQ(line.substr(0, 21), "line 0 line 1 line 2 ");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.size(), kMaxQuotedText + 3);
  EXPECT_TRUE(line.ends_with("..."));
  EXPECT_EQ(server_message(R"({"error":{"message":"two\n\n  lines "}})", {}, kBudget), "two lines");
  // 299 ASCII bytes and then a two-byte character that would straddle the cut.
  std::string body(299, 'a');
  std::string expected = body;
  body.append("\xC3\xA9").append(100, 'b');
  EXPECT_EQ(server_message(body, {}, kBudget), expected + "...");
  // The key is masked before the cut, so no prefix of it survives.
  const std::string prefix(295, 'a');
  std::string quoting = prefix + "sk-secret-key";
  EXPECT_EQ(server_message(quoting, Quoting("sk-secret-key"), kBudget), prefix + "***");
  quoting.append(100, 'b');
  EXPECT_EQ(server_message(quoting, Quoting("sk-secret-key"), kBudget), prefix + "***bb...");
  EXPECT_EQ(server_message(R"({"error":{"message":"bad key sk-1-secret, sk-1-secret"}})",
                           Quoting("sk-1-secret"), kBudget),
            "bad key ***, ***");
  // Nested too deeply to be read as JSON: quoted as text.
  const std::string deep(600, '[');
  std::string quoted = deep.substr(0, 300);
  quoted.append("...");
  EXPECT_EQ(server_message(deep, {}, kBudget), quoted);
  EXPECT_EQ(mask_secret("Key * or *", "*"), "Key *** or ***");
  EXPECT_EQ(mask_secret("no secret", ""), "no secret");
  EXPECT_EQ(sentence("Refused"), "Refused.");
  for (const char* ended : {"Refused.", "Cut...", "Why?", "No!"}) EXPECT_EQ(sentence(ended), ended);
}

// An error body is read as JSON within the client's budget; one whose value
// would hold more is quoted as the text it is, as a body too deep to read.
TEST(HttpError, ErrorBodiesAreReadWithinTheClientsBudget) {
  std::string padded = R"({"error":{"message":"Slow down"},"pad":[0)";
  for (int i = 0; i < 5'000; ++i) padded += ",0";
  padded += "]}";
  const struct {
    std::string name;
    std::string body;
    std::size_t budget;
    std::string expected;
  } rows[] = {
      {"a message within the budget", padded, 1 << 20, "Slow down"},
      {"a message over the budget", padded, 1 << 14, padded.substr(0, 300) + "..."},
      {"a small body", R"({"message":"gone"})", 1 << 10, "gone"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(server_message(row.body, {}, row.budget), row.expected) << row.name;
  }
}

TEST(HttpError, RetryAfterSecondsAndDates) {
  // Sun, 06 Nov 1994 08:49:37 GMT is 784111777 seconds after the epoch.
  std::chrono::system_clock::time_point now{seconds(784111777 - 90)};
  EXPECT_EQ(parse_retry_after("120", now), seconds(120));
  EXPECT_EQ(parse_retry_after("1.5", now), Sec(1.5));
  EXPECT_EQ(retry_after_of({{"Retry-After", "9"}, {"retry-after-ms", "250"}}, now), Sec(0.25));
  EXPECT_EQ(retry_after_of({{"retry-after-ms", "x"}, {"retry-after", "2"}}, now), seconds(2));
  EXPECT_EQ(retry_after_of({{"retry-after", "soon"}}, now), std::nullopt);
  EXPECT_EQ(parse_retry_after(" 0 ", now), seconds(0));
  EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:49:37 GMT", now), seconds(90));
  EXPECT_EQ(parse_retry_after("Sunday, 06-Nov-94 08:49:37 GMT", now), seconds(90));
  EXPECT_EQ(parse_retry_after("Sun Nov  6 08:49:37 1994", now), seconds(90));
  EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:48:00 GMT", now), seconds(0));
  EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1994 08:49:37 GMT", now + milliseconds(250)),
            seconds(90));
  // Dates beyond what the clock's nanoseconds hold, long past or far ahead.
  EXPECT_EQ(parse_retry_after("Sun, 06 Nov 1335 08:49:37 GMT", now), seconds(0));
  EXPECT_EQ(parse_retry_after("Fri, 31 Dec 9999 23:59:59 GMT", now),
            seconds(253402300799 - 784111777 + 90));
  for (const char* bad : {"", "-5", "-0.5", "1e3", "soon", "Sun, 31 Feb 1994 08:49:37 GMT",
                          "Sun, 06 Nov 1994 25:49:37 GMT", "Sun, 06 Nov 1994 GMT"}) {
    EXPECT_EQ(parse_retry_after(bad, now), std::nullopt) << bad;
  }
}

TEST(HttpError, BuiltFromResponse) {
  HttpResponse response;
  response.status = 429;
  response.headers = {{"retry-after", "7"}, {"Authorization", "Bearer sk-secret"}};
  response.body = R"({"error":{"message":"Slow down"}})";
  try {
    throw_for_status(response, kBudget);
    FAIL() << "no error";
  } catch (const HttpError& e) {
    EXPECT_EQ(e.status(), 429);
    EXPECT_EQ(e.message(), "Slow down");
    EXPECT_EQ(e.retry_after(), seconds(7));
    EXPECT_STREQ(e.what(), "HTTP 429: Slow down");
    EXPECT_EQ(e.endpoint(), "");
  }
  response.status = 503;
  response.headers = {};
  response.body = "";
  auto error = HttpError::from_response(response, response.body, kBudget);
  EXPECT_STREQ(error.what(), "HTTP 503");
  response.body = "key sk-1-secret refused";
  EXPECT_STREQ(HttpError::from_response(response, response.body, kBudget, "GET http://h/x",
                                        Quoting("sk-1-secret"))
                   .what(),
               "HTTP 503 from GET http://h/x: key *** refused");
  EXPECT_EQ(error.retry_after(), std::nullopt);
  response.status = 204;
  EXPECT_NO_THROW(throw_for_status(response, kBudget));
}

// A body without a message field is quoted raw: the key must not show in
// any form a reader decodes, while nothing else changes.
TEST(HttpError, MasksTheKeyInItsJsonEscapedForms) {
  const std::string key = "sk-probe-123";
  EXPECT_EQ(server_message(R"({"detail":"key sk-\u0070robe-123 rejected"})", Quoting(key), kBudget),
            R"({"detail":"key *** rejected"})");
  EXPECT_EQ(
      server_message(
          R"({"detail":[)"
          R"("\u0073\u006B\u002D\u0070\u0072\u006f\u0062\u0065\u002d\u0031\u0032\u0033"]})",
          Quoting(key), kBudget),
      R"({"detail":["***"]})");
  // Escaped again inside an escaped string, literal next to escaped.
  EXPECT_EQ(mask_secret(R"("{\"k\":\"sk-\\u0070robe-123\"}" sk-probe-123sk-\u0070robe-123)", key),
            R"("{\"k\":\"***\"}" ******)");
  EXPECT_EQ(mask_secret(R"(path ab\/cd-key, ab/cd-key)", "ab/cd-key"), "path ***, ***");
  // Characters beyond ASCII, one escape for two or four bytes.
  EXPECT_EQ(mask_secret(R"(k=caf\u00e9-key x=\ud83d\ude00-key)", "café-key"),
            "k=*** x=\\ud83d\\ude00-key");
  EXPECT_EQ(mask_secret(R"(\ud83d\ude00-key)", "\xF0\x9F\x98\x80-key"), "***");
  // A key holding a backslash, literal and as JSON writes it.
  EXPECT_EQ(mask_secret(R"(a\b-key-1 "a\\b-key-1")", R"(a\b-key-1)"), R"(*** "***")");
  // Escapes that decode to nothing leave the text alone; what follows them
  // is still read.
  const std::string broken = R"(\x \u12 \uD800 \uDC00x \uD83D\u0073k-probe-123 \\)";
  EXPECT_EQ(mask_secret(broken, "zzzzzz"), broken);
  EXPECT_EQ(mask_secret(broken, key), R"(\x \u12 \uD800 \uDC00x \uD83D*** \\)");
  // Occurrences that overlap are one mask; separate ones stay separate.
  EXPECT_EQ(mask_secret("abab-abab-ab", "abab-ab"), "***");
  EXPECT_EQ(mask_secret("keykey", "key"), "******");
  EXPECT_EQ(mask_secret(R"(\\\\\\\\\\\\\\\\\\\\\\u0073k-probe-123)", key).find("probe"),
            std::string::npos);
}

// A key that a page wraps (a line break, a tab, a run of spaces inside it)
// reads back once the text is put on one line: it is masked all the same,
// with the white space inside it. Only the white space around the key stays.
TEST(HttpError, AKeyBrokenByWhiteSpaceNeverShows) {
  const std::string key = "sk-probe-KEY-0123456789";
  const struct {
    std::string body;
    std::string message;
  } cases[] = {
      {"Invalid key sk-probe-KEY-\n0123456789 given", "Invalid key *** given"},
      {"Invalid key sk-probe-KEY-\r\n0123456789\r\n", "Invalid key ***"},
      {"Invalid key\n  sk-probe-\tKEY-01234\n\n  56789.", "Invalid key ***."},
      {"s k - p r o b e - K E Y - 0 1 2 3 4 5 6 7 8 9", "***"},
      {R"({"detail":"sk-probe-KEY-\n0123456789"})", R"({"detail":"***"})"},
      {"<html><body><p>key sk-probe-KEY-\n0123456789</p></body></html>", "key ***"},
      // Not the key: a piece of it stays as it is.
      {"sk-probe-KEY-\n012345678", "sk-probe-KEY- 012345678"},
  };
  HttpResponseHead head;
  head.status = 401;
  head.headers = {{"Content-Type", "text/plain"}};
  for (const auto& c : cases) {
    EXPECT_EQ(
        HttpError::from_response(head, c.body, kBudget, "GET http://h/x", Quoting(key)).message(),
        c.message)
        << c.body;
  }
  EXPECT_EQ(mask_secret("a sk-probe-KEY-\n0123456789\nb", key), "a ***\nb");
  // White space never counts, in the key either: a key that holds some is
  // masked wherever its other bytes stand in order.
  EXPECT_EQ(mask_secret("the key a b, ab", "a b"), "the key ***, ***");
}

// An HTML page is quoted by its title, or by its text without markup, and
// what it quotes is masked too.
TEST(HttpError, HtmlPagesAreQuotedByTheirTitle) {
  const std::string nginx =
      "<html>\r\n<head><title>401 Authorization Required</title></head>\r\n<body>\r\n"
      "<center><h1>401 Authorization Required</h1></center>\r\n<hr><center>nginx</center>\r\n"
      "</body>\r\n</html>\r\n";
  EXPECT_EQ(server_message(nginx, {}, kBudget), "401 Authorization Required");
  EXPECT_EQ(server_message("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- proxy -->\n"
                           "<!DOCTYPE html><HTML><Title lang=en>Denied &amp; logged:\n"
                           "sk-&#112;robe-1 &#x2014; bye</TITLE>",
                           Quoting("sk-probe-1"), kBudget),
            "Denied & logged: *** \xE2\x80\x94 bye");
  // No title: the text, without tags, comments, scripts or styles.
  EXPECT_EQ(server_message("<!doctype html>\n<head><title> </title><style>p{}</style>"
                           "<script>var key='sk-x';</script></head><body><!-- <b>x</b> -->"
                           "<p>Sign&nbsp;in</p>a < b &bogus; key sk-probe-1</body>",
                           Quoting("sk-probe-1"), kBudget),
            "Sign in a < b &bogus; key ***");
  // Markup that is not an HTML page is quoted as it is, JSON first.
  EXPECT_EQ(server_message("<Error><Code>AccessDenied</Code></Error>", {}, kBudget),
            "<Error><Code>AccessDenied</Code></Error>");
  HttpResponseHead head;
  head.status = 401;
  head.headers = {{"Content-Type", "Text/HTML; charset=utf-8"}};
  EXPECT_STREQ(HttpError::from_response(head, "<h1>Unauthorized</h1>\n<p>key sk-1-secret</p>",
                                        kBudget, "GET u", Quoting("sk-1-secret"))
                   .what(),
               "HTTP 401 from GET u: Unauthorized key ***");
  EXPECT_STREQ(HttpError::from_response(head, R"({"error":"<b>x</b>"})", kBudget).what(),
               "HTTP 401: <b>x</b>");
  head.headers = {};
  EXPECT_STREQ(HttpError::from_response(head, "<h1>Unauthorized</h1>", kBudget).what(),
               "HTTP 401: <h1>Unauthorized</h1>");
}

}  // namespace
}  // namespace zelq::net
