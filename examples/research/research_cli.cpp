#include "research_cli.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

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
                        "the service is asked to cancel the run, once it has named it (a run\n"
                        "              whose create request is still unanswered may go on)");
        break;
      case StopAtService::CLOSE_STREAM:
        stopping += row(provider, "the stream is closed; the service has no cancel call");
        break;
      case StopAtService::NONE:
        stopping += row(provider, "the run goes on at the service, which has no cancel call");
        break;
    }
  }
  return usage_synopsis(providers) +
         "\n"
         "Researches the question with a deep-research service, showing its thinking and\n"
         "activity on stderr as they arrive, then the answer and its citations on stdout.\n"
         "\n"
         "  --provider P        the service (default: openai)\n"
         "  --model M           the model, agent or processor (default: the service's own)\n"
         "  --base-url U        send to this server instead (a proxy, a test server), in the\n"
         "                      form of the service's own base URL below\n"
         "  --timeout SECONDS   give up after this long, stopping the research as Ctrl-C does\n"
         "                      (default: no limit, as a research run may take an hour)\n"
         "  --                  ends the options: what follows is the question, even when it\n"
         "                      starts with -\n"
         "\n"
         "The key comes from the environment:\n" +
         keys + (urls.empty() ? "" : "\nEach service's own base URL:\n" + urls) +
         "\n"
         "Ctrl-C stops the research and exits; a second Ctrl-C exits at once.\n"
         "When the research is stopped (by Ctrl-C or --timeout):\n" +
         stopping + "\n" +
         "Exit status: 0 answered; 1 failed, timed out or no answer; 2 bad usage, no key or\n"
         "a base URL the service's client refuses; 130 interrupted.\n";
}

std::string interrupt_notice(const ProviderKey& provider) {
  const std::string name(provider.name);
  switch (provider.stop) {
    case StopAtService::CANCEL:
      break;
    case StopAtService::CLOSE_STREAM:
      return "Stopping the research by closing its stream: " + name +
             " has no cancel call (Ctrl-C again quits at once).";
    case StopAtService::NONE:
      return "Stopping: " + name +
             " has no cancel call, so a run already started goes on at the service (Ctrl-C "
             "again quits at once).";
  }
  return "Stopping the research (Ctrl-C again quits at once).";
}

std::string stopped_text(const ProviderKey& provider, std::optional<double> timeout,
                         bool run_reported) {
  const std::string name(provider.name);
  const std::string late =
      timeout ? "The research did not finish within " + seconds_text(*timeout) + " seconds" : "";
  switch (provider.stop) {
    case StopAtService::CANCEL:
      if (run_reported) {
        return (timeout ? late + "; the" : "The research was stopped; the") +
               std::string(" service was asked to cancel the run.");
      }
      return (timeout ? late + ", and the service had not"
                      : "The research was stopped before the service had") +
             std::string(
                 " reported on its run, so it may not have been asked to cancel it: the "
                 "run may go on at the service.");
    case StopAtService::CLOSE_STREAM:
      return (timeout ? late + "; its" : "The research was stopped; its") +
             (" stream was closed (" + name + " has no cancel call).");
    case StopAtService::NONE:
      break;
  }
  return timeout ? late + "; stopped waiting for it, and its run goes on at the service."
                 : "Stopped waiting for the research; its run goes on at the service.";
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
