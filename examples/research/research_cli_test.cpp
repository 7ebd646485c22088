#include "research_cli.hpp"

#include <exception>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "research_printer.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::examples::research {
namespace {

using core::Value;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string usage_error(const std::vector<std::string>& args) {
  try {
    parse_arguments(args);
  } catch (const UsageError& error) {
    return error.what();
  }
  return "accepted";
}

TEST(ResearchArguments, ParsesOptionsAndNamesWhatIsWrong) {
  const Arguments args = parse_arguments(
      {"--provider", "google", "--timeout", "2.5", "--model", "m", "--base-url", "u", "Bees?"});
  EXPECT_FALSE(args.help);
  EXPECT_EQ(args.provider, "google");
  EXPECT_EQ(args.model, "m");
  EXPECT_EQ(args.base_url, "u");
  EXPECT_EQ(args.timeout, 2.5);
  EXPECT_EQ(args.question, "Bees?");
  EXPECT_EQ(parse_arguments({"Bees?"}).timeout, std::nullopt);
  // --help wins over everything else on the line, even mistakes.
  EXPECT_TRUE(parse_arguments({"--bogus", "--help"}).help);
  EXPECT_TRUE(parse_arguments({"-h"}).help);

  EXPECT_EQ(usage_error({"--timeout"}), "--timeout needs a value.");
  EXPECT_EQ(usage_error({"--verbose", "q"}), "Unknown option --verbose.");
  EXPECT_EQ(usage_error({"q", "-v"}), "Unknown option -v.");
  // A blank value would otherwise mean the default (the real service).
  EXPECT_EQ(usage_error({"--base-url", "", "q"}), "--base-url needs a value, got ''.");
  EXPECT_EQ(usage_error({"--model", " ", "q"}), "--model needs a value, got ' '.");
  EXPECT_EQ(usage_error({"--provider", "", "q"}), "--provider needs a value, got ''.");
  // After "--", a question may start with "-" or read like an option.
  EXPECT_EQ(parse_arguments({"--timeout", "1", "--", "-5 degrees?"}).question, "-5 degrees?");
  EXPECT_EQ(parse_arguments({"--", "--help"}).question, "--help");
  EXPECT_EQ(usage_error({"--", "a", "b"}), "Only one question, please; got a second one: 'b'.");
  EXPECT_EQ(usage_error({"--"}), "No question given.");
  EXPECT_EQ(usage_error({"one", "two"}), "Only one question, please; got a second one: 'two'.");
  EXPECT_EQ(usage_error({"--provider", "google"}), "No question given.");
  EXPECT_EQ(usage_error({" "}), "No question given.");
  for (const char* bad : {"", "abc", "0", "-1", "nan", "inf", "5s", "1e999"}) {
    EXPECT_EQ(usage_error({"--timeout", bad, "q"}),
              "--timeout needs a number of seconds greater than 0, got '" + std::string(bad) + "'.")
        << bad;
  }
  EXPECT_EQ(parse_timeout("0.05"), 0.05);
  EXPECT_EQ(seconds_text(0.05), "0.05");
  EXPECT_EQ(seconds_text(3600), "3600");
}

TEST(ResearchArguments, UsageAndKeysNameTheScriptAndEachVariable) {
  const std::vector<ProviderKey> providers = {{"openai", {"OPENAI_API_KEY"}},
                                              {"google", {"GEMINI_API_KEY", "GOOGLE_API_KEY"}}};
  const std::string usage = usage_text(providers);
  EXPECT_THAT(usage, StartsWith("usage: scripts/demo.sh research [--provider openai|google]\n"));
  EXPECT_THAT(usage, HasSubstr("[--timeout SECONDS]"));
  EXPECT_THAT(usage, HasSubstr("(default: no limit, as a research run may take an hour)"));
  EXPECT_THAT(usage, HasSubstr("  google      GEMINI_API_KEY, else GOOGLE_API_KEY\n"));
  EXPECT_THAT(usage, HasSubstr("a second Ctrl-C exits at once"));

  std::map<std::string, std::string> environment = {{"GEMINI_API_KEY", ""},
                                                    {"GOOGLE_API_KEY", "g-key"}};
  auto getenv = [&](const char* name) -> const char* {
    auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  };
  EXPECT_EQ(find_key(providers[1].key_variables, getenv), "g-key");
  environment["GEMINI_API_KEY"] = "gem-key";
  EXPECT_EQ(find_key(providers[1].key_variables, getenv), "gem-key");
  EXPECT_EQ(find_key(providers[0].key_variables, getenv), std::nullopt);
  EXPECT_EQ(missing_key_text(providers[0]), "Set OPENAI_API_KEY to research with openai.");
  EXPECT_EQ(missing_key_text(providers[1]),
            "Set GEMINI_API_KEY (or GOOGLE_API_KEY) to research with google.");
}

// --help tells each service's base URL and what stopping does there; the
// messages of a stopped call claim no cancel that the example cannot know
// was asked for, and none at a service without a cancel call.
TEST(ResearchArguments, UsageAndStopTextsSayWhatEachServiceDoes) {
  const std::vector<ProviderKey> providers = {
      {"openai", {"OPENAI_API_KEY"}, "https://api.openai.com/v1", StopAtService::CANCEL},
      {"parallel", {"PARALLEL_API_KEY"}, "https://api.parallel.ai", StopAtService::NONE},
      {"perplexity", {"PERPLEXITY_API_KEY"}, "", StopAtService::CLOSE_STREAM}};
  const std::string usage = usage_text(providers);
  EXPECT_THAT(usage, HasSubstr("Each service's own base URL:\n"
                               "  openai      https://api.openai.com/v1\n"
                               "  parallel    https://api.parallel.ai  (the bare host)\n"));
  EXPECT_THAT(usage, HasSubstr("When the research is stopped (by Ctrl-C or --timeout):\n"
                               "  openai      the service is asked to cancel the run; a create "
                               "request still\n"
                               "              unanswered is let finish first, so that its run "
                               "is\n"
                               "              cancelled too\n"
                               "  parallel    the run goes on at the service, which has no "
                               "cancel call\n"
                               "  perplexity  the stream is closed; the service has no cancel "
                               "call\n"
                               "Where the run is cancelled, stopping waits up to 30 seconds "
                               "for a create request\nstill unanswered, then up to 30 seconds "
                               "for the cancel request. The last line\nsays what became of the "
                               "run.\n"));
  EXPECT_THAT(usage, HasSubstr("  --timeout SECONDS   stop the research, as Ctrl-C does, this "
                               "long after it began;\n"));
  EXPECT_THAT(usage, HasSubstr("a Ctrl-C after --timeout has passed.\n"));

  using core::RunFate;
  struct Case {
    std::size_t provider;
    std::optional<double> timeout;
    std::optional<RunFate> fate;  // none: the call's failure carried no report
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, std::nullopt, RunFate::cancelled,
       "The research was stopped; the service cancelled its run 'resp_1'."},
      {0, 2.5, RunFate::cancelled,
       "The research did not finish within 2.5 seconds; the service cancelled its run "
       "'resp_1'."},
      {0, 1, RunFate::cancel_failed,
       "The research did not finish within 1 second; the request to cancel its run 'resp_1' "
       "failed, so the run may go on at the service."},
      {0, std::nullopt, RunFate::not_named,
       "The research was stopped; the service accepted the create request but never named its "
       "run, so the run could not be cancelled and may go on at the service."},
      {0, std::nullopt, RunFate::not_created,
       "The research was stopped; no run was created at the service."},
      {0, std::nullopt, RunFate::going,
       "The research was stopped; its run 'resp_1' was not seen to be cancelled and may go on at "
       "the service."},
      {0, std::nullopt, RunFate::ended,
       "The research was stopped; its run 'resp_1' had already ended at the service."},
      // Stopped between attempts, when no run of the call may be going on.
      {0, std::nullopt, std::nullopt,
       "The research was stopped; no run of it was going on at the service."},
      {1, std::nullopt, RunFate::going,
       "Stopped waiting for the research; its run goes on at the service."},
      {1, 2.5, std::nullopt,
       "The research did not finish within 2.5 seconds; stopped waiting for it, and its run "
       "goes on at the service."},
      {2, std::nullopt, std::nullopt,
       "The research was stopped; its stream was closed (perplexity has no cancel call)."},
      {2, 2.5, RunFate::not_created,
       "The research did not finish within 2.5 seconds; its stream was closed (perplexity has "
       "no cancel call)."},
  };
  for (const Case& c : cases) {
    const std::optional<core::RunReport> run =
        c.fate ? std::optional<core::RunReport>(std::in_place, *c.fate, "'resp_1'") : std::nullopt;
    EXPECT_EQ(stopped_text(providers[c.provider], c.timeout, run ? &*run : nullptr), c.text);
  }
  EXPECT_EQ(interrupt_notice(providers[0]), "Stopping the research (Ctrl-C again quits at once).");
  EXPECT_EQ(interrupt_notice(providers[1]),
            "Stopping: parallel has no cancel call, so a run already started goes on at the "
            "service (Ctrl-C again quits at once).");
  EXPECT_EQ(interrupt_notice(providers[2]),
            "Stopping the research by closing its stream: perplexity has no cancel call (Ctrl-C "
            "again quits at once).");
  EXPECT_EQ(timeout_notice(providers[0]),
            "Stopping the research at its time limit (Ctrl-C quits at once).");
  EXPECT_EQ(timeout_notice(providers[1]),
            "Stopping at its time limit: parallel has no cancel call, so a run already started "
            "goes on at the service (Ctrl-C quits at once).");
}

