// The research example run as a child process against loopback imitations
// of the services: signals, --timeout, empty answers, the Google key's
// fallback and the joined lines, seen from outside the program.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "imitation/service_imitation.hpp"
#include "research_cli.hpp"
#include "testing/piped_child.hpp"
#include "zelq/core/pytext.hpp"

extern char** environ;

namespace zelq::examples::research {
namespace {

namespace asio = boost::asio;
namespace imitation = zelq::examples::imitation;
using imitation::Scenario;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Wakes a coroutine waiting for a condition whenever something changed.
class Changes {
 public:
  explicit Changes(asio::io_context& io) : timer_(io) {}
  void notify() { timer_.cancel(); }
  asio::awaitable<void> until(std::function<bool()> condition) {
    while (!condition()) {
      timer_.expires_at(asio::steady_timer::time_point::max());
      co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
    }
  }

 private:
  asio::steady_timer timer_;
};

// The research example as a child process, its output read through pipes.
class Child {
 public:
  Child(asio::io_context& io, Changes& changes, const std::vector<std::string>& args,
        const std::vector<std::string>& environment)
      : out_pipe_(io), err_pipe_(io), changes_(changes) {
    std::vector<std::string> argv = {ZELQ_RESEARCH_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto child = testing::spawn_piped(std::move(argv), environment);
    pid_ = child.pid;
    out_pipe_.assign(child.out_fd);
    err_pipe_.assign(child.err_fd);
    asio::co_spawn(io, read(out_pipe_, out), asio::detached);
    asio::co_spawn(io, read(err_pipe_, err), asio::detached);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  void signal(int number) const { ::kill(pid_, number); }

  // Waits until both pipes have ended, then reaps the child: its exit
  // status, or -signal when a signal ended it.
  asio::awaitable<int> exit_status() {
    co_await changes_.until([this] { return ended_ == 2; });
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    co_return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

  std::string out;
  std::string err;

 private:
  asio::awaitable<void> read(asio::posix::stream_descriptor& pipe, std::string& into) {
    char buffer[4096];
    for (;;) {
      auto [error, n] =
          co_await pipe.async_read_some(asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
      into.append(buffer, n);
      if (error) break;
      changes_.notify();
    }
    ++ended_;
    changes_.notify();
  }

  pid_t pid_ = -1;
  asio::posix::stream_descriptor out_pipe_;
  asio::posix::stream_descriptor err_pipe_;
  Changes& changes_;
  int ended_ = 0;
  bool reaped_ = false;
};

// This process's environment without the services' key variables, plus
// `added` ("NAME=value").
std::vector<std::string> environment_with(const std::vector<std::string>& added) {
  static const std::set<std::string> keys = {"OPENAI_API_KEY", "GEMINI_API_KEY", "GOOGLE_API_KEY",
                                             "PARALLEL_API_KEY", "PERPLEXITY_API_KEY"};
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!keys.contains(text.substr(0, text.find('=')))) env.push_back(text);
  }
  env.insert(env.end(), added.begin(), added.end());
  return env;
}

const std::vector<std::string> kAllKeys = {
    "OPENAI_API_KEY=sk-imitation", "GEMINI_API_KEY=gm-imitation", "PARALLEL_API_KEY=par-imitation",
    "PERPLEXITY_API_KEY=pplx-imitation"};

// How a child run to its end finished.
struct Finished {
  int status = 0;
  std::string out;
  std::string err;
};

// One imitation on a loopback server, and children run against it. A
// request whose path ends with `held_suffix` is counted but never answered;
// one whose path ends with `refused_suffix` is answered with refused_status
// and refused_body (a 400 by default).
class Stage {
 public:
  explicit Stage(std::string service, Scenario scenario, std::string held_suffix = "",
                 std::string refused_suffix = "")
      : service_(std::move(service)),
        imitation_(imitation::make_imitation(service_, scenario)),
        changes_(io_),
        server_(io_,
                [this, held_suffix, refused_suffix](Exchange& exchange) -> asio::awaitable<void> {
                  const std::string path = imitation::target_path(exchange.request.target);
                  if (!refused_suffix.empty() && path.ends_with(refused_suffix)) {
                    ++refused;
                    co_await exchange.respond(refused_status, refused_body);
                    changes_.notify();
                    co_return;
                  }
                  if (!held_suffix.empty() && path.ends_with(held_suffix)) {
                    ++held;
                    changes_.notify();
                    co_await exchange.wait_for_close();
                    co_return;
                  }
                  co_await imitation_->serve(exchange);
                  changes_.notify();
                }) {}

  std::unique_ptr<Child> spawn(const std::vector<std::string>& args,
                               const std::vector<std::string>& keys = kAllKeys) {
    return spawn_at(imitation_->base_url(server_.origin()), args, keys);
  }

  // A child sent to `base_url` instead of the imitation; with an empty one,
  // to the service's own.
  std::unique_ptr<Child> spawn_at(const std::string& base_url, const std::vector<std::string>& args,
                                  const std::vector<std::string>& keys = kAllKeys) {
    std::vector<std::string> all = {"--provider", service_};
    if (!base_url.empty()) all.insert(all.end(), {"--base-url", base_url});
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<Child>(io_, changes_, all, environment_with(keys));
  }

  // The imitation's host and port ("127.0.0.1:port").
  std::string authority() const { return server_.origin().substr(std::string("http://").size()); }

  // Runs `script` next to the server; fails when it takes 30 seconds.
  void run(std::function<asio::awaitable<void>()> script) {
    bool done = false;
    std::exception_ptr failure;
    asio::co_spawn(io_, script(), [&](std::exception_ptr error) {
      failure = error;
      done = true;
      io_.stop();
    });
    io_.run_for(std::chrono::seconds(30));
    if (!done) throw std::runtime_error("the example did not end within 30 seconds");
    if (failure) std::rethrow_exception(failure);
  }

  // Runs a child with `args` and `keys` to its end, left alone.
  Finished finish(const std::vector<std::string>& args,
                  const std::vector<std::string>& keys = kAllKeys) {
    Finished finished;
    run([&]() -> asio::awaitable<void> {
      auto child = spawn(args, keys);
      finished.status = co_await child->exit_status();
      finished.out = child->out;
      finished.err = child->err;
    });
    return finished;
  }

  // Runs a child on "Bees?", sends it `number` once its thinking shows, and
  // waits for it to end.
  Finished interrupt(int number) {
    Finished finished;
    run([&]() -> asio::awaitable<void> {
      auto child = spawn({"Bees?"});
      co_await changes_.until([&] { return child->err.find("[thinking]") != std::string::npos; });
      child->signal(number);
      finished.status = co_await child->exit_status();
      finished.out = child->out;
      finished.err = child->err;
    });
    return finished;
  }

  Changes& changes() { return changes_; }
  const imitation::RequestCounts& counts() const { return imitation_->counts(); }
  int held = 0;
  int refused = 0;
  int refused_status = 400;
  std::string refused_body = R"({"error":{"message":"cannot cancel now"}})";

 private:
  std::string service_;
  asio::io_context io_;
  std::unique_ptr<imitation::ServiceImitation> imitation_;
  Changes changes_;
  LoopbackServer server_;
};

constexpr std::string_view kAskedToCancel =
    "The research was stopped; the service was asked to cancel the run.\n";

TEST(ResearchProgram, ASignalCancelsTheRunAtTheServiceAndExits130) {
  for (const auto& [service, number] :
       {std::pair{"openai", SIGINT}, std::pair{"google", SIGTERM}}) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED);
    const auto [status, out, err] = stage.interrupt(number);
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_THAT(err, EndsWith("\nStopping the research (Ctrl-C again quits at once).\n" +
                              std::string(kAskedToCancel)));
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 1u);
  }
}

// The service refuses the cancel: the library's own warning says so, and
// the example's last line claims no more than that a cancel was asked for.
TEST(ResearchProgram, ARefusedCancelIsNotReportedAsACancel) {
  for (const char* service : {"openai", "google"}) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, "", "/cancel");
    const auto [status, out, err] = stage.interrupt(SIGINT);
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_EQ(stage.refused, 1);
    EXPECT_THAT(err, HasSubstr("Could not cancel"));
    EXPECT_THAT(err, EndsWith(std::string(kAskedToCancel)));
    EXPECT_THAT(err, Not(HasSubstr("was cancelled")));
  }
}

