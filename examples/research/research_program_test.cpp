// The research example run as a child process against loopback imitations
// of the services: --timeout and Ctrl-C at Parallel, empty answers, the
// Google key's fallback, the joined lines, a hostile refusal shown escaped,
// and refused base URLs and keys, seen from outside the program. (Stops at
// the services that cancel a run: research_stop_test.cpp.)
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "research_cli.hpp"
#include "research_stage.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::examples::research {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Valid UTF-8 without a control byte other than the line feed.
bool is_clean_output(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const core::detail::Utf8Char ch = core::detail::decode_utf8(text, at);
    if (!ch.valid || (ch.code_point < 0x20 && ch.code_point != '\n') || ch.code_point == 0x7F) {
      return false;
    }
    at += ch.size;
  }
  return true;
}

// A refusal that is retried, its body full of terminal sequences and bytes
// that are no text: the retry line and every other line of the program
// reach the terminal escaped.
TEST(ResearchProgram, AHostileRefusalReachesTheTerminalEscaped) {
  const std::vector<std::string> bodies = {
      std::string("raw \xff\xfe \xc0\xaf \xed\xa0\x80 nul \0 \x1b]0;pwned\x07\x1b[2J\x08", 35),
      R"({"error":{"message":"\u001b]0;pwned\u0007\u001b[2J...\u0000"}})"};
  for (const std::string& body : bodies) {
    Stage stage("google", Scenario::NORMAL, "", "/interactions");
    stage.refused_status = 409;
    stage.refused_body = body;
    std::string err;
    stage.run([&]() -> asio::awaitable<void> {
      auto child = stage.spawn({"Bees?"});
      co_await stage.changes().until(
          [&] { return child->err.find("retrying (attempt 2 of ") != std::string::npos; });
      child->signal(SIGINT);
      co_await child->exit_status();
      err = child->err;
    });
    EXPECT_THAT(err, HasSubstr("retrying (attempt 2 of "));
    EXPECT_THAT(err, HasSubstr("\\x1b]0;pwned\\x07"));
    EXPECT_TRUE(is_clean_output(err)) << core::py_repr(err);
  }
}

// Every service makes one run and returns the empty output (Google's
// researcher warns of it first).
TEST(ResearchProgram, AnEmptyAnswerExits1) {
  for (const std::string service : {"openai", "google", "parallel", "perplexity"}) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::EMPTY);
    const auto [status, out, err] = stage.finish({"Bees?"});
    EXPECT_EQ(status, kExitFailed);
    EXPECT_THAT(err, EndsWith("The research ended without an answer.\n"));
    if (service == "google") {
      EXPECT_THAT(err, HasSubstr("completed without answer text; the research returns no "
                                 "answer.\n"));
    }
    EXPECT_THAT(err, Not(HasSubstr("[web_search]")));
    EXPECT_EQ(out, "");
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 0u);
  }
}

TEST(ResearchProgram, GoogleReadsGoogleApiKeyAndJoinsItsPieces) {
  Stage stage("google", Scenario::NORMAL);
  const auto [status, out, err] = stage.finish({"Bees?"}, {"GOOGLE_API_KEY=gk-imitation"});
  EXPECT_EQ(status, kExitDone) << err;
  EXPECT_EQ(err,
            "[thinking] Planning the search. Reading about the sun compass. Comparing what the "
            "sources say.\n\n");
  EXPECT_THAT(out, StartsWith("Honey bees navigate by the sun and by landmarks.\n"));
}