// A block of `kind` holding `pieces`, as the researchers send it.
std::vector<core::Event> block(bool thinking, const std::vector<std::string>& pieces) {
  using inference::ResponseEvent;
  using inference::ThinkingEvent;
  std::vector<core::Event> events = {thinking ? ThinkingEvent::start("b")
                                              : ResponseEvent::start("b")};
  for (const std::string& piece : pieces) {
    events.push_back(thinking ? ThinkingEvent::content("b", piece)
                              : ResponseEvent::content("b", piece));
  }
  events.push_back(thinking ? ThinkingEvent::end("b") : ResponseEvent::end("b"));
  return events;
}

core::Event activity(const Value& value) {
  return core::Event{.id = "a", .type = "activity", .value = value};
}

std::string printed(const std::vector<std::vector<core::Event>>& groups) {
  std::ostringstream out;
  TerminalPrinter printer(out);
  for (const auto& group : groups) {
    for (const core::Event& event : group) printer.print(event);
  }
  printer.finish();
  return out.str();
}

TEST(TerminalPrinter, JoinsBlocksOfOneKindUntilSomethingElseIsPrinted) {
  // Google: one block per piece; thinking pieces come stripped.
  EXPECT_EQ(printed({block(true, {"Planning the search."}), block(true, {"Reading."}),
                     block(false, {"Honey bees navigate "}), block(false, {"by the sun."})}),
            "[thinking] Planning the search. Reading.\n\nHoney bees navigate by the sun.\n");
  // An activity line ends the thinking line; one with nothing to show does
  // not (Perplexity's search without results).
  const Value search = {{"type", "search"}, {"query", "bee navigation"}};
  const Value no_sources = {{"type", "web_search"}, {"sources", Value::array()}};
  EXPECT_EQ(printed({block(true, {"**Plan** the ", "search."}),
                     {activity(search)},
                     block(true, {"More.\n"}),
                     {activity(no_sources)},
                     block(true, {"Done."})}),
            "[thinking] **Plan** the search.\n[search] bee navigation\n[thinking] More.\nDone.\n");
  // Perplexity: the thinking block opens inside the answer block.
  std::vector<core::Event> nested = block(false, {"Bees dance."});
  const std::vector<core::Event> thinking = block(true, {"Search", " bees."});
  nested.insert(nested.begin() + 1, thinking.begin(), thinking.end());
  EXPECT_EQ(printed({nested}), "[thinking] Search bees.\n\nBees dance.\n");
}

