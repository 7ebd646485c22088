#include "research_cli.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "zelq/core/clean_up.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::examples::research {

namespace {

bool takes_value(const std::string& option) {
  return option == "--provider" || option == "--model" || option == "--base-url" ||
         option == "--timeout";
}

// The text of `key` in `object`: empty when it is missing or null (services
// send null titles), otherwise the value as Python prints it.
std::string field_text(const core::Value& object, std::string_view key) {
  if (!object.is_object()) return {};
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? std::string() : core::py_str(*it);
}

// The line that says the research is being stopped (`when`: "" or " at its
// time limit"), ending with `quitting`.
std::string stop_notice(const ProviderKey& provider, std::string_view when,
                        std::string_view quitting) {
  const std::string name(provider.name);
  switch (provider.stop) {
    case StopAtService::CANCEL:
      break;
    case StopAtService::CLOSE_STREAM:
      return "Stopping the research" + std::string(when) + " by closing its stream: " + name +
             " has no cancel call " + std::string(quitting);
    case StopAtService::NONE:
      return "Stopping" + std::string(when) + ": " + name +
             " has no cancel call, so a run already started goes on at the service " +
             std::string(quitting);
  }
  return "Stopping the research" + std::string(when) + " " + std::string(quitting);
}

// What the call left at a service with a cancel call, as the library
// reported it; the end of a sentence.
std::string run_clause(const core::RunReport* run) {
  // A stop outside an attempt: the call sends no create while a run the
  // service accepted may still be going on.
  if (run == nullptr) return "no run of it was going on at the service.";
  const std::string its = run->shown_id().empty() ? "its run" : "its run " + run->shown_id();
  switch (run->fate()) {
    case core::RunFate::not_created:
      return "no run was created at the service.";
    case core::RunFate::not_named:
      return "the service accepted the create request but never named its run, so the run "
             "could not be cancelled and may go on at the service.";
    case core::RunFate::going:
      return its + " was not seen to be cancelled and may go on at the service.";
    case core::RunFate::ended:
      return its + " had already ended at the service.";
    case core::RunFate::cancelled:
      return "the service cancelled " + its + ".";
    case core::RunFate::cancel_failed:
      return "the request to cancel " + its + " failed, so the run may go on at the service.";
  }
  return "its run may go on at the service.";
}

}  // namespace

Arguments parse_arguments(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") return Arguments{.help = true};
  }
  Arguments parsed;
  auto take_question = [&parsed](const std::string& arg) {
    if (!parsed.question.empty()) {
      throw UsageError("Only one question, please; got a second one: " + core::py_repr(arg) + ".");
    }
    parsed.question = arg;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      // What follows is the question, even when it starts with "-".
      while (++i < args.size()) take_question(args[i]);
      break;
    }
    if (takes_value(arg)) {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value.");
      // A blank value (an unset variable in a script) must not mean the
      // default: for --base-url, that would send the key to the real service.
      if (arg != "--timeout" && core::py_is_blank(args[i + 1])) {
        throw UsageError(arg + " needs a value, got " + core::py_repr(args[i + 1]) + ".");
      }
    }
    if (arg == "--provider") {
      parsed.provider = args[++i];
    } else if (arg == "--model") {
      parsed.model = args[++i];
    } else if (arg == "--base-url") {
      parsed.base_url = args[++i];
    } else if (arg == "--timeout") {
      parsed.timeout = parse_timeout(args[++i]);
    } else if (arg.size() > 1 && arg.front() == '-') {
      throw UsageError("Unknown option " + arg + ".");
    } else {
      take_question(arg);
    }
  }
  if (core::py_is_blank(parsed.question)) throw UsageError("No question given.");
  return parsed;
}

double parse_timeout(std::string_view text) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, seconds);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(seconds) ||
      seconds <= 0) {
    throw UsageError("--timeout needs a number of seconds greater than 0, got " +
                     core::py_repr(text) + ".");
  }
  return seconds;
}

std::string usage_synopsis(const std::vector<ProviderKey>& providers) {
  std::string names;
  for (const ProviderKey& provider : providers) {
    names += (names.empty() ? "" : "|") + std::string(provider.name);
  }
  return "usage: scripts/demo.sh research [--provider " + names +
         "]\n"
         "         [--model M] [--base-url U] [--timeout SECONDS] \"question\"\n";
}