// Stopped while the service has not answered the create request: there is
// no run id, so no cancel is sent, and the example does not claim one; the
// run may exist at the service.
const std::vector<std::pair<std::string, std::string>> kCreatePaths = {{"openai", "/responses"},
                                                                       {"google", "/interactions"}};
const std::string kNotNamed =
    " reported on its run, so it may not have been asked to cancel it: the run may go on at the "
    "service.\n";

// The signal goes once the server holds the create request.
TEST(ResearchProgram, ASignalBeforeTheRunIsNamedClaimsNoCancel) {
  for (const auto& [service, create_path] : kCreatePaths) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, create_path);
    int status = 0;
    std::string err;
    stage.run([&]() -> asio::awaitable<void> {
      auto child = stage.spawn({"Bees?"});
      co_await stage.changes().until([&] { return stage.held == 1; });
      child->signal(SIGINT);
      status = co_await child->exit_status();
      err = child->err;
    });
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_THAT(err, EndsWith("\nThe research was stopped before the service had" + kNotNamed));
    EXPECT_EQ(stage.counts().creates, 0u);
    EXPECT_EQ(stage.counts().cancels, 0u);
  }
}

// The server holds the create request until the program hangs up, so the
// limit ends the call before any run is named, however slow the machine.
TEST(ResearchProgram, TheTimeoutStopsTheCallAndExits1) {
  for (const auto& [service, create_path] : kCreatePaths) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, create_path);
    const auto [status, out, err] = stage.finish({"--timeout", "0.5", "Bees?"});
    EXPECT_EQ(status, kExitFailed);
    EXPECT_THAT(err, EndsWith("\nThe research did not finish within 0.5 seconds, and the "
                              "service had not" +
                              kNotNamed));
    EXPECT_EQ(out, "");
    EXPECT_EQ(stage.counts().creates, 0u);
    EXPECT_EQ(stage.counts().cancels, 0u);
  }
}