TEST(TerminalPrinter, WhiteSpaceNeverEndsALineOrStacksBlankLines) {
  // Perplexity: newlines open and close the thinking and the answer; lines
  // may end in spaces and paragraphs be split by several blank lines.
  std::vector<core::Event> nested =
      block(false, {"\n\n", "# Bees  \n", "\n\n\n\tThey dance.\t", "\n", " \n"});
  const std::vector<core::Event> thinking = block(true, {"\n", "Plan  \n\n\n\n  - step", " one\n"});
  nested.insert(nested.begin() + 1, thinking.begin(), thinking.end());
  EXPECT_EQ(printed({nested}), "[thinking] Plan\n\n  - step one\n\n# Bees\n\n\tThey dance.\n");
  // White space alone shows nothing, and is no answer.
  std::ostringstream out;
  TerminalPrinter printer(out);
  for (const auto& group : {block(true, {" \n"}), block(false, {"\n\n", " "})}) {
    for (const core::Event& event : group) printer.print(event);
  }
  printer.finish();
  EXPECT_EQ(out.str(), "");
  EXPECT_FALSE(printer.answer_streamed());
}

TEST(TerminalPrinter, RetryNoticeStartsTheNextAttemptOnANewLine) {
  std::ostringstream out;
  TerminalPrinter printer(out);
  for (const core::Event& event : block(true, {"First try."})) printer.print(event);
  // As the researchers announce a new attempt; a "retry" activity without
  // its fields is an ordinary activity line.
  printer.print(activity(
      {{"type", "retry"}, {"attempt", 2}, {"max_attempts", 4}, {"reason", "The run failed."}}));
  printer.print(activity({{"type", "retry"}, {"attempt", "2"}}));
  for (const core::Event& event : block(true, {"Second try."})) printer.print(event);
  printer.finish();
  EXPECT_EQ(out.str(),
            "[thinking] First try.\nretrying (attempt 2 of 4): The run failed.\n[retry] 2\n"
            "[thinking] Second try.\n");
  EXPECT_FALSE(printer.answer_streamed());
}

