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
    if (arg == "--help" || arg == "-h") return Arguments{.help = true};
  }
  Arguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (takes_value(arg) && i + 1 >= args.size()) throw UsageError(arg + " needs a value.");
    if (arg == "--provider") {
      parsed.provider = args[++i];
    } else if (arg == "--model") {
      parsed.model = args[++i];
    } else if (arg == "--base-url") {
      parsed.base_url = args[++i];
    } else if (arg == "--timeout") {
      parsed.timeout = parse_timeout(args[++i]);
    } else if (arg.starts_with("--")) {
      throw UsageError("Unknown option " + arg + ".");
    } else if (!parsed.question.empty()) {
      throw UsageError("Only one question, please; got a second one: " + core::py_repr(arg) + ".");
    } else {
      parsed.question = arg;
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
  std::string keys;
  for (const ProviderKey& provider : providers) {
    std::string line = "  " + std::string(provider.name);
    line.resize(std::max<std::size_t>(line.size() + 1, 14), ' ');
    for (std::size_t i = 0; i < provider.key_variables.size(); ++i) {
      line += (i ? ", else " : "") + std::string(provider.key_variables[i]);
    }
    keys += line + "\n";
  }
  return usage_synopsis(providers) +
         "\n"
         "Researches the question with a deep-research service, showing its thinking and\n"
         "activity as they arrive, then the answer and its citations.\n"
         "\n"
         "  --provider P        the service (default: openai)\n"
         "  --model M           the model, agent or processor (default: the service's own)\n"
         "  --base-url U        send to this server instead (a proxy, a test server)\n"
         "  --timeout SECONDS   give up after this long and cancel the run at the service\n"
         "                      (default: no limit, as a research run may take an hour)\n"
         "\n"
         "The key comes from the environment:\n" +
         keys +
         "\n"
         "Ctrl-C cancels the run at the service and exits; a second Ctrl-C exits at once.\n"
         "Exit status: 0 answered; 1 failed, timed out or no answer; 2 bad usage or no key;\n"
         "130 interrupted.\n";
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
  if (!answer_streamed) out << "\n" << text << "\n";
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

}  // namespace zelq::examples::research
