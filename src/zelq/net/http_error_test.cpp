#include "zelq/net/http_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zelq::net {
namespace {

using std::chrono::seconds;
using std::chrono::milliseconds;
using Sec = Seconds;

TEST(HttpError, MessagesAreOneMaskedLine) {
  EXPECT_EQ(server_message(R"({"error":{"message":"Rate limit reached","type":"x"}})"),
            "Rate limit reached");
  EXPECT_EQ(server_message(R"({"error":"bad key"})"), "bad key");
  EXPECT_EQ(server_message(R"({"message":"not found"})"), "not found");
  EXPECT_EQ(server_message(R"({"error":{"code":5}})"), R"({"error":{"code":5}})");
  EXPECT_EQ(server_message(""), "");
  // A proxy's HTML page reads as one line, however many it had.
  std::string page = "<html>\n  <head><title>401</title></head>\r\n";
  for (int i = 0; i < 35; ++i) page += "  <p>line\t" + std::to_string(i) + "</p>\n";
  const std::string line = server_message(page + "</html>\n");
  EXPECT_EQ(line.substr(0, 61), "<html> <head><title>401</title></head> <p>line 0</p> <p>line ");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.size(), kMaxQuotedText + 3);
  EXPECT_TRUE(line.ends_with("..."));
  EXPECT_EQ(server_message(R"({"error":{"message":"two\n\n  lines "}})"), "two lines");
  // 299 ASCII bytes and then a two-byte character that would straddle the cut.
  std::string body(299, 'a');
  std::string expected = body;
  body.append("\xC3\xA9").append(100, 'b');
  EXPECT_EQ(server_message(body), expected + "...");
  // The key is masked before the cut, so no prefix of it survives.
  const std::string prefix(295, 'a');
  std::string quoting = prefix + "sk-secret-key";
  EXPECT_EQ(server_message(quoting, "sk-secret-key"), prefix + "***");
  quoting.append(100, 'b');
  EXPECT_EQ(server_message(quoting, "sk-secret-key"), prefix + "***bb...");
  EXPECT_EQ(server_message(R"({"error":{"message":"bad key sk-1, sk-1"}})", "sk-1"),
            "bad key ***, ***");
  // Nested too deeply to be read as JSON: quoted as text.
  const std::string deep(600, '[');
  std::string quoted = deep.substr(0, 300);
  quoted.append("...");
  EXPECT_EQ(server_message(deep), quoted);
  EXPECT_EQ(mask_secret("Key * or *", "*"), "Key *** or ***");
  EXPECT_EQ(mask_secret("no secret", ""), "no secret");
  EXPECT_EQ(sentence("Refused"), "Refused.");
  for (const char* ended : {"Refused.", "Cut...", "Why?", "No!"}) EXPECT_EQ(sentence(ended), ended);
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
    throw_for_status(response);
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
  auto error = HttpError::from_response(response, response.body);
  EXPECT_STREQ(error.what(), "HTTP 503");
  response.body = "key sk-1 refused";
  EXPECT_STREQ(HttpError::from_response(response, response.body, "GET http://h/x", "sk-1").what(),
               "HTTP 503 from GET http://h/x: key *** refused");
  EXPECT_EQ(error.retry_after(), std::nullopt);
  response.status = 204;
  EXPECT_NO_THROW(throw_for_status(response));
}

}  // namespace
}  // namespace zelq::net