// The last lines follow the failure the call ended with, as the library
// shapes it: a stopped call's cancellation carries the run's report nested,
// and a call that failed while its run may go on ends with RunMayGoOnError.
// Whatever the printer showed (events of a run, or none) plays no part.
TEST(ResearchEnding, TheRunsFateIsReadFromTheFailure) {
  using core::RunFate;
  auto cancellation_with = [](RunFate fate) {
    try {
      throw core::RunReportError(fate, "'int_1'", "report");
    } catch (...) {
      try {
        std::throw_with_nested(boost::system::system_error(boost::asio::error::operation_aborted));
      } catch (...) {
        return std::current_exception();
      }
    }
  };
  auto left_going = [](RunFate fate) {
    try {
      throw core::RuntimeError("the stream broke");
    } catch (...) {
      try {
        std::throw_with_nested(
            core::RunMayGoOnError(fate, "'int_1'", "The run may be going on at the service."));
      } catch (...) {
        return std::current_exception();
      }
    }
  };
  const std::exception_ptr plain_cancel =
      std::make_exception_ptr(boost::system::system_error(boost::asio::error::operation_aborted));
  const ProviderKey google{"google", {"GEMINI_API_KEY"}, "", StopAtService::CANCEL};
  struct Case {
    Stop stop;
    std::exception_ptr failure;
    std::string ending;  // the last line, or "" for none at all
  };
  const std::vector<Case> cases = {
      {Stop::INTERRUPTED, cancellation_with(RunFate::cancelled),
       "The research was stopped; the service cancelled its run 'int_1'.\n"},
      {Stop::TIMED_OUT, cancellation_with(RunFate::not_named),
       "The research did not finish within 3 seconds; the service accepted the create request "
       "but never named its run, so the run could not be cancelled and may go on at the "
       "service.\n"},
      {Stop::INTERRUPTED, plain_cancel,
       "The research was stopped; no run of it was going on at the service.\n"},
      // Interrupted as it ended with its output.
      {Stop::INTERRUPTED, nullptr,
       "The research was stopped; its run had already ended at the service.\n"},
      {Stop::TIMED_OUT, nullptr, ""},
      {Stop::NONE, left_going(RunFate::cancel_failed),
       "The request to cancel its run 'int_1' failed, so the run may go on at the service.\n"},
      {Stop::NONE, left_going(RunFate::not_named),
       "The service accepted the create request but never named its run, so the run could not "
       "be cancelled and may go on at the service.\n"},
      {Stop::NONE, std::make_exception_ptr(core::RuntimeError("refused")), "refused\n"},
  };
  for (const Case& c : cases) {
    const std::string text = ending_text(google, c.stop, 3.0, c.failure);
    EXPECT_THAT(text, ::testing::EndsWith(c.ending));
    // A failure by itself is named first, after a blank line.
    EXPECT_EQ(text.starts_with("\nThe research failed: "), c.stop == Stop::NONE) << text;
    EXPECT_EQ(c.ending.empty(), text.empty()) << text;
  }
}

