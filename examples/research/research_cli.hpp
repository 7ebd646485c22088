// The research example's command line and its closing report, kept apart
// from main() so that tests can drive them.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/run_ledger.hpp"
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
  CANCEL,        // the researcher asks the service to cancel the run
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

// The line printed when --timeout has passed: the research is being
// stopped as by Ctrl-C, and a Ctrl-C now quits at once.
std::string timeout_notice(const ProviderKey& provider);

// The last line of a call stopped by Ctrl-C (`timeout` none) or by the end
// of --timeout. At a service with a cancel call it says what the library
// reported of the call's run (`run`, from the failure the call ended with):
// no run created, a run never named, a run cancelled, a cancel that failed,
// and so on; no report (`run` null) means the stop came while no run of the
// call was going on (before it began or between attempts). At Perplexity, the
// stream was closed; at a service without a cancel call, the run goes on.
std::string stopped_text(const ProviderKey& provider, std::optional<double> timeout,
                         const core::RunReport* run);

// The last line of a call that failed (not stopped) while its run may go on
// at the service (core::may_go_on(run.fate())): why, and that it may.
std::string left_going_text(const core::RunReport& run);

// Why a call was stopped before it ended by itself.
enum class Stop { NONE, INTERRUPTED, TIMED_OUT };

// The last lines of a call that ended with `failure` (null: with its
// output) after `stop`: stopped_text() for a stopped call that did not end
// with its output (an interrupted one in any case); "The research failed:
// <what>", then left_going_text() when its run may go on, for one that
// failed by itself; "" for one that ended with its output. What became of
// the run is read from the failure (core::run_report_of), never from
// the events shown.
std::string ending_text(const ProviderKey& provider, Stop stop, std::optional<double> timeout,
                        const std::exception_ptr& failure);

// The value of the first of `variables` that is set and not empty, read
// with `getenv`; nullopt when none is.
std::optional<std::string> find_key(const std::vector<std::string_view>& variables,
                                    const std::function<const char*(const char*)>& getenv);

// "Set A (or B) to research with <name>."
std::string missing_key_text(const ProviderKey& provider);

// Seconds as the messages write them: "5", "0.25".
std::string seconds_text(double seconds);

// A length of time in words: "1 second", "0.25 seconds".
std::string seconds_phrase(double seconds);

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