std::string usage_text(const std::vector<ProviderKey>& providers) {
  // "  name        " then the text, one line for each provider.
  auto row = [](const ProviderKey& provider, const std::string& text) {
    std::string line = "  " + std::string(provider.name);
    line.resize(std::max<std::size_t>(line.size() + 1, 14), ' ');
    return line + text + "\n";
  };
  std::string keys;
  std::string urls;
  std::string stopping;
  for (const ProviderKey& provider : providers) {
    std::string variables;
    for (std::size_t i = 0; i < provider.key_variables.size(); ++i) {
      variables += (i ? ", else " : "") + std::string(provider.key_variables[i]);
    }
    keys += row(provider, variables);
    if (!provider.base_url.empty()) {
      const std::string_view url = provider.base_url;
      const std::size_t host = url.find("://");
      const bool bare =
          host != std::string_view::npos && url.find('/', host + 3) == std::string_view::npos;
      urls += row(provider, std::string(url) + (bare ? "  (the bare host)" : ""));
    }
    switch (provider.stop) {
      case StopAtService::CANCEL:
        stopping += row(provider,
                        "the service is asked to cancel the run; a create request still\n"
                        "              unanswered is let finish first, so that its run is\n"
                        "              cancelled too");
        break;
      case StopAtService::CLOSE_STREAM:
        stopping += row(provider, "the stream is closed; the service has no cancel call");
        break;
      case StopAtService::NONE:
        stopping += row(provider, "the run goes on at the service, which has no cancel call");
        break;
    }
  }
  const std::string clean_up = std::to_string(core::CLEAN_UP_TIME_LIMIT.count());
  return usage_synopsis(providers) +
         "\n"
         "Researches the question with a deep-research service, showing its thinking and\n"
         "activity on stderr as they arrive, then the answer and its citations on stdout.\n"
         "\n"
         "  --provider P        the service (default: openai)\n"
         "  --model M           the model, agent or processor (default: the service's own)\n"
         "  --base-url U        send to this server instead (a proxy, a test server), in the\n"
         "                      form of the service's own base URL below\n"
         "  --timeout SECONDS   stop the research, as Ctrl-C does, this long after it began;\n"
         "                      every attempt and the pause before each retry count, and\n"
         "                      cancelling the run may take longer (see below)\n"
         "                      (default: no limit, as a research run may take an hour)\n"
         "  --                  ends the options: what follows is the question, even when it\n"
         "                      starts with -\n"
         "\n"
         "The key comes from the environment:\n" +
         keys + (urls.empty() ? "" : "\nEach service's own base URL:\n" + urls) +
         "\n"
         "Ctrl-C stops the research and exits; a second Ctrl-C exits at once, and so does\n"
         "a Ctrl-C after --timeout has passed.\n"
         "When the research is stopped (by Ctrl-C or --timeout):\n" +
         stopping + "Where the run is cancelled, stopping waits up to " + clean_up +
         " seconds for a create request\nstill unanswered, then up to " + clean_up +
         " seconds for the cancel request. The last line\nsays what became of the run.\n"
         "\n"
         "Exit status: 0 answered; 1 failed, timed out or no answer; 2 bad usage, no key or\n"
         "a base URL the service's client refuses; 130 interrupted.\n";
}

std::string interrupt_notice(const ProviderKey& provider) {
  return stop_notice(provider, "", "(Ctrl-C again quits at once).");
}

std::string timeout_notice(const ProviderKey& provider) {
  return stop_notice(provider, " at its time limit", "(Ctrl-C quits at once).");
}

std::string stopped_text(const ProviderKey& provider, std::optional<double> timeout,
                         const core::RunReport* run) {
  const std::string name(provider.name);
  const std::string late =
      timeout ? "The research did not finish within " + seconds_phrase(*timeout) : "";
  switch (provider.stop) {
    case StopAtService::CANCEL:
      return (timeout ? late : std::string("The research was stopped")) + "; " + run_clause(run);
    case StopAtService::CLOSE_STREAM:
      return (timeout ? late + "; its" : "The research was stopped; its") +
             (" stream was closed (" + name + " has no cancel call).");
    case StopAtService::NONE:
      break;
  }
  return timeout ? late + "; stopped waiting for it, and its run goes on at the service."
                 : "Stopped waiting for the research; its run goes on at the service.";
}

std::string left_going_text(const core::RunReport& run) {
  std::string text = run_clause(&run);
  text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
  return text;
}

std::string ending_text(const ProviderKey& provider, Stop stop, std::optional<double> timeout,
                        const std::exception_ptr& failure) {
  if (stop == Stop::INTERRUPTED || (failure && stop == Stop::TIMED_OUT)) {
    // A call that ended with its output left no run going.
    const core::RunReport ended(core::RunFate::ended, "");
    const core::RunReport* run = failure ? core::run_report_of(failure) : &ended;
    return stopped_text(provider, stop == Stop::TIMED_OUT ? timeout : std::nullopt, run) + "\n";
  }
  if (!failure) return "";
  std::string text = "\nThe research failed: " + core::describe_exception(failure) + "\n";
  const core::RunReport* run = core::run_report_of(failure);
  if (run != nullptr && core::may_go_on(run->fate())) text += left_going_text(*run) + "\n";
  return text;
}

std::optional<std::string> find_key(const std::vector<std::string_view>& variables,
                                    const std::function<const char*(const char*)>& getenv) {
  for (std::string_view variable : variables) {
    const char* value = getenv(std::string(variable).c_str());
    if (value != nullptr && *value != '\0') return std::string(value);
  }
  return std::nullopt;
}

std::string missing_key_text(const ProviderKey& provider) {
  std::string text = "Set ";
  for (std::size_t i = 0; i < provider.key_variables.size(); ++i) {
    if (i == 1) text += " (or ";
    if (i > 1) text += " or ";
    text += provider.key_variables[i];
  }
  if (provider.key_variables.size() > 1) text += ")";
  return text + " to research with " + std::string(provider.name) + ".";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

std::string seconds_phrase(double seconds) {
  const std::string number = seconds_text(seconds);
  return number + (number == "1" ? " second" : " seconds");
}

int report_output(const inference::LMOutput& output, bool answer_streamed, std::ostream& out,
                  std::ostream& err) {
  const std::string text = output.text();
  if (core::py_is_blank(text)) {
    err << "The research ended without an answer.\n";
    return kExitFailed;
  }
  if (!answer_streamed) {
    // The blank line that sets the answer apart goes with the progress.
    err << "\n" << std::flush;
    out << text << "\n";
  }
  out << "\nCitations:\n";
  if (output.citations().empty()) out << "  (none)\n";
  for (std::size_t i = 0; i < output.citations().size(); ++i) {
    const core::Value& metadata = output.citations()[i]->metadata;
    out << "  " << i + 1 << ". " << field_text(metadata, "title") << " <"
        << field_text(metadata, "url") << ">\n";
  }
  out.flush();
  return kExitDone;
}

int output_status(int status, std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return status;
  err << "Cannot write to standard output; what it was given is lost.\n";
  return status == kExitDone ? kExitFailed : status;
}

}  // namespace zelq::examples::research