// Given two streams, the answer alone goes to the first: thinking,
// activities, retry notices and the blank line before the answer go to the
// second, and together they read as one stream would.
TEST(TerminalPrinter, TheAnswerAloneGoesToItsOwnStream) {
  std::vector<core::Event> events = block(false, {"Bees ", "dance."});
  const std::vector<core::Event> thinking = block(true, {"Search."});
  events.insert(events.begin() + 1, thinking.begin(), thinking.end());
  events.insert(events.begin(), activity({{"type", "search"}, {"query", "bees"}}));
  events.insert(events.begin(), activity({{"type", "retry"},
                                          {"attempt", 2},
                                          {"max_attempts", 4},
                                          {"reason", "The stream broke."}}));
  const std::vector<core::Event> later = block(true, {"After."});
  events.insert(events.end(), later.begin(), later.end());
  std::ostringstream answer;
  std::ostringstream progress;
  TerminalPrinter printer(answer, progress);
  for (const core::Event& event : events) printer.print(event);
  printer.finish();
  EXPECT_EQ(answer.str(), "Bees dance.\n");
  EXPECT_EQ(progress.str(),
            "retrying (attempt 2 of 4): The stream broke.\n[search] bees\n[thinking] Search.\n\n"
            "[thinking] After.\n");
  EXPECT_TRUE(printer.answer_streamed());
  EXPECT_EQ(printed({events}),
            "retrying (attempt 2 of 4): The stream broke.\n[search] bees\n[thinking] Search.\n\n"
            "Bees dance.\n[thinking] After.\n");
}

TEST(TerminalPrinter, ActivityLinesAreReadableText) {
  EXPECT_EQ(activity_text({{"type", "open_page"}, {"url", "https://b.org"}}),
            "[open_page] https://b.org");
  EXPECT_EQ(activity_text({{"type", "find_in_page"}, {"url", "https://b.org"}, {"pattern", "sun"}}),
            "[find_in_page] https://b.org sun");
  EXPECT_EQ(activity_text({{"type", "code_interpreter"}, {"code", "x = 1\n\tprint(x)\n"}}),
            "[code_interpreter] x = 1 print(x)");
  // Perplexity's search results and Parallel's sources: the URLs.
  const Value results = Value::array(
      {{{"title", "Bees"}, {"url", "https://b.org"}, {"date", nullptr}}, {{"title", "A title"}}});
  EXPECT_EQ(activity_text({{"type", "web_search"}, {"sources", results}}),
            "[web_search] https://b.org, A title");
  EXPECT_EQ(activity_text({{"type", "read_sources"}, {"sources", {"https://a", "https://b"}}}),
            "[read_sources] https://a, https://b");
  EXPECT_EQ(activity_text({{"type", "mcp_call"},
                           {"server_label", "docs"},
                           {"name", "find"},
                           {"arguments", "{\"q\": 1}"}}),
            "[mcp_call] docs find {\"q\": 1}");
  EXPECT_EQ(activity_text({{"query", "q"}}), "[activity] q");
  const std::string long_query = "é" + std::string(300, 'q');
  EXPECT_EQ(activity_text({{"type", "search"}, {"query", long_query}}),
            "[search] é" + std::string(198, 'q') + "...");
  for (const Value& empty : {Value{{"type", "web_search"}, {"sources", Value::array()}},
                             Value{{"type", "search"}, {"query", " "}, {"sources", nullptr}},
                             Value{{"type", "search"}}, Value("text")}) {
    EXPECT_EQ(activity_text(empty), "") << empty.dump();
  }
}

TEST(ResearchReport, AnAnswerWithoutTextFailsOnStderr) {
  std::ostringstream out;
  std::ostringstream err;
  inference::LMOutput empty;
  empty.add_text(" \n");
  EXPECT_EQ(report_output(empty, false, out, err), kExitFailed);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "The research ended without an answer.\n");

  inference::LMOutput answered;
  answered.add_text("Bees dance.");
  answered.add_citation(
      core::make_chunk("Waggle.", {{"title", nullptr}, {"url", "https://b.org"}}));
  EXPECT_EQ(report_output(answered, true, out, err), kExitDone);
  EXPECT_EQ(out.str(), "\nCitations:\n  1.  <https://b.org>\n");
  out.str("");
  err.str("");
  EXPECT_EQ(report_output(answered, false, out, err), kExitDone);
  EXPECT_THAT(out.str(), StartsWith("Bees dance.\n\nCitations:\n"));
  EXPECT_EQ(err.str(), "\n");
}

}  // namespace
}  // namespace zelq::examples::research