TEST(ResearchProgram, HelpGoesToStdoutAndBadUsageExits2) {
  Stage stage("openai", Scenario::NORMAL);
  std::vector<int> statuses;
  std::vector<std::string> outs;
  std::vector<std::string> errs;
  stage.run([&]() -> asio::awaitable<void> {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"--timeout", "soon", "Bees?"}}) {
      auto child = stage.spawn(args);
      statuses.push_back(co_await child->exit_status());
      outs.push_back(child->out);
      errs.push_back(child->err);
    }
  });
  EXPECT_EQ(statuses, (std::vector<int>{kExitDone, kExitUsage}));
  EXPECT_THAT(outs[0], StartsWith("usage: scripts/demo.sh research"));
  EXPECT_EQ(errs[0], "");
  EXPECT_THAT(errs[1],
              StartsWith("--timeout needs a number of seconds greater than 0, got 'soon'.\n"
                         "usage: scripts/demo.sh research"));
  EXPECT_EQ(stage.counts().total, 0u);
  // Help that stdout cannot take (a full disk) is lost: not a success.
  const int status = std::system(
      ("'" + std::string(ZELQ_RESEARCH_PROGRAM) + "' --help >/dev/full 2>/dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kExitFailed);
}

// Parallel has no cancel call: stopping the call, by Ctrl-C or --timeout,
// leaves the run going on at the service, and the example says so. The
// signal goes once the run's thinking shows; --timeout ends a call whose
// create request the server holds until the program hangs up, so that no
// run is made whatever the machine's speed.
TEST(ResearchProgram, StoppingAParallelRunSaysTheRunGoesOnAtTheService) {
  for (const bool interrupt : {true, false}) {
    SCOPED_TRACE(interrupt ? "Ctrl-C" : "--timeout");
    Stage stage("parallel", Scenario::STALLED, interrupt ? "" : "/tasks/runs");
    int status = 0;
    std::string err;
    stage.run([&]() -> asio::awaitable<void> {
      auto child = stage.spawn(interrupt ? std::vector<std::string>{"Bees?"}
                                         : std::vector<std::string>{"--timeout", "0.5", "Bees?"});
      if (interrupt) {
        co_await stage.changes().until(
            [&] { return child->err.find("[thinking]") != std::string::npos; });
        child->signal(SIGINT);
      }
      status = co_await child->exit_status();
      err = child->err;
    });
    if (interrupt) {
      EXPECT_EQ(status, kExitInterrupted);
      EXPECT_THAT(
          err,
          EndsWith("\nStopping: parallel has no cancel call, so a run already started goes on at "
                   "the service (Ctrl-C again quits at once).\n"
                   "Stopped waiting for the research; its run goes on at the service.\n"));
    } else {
      EXPECT_EQ(status, kExitFailed);
      EXPECT_THAT(err, EndsWith("\nStopping at its time limit: parallel has no cancel call, so a "
                                "run already started goes on at the service (Ctrl-C quits at "
                                "once).\n"
                                "The research did not finish within 0.5 seconds; stopped waiting "
                                "for it, and its run goes on at the service.\n"));
    }
    EXPECT_EQ(stage.counts().creates, interrupt ? 1u : 0u);
    EXPECT_EQ(stage.counts().cancels, 0u);
  }
}

// A run retried after its stream broke: the printer's line says so, and the
// library's own warning of the same retry does not repeat it on stderr.
TEST(ResearchProgram, ARetryIsShownOnce) {
  Stage stage("perplexity", Scenario::DROPPED);
  const auto [status, out, err] = stage.finish({"Bees?"});
  EXPECT_EQ(status, kExitDone) << err;
  EXPECT_EQ(stage.counts().creates, 2u);
  const std::size_t first = err.find("retrying (attempt 2 of 4): ");
  EXPECT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find("retrying", first + 1), std::string::npos) << err;
  EXPECT_THAT(out, Not(HasSubstr("retrying")));
}

// Perplexity's thinking and answer open and close with newlines: none of
// them ends a line in a space or stacks blank lines.
TEST(ResearchProgram, PerplexityOutputHasNoTrailingSpacesOrRunsOfBlankLines) {
  Stage stage("perplexity", Scenario::NORMAL);
  const auto [status, out, err] = stage.finish({"Bees?"});
  EXPECT_EQ(status, kExitDone);
  EXPECT_EQ(err,
            "[web_search] https://bees.example/sun\n"
            "[thinking] Looking for how bees navigate.\n"
            "\n"
            "Comparing the sources.\n"
            "\n");
  // The answer and its citations alone: `> answer.txt` keeps just them.
  EXPECT_EQ(out,
            "Honey bees navigate by the sun and by landmarks.\n"
            "\n"
            "Citations:\n"
            "  1. Sun compass <https://bees.example/sun>\n");
}

