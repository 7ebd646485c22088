// The demo's command line and usage, kept apart from main() so that tests
// can drive them.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelq_demo {

// The --help text; also printed after a command line the demo refuses.
extern const std::string_view kUsage;

// The server the model is asked at without --base-url.
inline constexpr std::string_view kDefaultBaseUrl = "https://api.openai.com/v1";

// What the command line asks for. `api_key` is never printed.
struct DemoArgs {
  std::optional<std::string> data_file;  // DATA_FILE
  std::optional<std::string> data_dir;   // --data DIR
  std::string model;
  std::optional<std::string> base_url;
  std::string embedding_model;
  std::string api_key;
  double timeout = 120;
};

// A command line that cannot be used: the message says what is wrong (it
// may echo an argument: mask it before it is printed).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Seconds of `text`: a plain decimal number > 0 (no leading space, no
// hexadecimal, no unit). Throws UsageError naming the text otherwise.
double parse_timeout(const std::string& text);

// Reads the arguments after the program name; nullopt for --help (or -h).
// `key` is the value of OPENAI_API_KEY (nullptr when unset). Checks the key
// and the base URL as the model's client will, so that neither fails once
// the demo has started. Throws UsageError for an option without its value
// or with a blank one (--timeout excepted, which must be a number), an
// unknown option, a second data file, DATA_FILE with --data, an option that
// needs --model without it, a missing or unusable key, or a base URL the
// client would refuse or that holds credentials, a query or a fragment.
std::optional<DemoArgs> parse_args(const std::vector<std::string>& argv, const char* key);

}  // namespace zelq_demo