// The limit passes once the service has named the run: the run is
// cancelled once. The limit is the program's own clock, so a run that a slow
// machine had not named by then is played again with twice the limit; what
// the program reported decides, not a wait of the test.
TEST(ResearchProgram, TheTimeoutCancelsTheRunAndExits1) {
  for (const std::string service : {"openai", "google"}) {
    SCOPED_TRACE(service);
    bool named = false;
    for (const std::string limit : {"1", "2", "4", "8", "16"}) {
      Stage stage(service, Scenario::STALLED);
      const auto [status, out, err] = stage.finish({"--timeout", limit, "Bees?"});
      if (err.ends_with(kNotNamed)) continue;
      named = true;
      EXPECT_EQ(status, kExitFailed);
      EXPECT_THAT(err, EndsWith("\nThe research did not finish within " + limit +
                                " seconds; the service was asked to cancel the run.\n"));
      EXPECT_EQ(out, "");
      EXPECT_EQ(stage.counts().creates, 1u);
      EXPECT_EQ(stage.counts().cancels, 1u);
      break;
    }
    EXPECT_TRUE(named) << "no limit up to 16 seconds passed after the run was named";
  }
}

// Perplexity has no cancel call: a stop closes the stream, and the example
// says just that.
TEST(ResearchProgram, StoppingAPerplexityRunSaysItsStreamWasClosed) {
  Stage stage("perplexity", Scenario::STALLED);
  const auto [status, out, err] = stage.interrupt(SIGINT);
  EXPECT_EQ(status, kExitInterrupted);
  EXPECT_THAT(err, EndsWith("\nStopping the research by closing its stream: perplexity has no "
                            "cancel call (Ctrl-C again quits at once).\n"
                            "The research was stopped; its stream was closed (perplexity has no "
                            "cancel call).\n"));
  EXPECT_EQ(stage.counts().creates, 1u);
  EXPECT_EQ(stage.counts().cancels, 0u);
}

TEST(ResearchProgram, ASecondInterruptExitsAtOnce) {
  Stage stage("openai", Scenario::STALLED, "/cancel");
  int status = 0;
  stage.run([&]() -> asio::awaitable<void> {
    auto child = stage.spawn({"Bees?"});
    co_await stage.changes().until(
        [&] { return child->err.find("[thinking]") != std::string::npos; });
    child->signal(SIGINT);
    // The cancel request is never answered: only a second Ctrl-C ends it.
    co_await stage.changes().until([&] { return stage.held == 1; });
    child->signal(SIGINT);
    status = co_await child->exit_status();
  });
  EXPECT_EQ(status, kExitInterrupted);
}

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
      EXPECT_THAT(err,
                  EndsWith("\nThe research did not finish within 0.5 seconds; stopped waiting for "
                           "it, and its run goes on at the service.\n"));
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
