// The research example's command line and its closing report, kept apart
// from main() so that tests can drive them.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/inference/lm_output.hpp"

namespace zelq::examples::research {

// Exit statuses of the example.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // the research failed, timed out or gave no answer
inline constexpr int kExitUsage = 2;   // bad arguments or no key
inline constexpr int kExitInterrupted = 130;

// A command line the example cannot run; what() names the problem.
class UsageError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct Arguments {
  bool help = false;
  std::string provider = "openai";
  std::string model{};              // empty: the researcher's default
  std::string base_url{};           // empty: the service's own
  std::optional<double> timeout{};  // seconds; none: no limit
  std::string question{};
};

// What stopping a call does at a service.
enum class StopAtService {
  CANCEL,        // the researcher asks the service to cancel the run it named
  CLOSE_STREAM,  // no cancel call: the call's stream is closed
  NONE,          // no cancel call: a run already started goes on there
};

// A provider as the command line knows it: its name, the environment
// variables its key is read from (in order), its own base URL (the form
// --base-url takes) and what stopping a call does at the service.
struct ProviderKey {
  std::string_view name;
  std::vector<std::string_view> key_variables;
  std::string_view base_url = {};
  StopAtService stop = StopAtService::CANCEL;
};

// Parses the arguments after the program name. "--help" (or "-h") anywhere
// gives {help = true} and nothing else is checked. Throws UsageError for an
// option without its value, an unknown option, a second question, a bad
// --timeout (see parse_timeout), or no question at all.
Arguments parse_arguments(const std::vector<std::string>& args);

// Seconds of `text`: a finite number > 0. Throws UsageError naming the text
// otherwise.
double parse_timeout(std::string_view text);

// The two usage lines: "usage: scripts/demo.sh research [--provider a|b]"
// and the options after it.
std::string usage_synopsis(const std::vector<ProviderKey>& providers);

// The --help text: the synopsis, then what each option does, where the keys
// come from, each service's base URL, what Ctrl-C does at each service and
// the exit statuses.
std::string usage_text(const std::vector<ProviderKey>& providers);

// The line printed at the first Ctrl-C: the research is being stopped, and
// at a service without a cancel call, what becomes of its run.
std::string interrupt_notice(const ProviderKey& provider);

// The last line of a call stopped by Ctrl-C (`timeout` none) or by the end
// of --timeout, saying only what the example knows. At a service with a
// cancel call: once the service has reported on the run (`run_reported`),
// the researcher has its id and asks the service to cancel it (the
// library's own warning tells when the service refuses); before that, the
// create request may still have been unanswered, and then no cancel is
// sent and the run may go on. At Perplexity, the stream was closed; at a
// service without a cancel call, the run goes on.
std::string stopped_text(const ProviderKey& provider, std::optional<double> timeout,
                         bool run_reported);

// The value of the first of `variables` that is set and not empty, read
// with `getenv`; nullopt when none is.
std::optional<std::string> find_key(const std::vector<std::string_view>& variables,
                                    const std::function<const char*(const char*)>& getenv);

// "Set A (or B) to research with <name>."
std::string missing_key_text(const ProviderKey& provider);

// Seconds as the messages write them: "5", "0.25".
std::string seconds_text(double seconds);

// Prints the end of a finished research: the answer (unless it was
// streamed already; then after a blank line on `err`, where the progress
// went) and the citations on `out`, and returns kExitDone; an answer
// without text is reported on `err` instead, with kExitFailed.
int report_output(const inference::LMOutput& output, bool answer_streamed, std::ostream& out,
                  std::ostream& err);

// `status` once `out` has taken everything written to it. When it could not
// (a full disk), says so on `err` and turns kExitDone into kExitFailed: the
// answer is lost, and the exit status must not say otherwise.
int output_status(int status, std::ostream& out, std::ostream& err);

}  // namespace zelq::examples::research
