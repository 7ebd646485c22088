// The demo's command line in process: what it takes, and each refusal by
// its message.
#include "demo_cli.hpp"

#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zelq_demo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using Args = std::vector<std::string>;

// The UsageError message parse_args gives, or "" when it takes the line.
std::string refusal(const Args& args, const char* key = "sk-test") {
  try {
    parse_args(args, key);
  } catch (const UsageError& error) {
    return error.what();
  }
  return "";
}

TEST(DemoArguments, TakesEachOptionAndHelpAnywhere) {
  const std::optional<DemoArgs> none = parse_args({}, nullptr);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->data_file, std::nullopt);
  EXPECT_EQ(none->model, "");
  EXPECT_EQ(none->api_key, "");
  EXPECT_EQ(none->timeout, 120);

  const std::optional<DemoArgs> all =
      parse_args({"--model", "m", "--base-url", "http://127.0.0.1:9/v1", "--timeout", "2.5",
                  "--embedding-model", "e", "sample.json"},
                 "sk-test");
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->model, "m");
  EXPECT_EQ(all->base_url, "http://127.0.0.1:9/v1");
  EXPECT_EQ(all->timeout, 2.5);
  EXPECT_EQ(all->embedding_model, "e");
  EXPECT_EQ(all->data_file, "sample.json");
  EXPECT_EQ(all->api_key, "sk-test");

  const std::optional<DemoArgs> dir = parse_args({"--data", "some/dir"}, nullptr);
  ASSERT_TRUE(dir.has_value());
  EXPECT_EQ(dir->data_dir, "some/dir");

  // --help ends the reading: what follows it is not looked at.
  for (const Args& args :
       {Args{"--help"}, Args{"-h"}, Args{"--model", "m", "--help"}, Args{"-h", "--unknown"}}) {
    EXPECT_FALSE(parse_args(args, nullptr).has_value()) << testing::PrintToString(args);
  }
}

TEST(DemoArguments, RefusesWhatItCannotUseNamingTheProblem) {
  struct Case {
    Args args;
    const char* key;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--model"}, "sk-test", "--model needs a value"},
      {{"--model", " "}, "sk-test", "--model needs a value, got ' '"},
      {{"--model", "m", "--embedding-model", ""},
       "sk-test",
       "--embedding-model needs a value, got ''"},
      {{"--data", "\n"}, "sk-test", "--data needs a value, got '\\n'"},
      {{"--model", "m", "--base-url", " "}, "sk-test", "--base-url needs a value, got ' '"},
      {{"--model", "m", "--timeout", " "},
       "sk-test",
       "--timeout needs a positive number of seconds, got ' '"},
      {{"--verbose"}, "sk-test", "unknown argument '--verbose'"},
      {{"a.json", "b.json"}, "sk-test", "one data file is taken, got a second one: 'b.json'"},
      {{"a.json", "--data", "d"}, "sk-test", "give DATA_FILE or --data DIR, not both"},
      {{"--base-url", "http://h/v1"}, "sk-test", "--base-url needs --model"},
      {{"--timeout", "5"}, "sk-test", "--timeout needs --model"},
      {{"--embedding-model", "e"}, "sk-test", "--embedding-model needs --model"},
      {{"--model", "m"}, nullptr, "--model needs an API key in OPENAI_API_KEY"},
      {{"--model", "m"}, "", "OPENAI_API_KEY is empty"},
      {{"--model", "m"}, "sk test", "OPENAI_API_KEY holds white space or control characters"},
      {{"--model", "m", "--base-url", "host/v1"},
       "sk-test",
       "--base-url: invalid URL 'host/v1': expected an absolute URL starting with http:// or "
       "https://"},
      {{"--model", "m", "--base-url", "ftp://host/v1"},
       "sk-test",
       "--base-url: invalid URL 'ftp://host/v1': unsupported scheme 'ftp' (expected http or "
       "https)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refusal(c.args, c.key), c.message) << testing::PrintToString(c.args);
  }
  // Credentials, a query or a fragment in the URL are refused without
  // showing them.
  for (const std::string url :
       {"http://user:SECRET@h/v1", "http://h/v1?token=SECRET", "http://h/v1#SECRET"}) {
    const std::string message = refusal({"--model", "m", "--base-url", url});
    EXPECT_THAT(message, HasSubstr("--base-url '")) << url;
    EXPECT_THAT(message, Not(HasSubstr("SECRET"))) << url;
  }
}

TEST(DemoArguments, ATimeoutIsAPlainPositiveNumberOfSeconds) {
  EXPECT_EQ(parse_timeout("0.25"), 0.25);
  EXPECT_EQ(parse_timeout("30"), 30);
  for (const std::string bad : {"", "0", "-1", "0x10", " 5", "5s", "inf", "nan", "1e400"}) {
    EXPECT_EQ(refusal({"--model", "m", "--timeout", bad}),
              "--timeout needs a positive number of seconds, got '" + bad + "'")
        << bad;
  }
}

}  // namespace
}  // namespace zelq_demo