// A base URL that no client can use, holding a password in each shape a
// user may mistype (each naming the imitation's host and port, where a
// lenient client would send): every service refuses it with status 2
// before any request, and neither the password nor any part of it shows.
TEST(ResearchProgram, ABaseUrlTheClientRefusesExits2WithoutShowingItsPassword) {
  for (const std::string_view service : imitation::kServices) {
    SCOPED_TRACE(service);
    Stage stage(std::string(service), Scenario::NORMAL);
    const std::string at = stage.authority();
    const std::vector<std::string> urls = {
        "//u:SECRET@" + at + "/v1",        "https//u:SECRET@" + at,
        "http:\\\\u:SECRET@" + at,         "mailto:SECRET@x",
        "http://u:SECRET?x@" + at + "/v1", "http://u:SECRET#x@" + at + "/v1"};
    std::vector<int> statuses;
    std::vector<std::string> outputs;
    stage.run([&]() -> asio::awaitable<void> {
      for (const std::string& url : urls) {
        auto child = stage.spawn_at(url, {"Bees?"});
        statuses.push_back(co_await child->exit_status());
        outputs.push_back(child->out + child->err);
      }
    });
    ASSERT_EQ(outputs.size(), urls.size());
    for (std::size_t i = 0; i < urls.size(); ++i) {
      SCOPED_TRACE(urls[i]);
      EXPECT_EQ(statuses[i], kExitUsage);
      EXPECT_THAT(outputs[i],
                  AllOf(StartsWith("Cannot research with " + std::string(service) + ": "),
                        HasSubstr("***"), Not(HasSubstr("SECRET"))));
    }
    EXPECT_EQ(stage.counts().total, 0u);
  }
}

// A base URL without a usable scheme gets the same words at every service,
// naming both schemes the clients take.
TEST(ResearchProgram, ABaseUrlWithoutHttpOrHttpsIsRefusedInOneTextEverywhere) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"host/v1",
       "invalid URL 'host/v1': expected an absolute URL starting with http:// or "
       "https://\n"},
      {"ftp://host/v1",
       "invalid URL 'ftp://host/v1': unsupported scheme 'ftp' (expected http or "
       "https)\n"}};
  for (const std::string_view service : imitation::kServices) {
    SCOPED_TRACE(service);
    Stage stage(std::string(service), Scenario::NORMAL);
    std::vector<int> statuses;
    std::vector<std::string> outputs;
    stage.run([&]() -> asio::awaitable<void> {
      for (const auto& [url, text] : cases) {
        auto child = stage.spawn_at(url, {"Bees?"});
        statuses.push_back(co_await child->exit_status());
        outputs.push_back(child->out + child->err);
      }
    });
    ASSERT_EQ(outputs.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ(statuses[i], kExitUsage);
      EXPECT_EQ(outputs[i],
                "Cannot research with " + std::string(service) + ": " + cases[i].second);
    }
    EXPECT_EQ(stage.counts().total, 0u);
  }
}

// A key the service's client refuses (a pasted key with a space in it)
// exits 2 before any request on every service: sent to the imitation, and
// without --base-url, where the researcher builds its client only when the
// research starts.
TEST(ResearchProgram, AKeyTheClientRefusesExits2BeforeAnyRequest) {
  const std::vector<std::string> bad_keys = {"OPENAI_API_KEY=sk bad", "GEMINI_API_KEY=gm bad",
                                             "PARALLEL_API_KEY=par bad",
                                             "PERPLEXITY_API_KEY=pplx bad"};
  for (const std::string_view service : imitation::kServices) {
    SCOPED_TRACE(service);
    Stage stage(std::string(service), Scenario::NORMAL);
    std::vector<int> statuses;
    std::vector<std::string> outputs;
    stage.run([&]() -> asio::awaitable<void> {
      // Were the key taken, the research would end at the time limit.
      const std::vector<std::string> args = {"--timeout", "5", "Bees?"};
      std::vector<std::unique_ptr<Child>> children;
      children.push_back(stage.spawn(args, bad_keys));
      children.push_back(stage.spawn_at("", args, bad_keys));
      for (const auto& child : children) {
        statuses.push_back(co_await child->exit_status());
        outputs.push_back(child->out + child->err);
      }
    });
    EXPECT_EQ(statuses, (std::vector<int>{kExitUsage, kExitUsage}));
    for (const std::string& output : outputs) {
      EXPECT_THAT(output, AllOf(StartsWith("Cannot research with " + std::string(service) + ": "),
                                Not(HasSubstr("bad"))));
    }
    EXPECT_EQ(stage.counts().total, 0u);
  }
}

}  // namespace
}  // namespace zelq::examples::research
