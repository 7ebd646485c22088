#include "demo_cli.hpp"

#include <charconv>
#include <cmath>
#include <exception>
#include <system_error>

#include "demo_masking.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service.hpp"

namespace zelq_demo {

const std::string_view kUsage =
    "usage: scripts/demo.sh [DATA_FILE | --data DIR] [--model NAME [--base-url URL]\n"
    "                        [--timeout SECONDS] [--embedding-model NAME]]\n"
    "\n"
    "Repacks the sample chunks of DATA_FILE (default examples/data/chunks.json) every way\n"
    "the repacker allows, then answers the sample query: with the static-list strategy,\n"
    "or, given --model, with that model through an OpenAI-compatible server.\n"
    "\n"
    "  --data DIR         read the sample from DIR/chunks.json (default: examples/data,\n"
    "                     looked for in the current folder, above the program's folder\n"
    "                     and in the source tree the program was built from)\n"
    "  --model NAME       answer with this model (the key comes from OPENAI_API_KEY)\n"
    "  --base-url URL     the server's API root (default https://api.openai.com/v1); no\n"
    "                     user information, query or fragment\n"
    "  --timeout SECONDS  the longest wait for the model's whole answer, and for the\n"
    "                     embeddings (default 120)\n"
    "  --embedding-model NAME\n"
    "                     first keep the chunks relevant to the query, by the similarity\n"
    "                     of this model's embeddings\n"
    "  --help             print this text\n";

double parse_timeout(const std::string& text) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, seconds);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(seconds) ||
      seconds <= 0) {
    throw UsageError("--timeout needs a positive number of seconds, got '" + text + "'");
  }
  return seconds;
}

std::optional<DemoArgs> parse_args(const std::vector<std::string>& argv, const char* key) {
  const std::size_t argc = argv.size();
  DemoArgs args;
  bool timeout_given = false;
  for (std::size_t i = 0; i < argc; ++i) {
    const std::string& arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::nullopt;
    const bool takes_value = arg == "--model" || arg == "--base-url" || arg == "--timeout" ||
                             arg == "--embedding-model" || arg == "--data";
    if (takes_value && i + 1 >= argc) throw UsageError(arg + " needs a value");
    // A blank value (an unset variable in a script) must not pass for a
    // name, nor for no value at all.
    if (takes_value && arg != "--timeout" && zelq::core::py_is_blank(argv[i + 1])) {
      throw UsageError(arg + " needs a value, got " + zelq::core::py_repr(argv[i + 1]));
    }
    if (arg == "--model") {
      args.model = argv[++i];
    } else if (arg == "--base-url") {
      args.base_url = argv[++i];
    } else if (arg == "--timeout") {
      args.timeout = parse_timeout(argv[++i]);
      timeout_given = true;
    } else if (arg == "--embedding-model") {
      args.embedding_model = argv[++i];
    } else if (arg == "--data") {
      args.data_dir = argv[++i];
    } else if (arg.starts_with("-")) {
      throw UsageError("unknown argument '" + arg + "'");
    } else if (args.data_file) {
      throw UsageError("one data file is taken, got a second one: '" + arg + "'");
    } else {
      args.data_file = arg;
    }
  }
  if (args.data_file && args.data_dir) throw UsageError("give DATA_FILE or --data DIR, not both");
  if (args.base_url && args.model.empty()) throw UsageError("--base-url needs --model");
  // Without a model nothing waits, so a time limit would be silently ignored.
  if (timeout_given && args.model.empty()) throw UsageError("--timeout needs --model");
  if (!args.embedding_model.empty() && args.model.empty()) {
    throw UsageError("--embedding-model needs --model");
  }
  if (!args.model.empty()) {
    if (key == nullptr) throw UsageError("--model needs an API key in OPENAI_API_KEY");
    if (*key == '\0') throw UsageError("OPENAI_API_KEY is empty");
    try {
      zelq::net::check_api_key(key, "OpenAI");
    } catch (const std::exception&) {
      throw UsageError("OPENAI_API_KEY holds white space or control characters");
    }
    args.api_key = key;
  }
  if (args.base_url) {
    // Credentials in the URL are refused here, in the demo's own words: the
    // client's message would quote the URL, and a malformed one in part.
    const std::string& url = *args.base_url;
    const std::string shown = "--base-url '" + zelq_demo::mask_url(url) + "'";
    if (url.find('@') != std::string::npos) {
      throw UsageError(shown +
                       " holds user information; the key goes in OPENAI_API_KEY, not in the URL");
    }
    if (url.find_first_of("?#") != std::string::npos) {
      throw UsageError(shown + " has a query or fragment; a base URL takes neither");
    }
    try {
      zelq::net::checked_base_url(url);
    } catch (const std::exception& error) {
      throw UsageError(std::string("--base-url: ") + error.what());
    }
  }
  return args;
}

}  // namespace zelq_demo
