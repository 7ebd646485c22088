// The research example stopped by a signal or by --timeout, run as a child
// process against loopback imitations: its last line says what the server
// received, and a stop after the first quits at once.
#include <signal.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>

#include "research_cli.hpp"
#include "research_stage.hpp"

namespace zelq::examples::research {
namespace {

using ::testing::AnyOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

// The services that cancel a run, the path their runs are created at and
// the id the imitation gives the first run.
struct Cancelling {
  std::string service;
  std::string create_path;
  std::string id;
};
const std::vector<Cancelling> kCancelling = {{"openai", "/responses", "'resp_1'"},
                                             {"google", "/interactions", "'int_1'"}};

const std::string kInterrupted = "\nStopping the research (Ctrl-C again quits at once).\n";
const std::string kStopped = "The research was stopped; ";

std::string cancelled(const std::string& id) { return "the service cancelled its run " + id + "."; }

// A base URL of a port nothing listens on.
std::string nothing_listening(const std::string& path) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  return "http://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + path;
}

// Runs a child on "Bees?" at `base_url` (the stage's imitation when empty),
// sends it SIGINT once `shown` is on its stderr, and waits for its end.
Finished interrupt_when(Stage& stage, const std::string& base_url, std::string_view shown) {
  Finished finished;
  stage.run([&]() -> asio::awaitable<void> {
    auto child = base_url.empty() ? stage.spawn({"Bees?"}) : stage.spawn_at(base_url, {"Bees?"});
    co_await stage.changes().until([&] { return child->err.find(shown) != std::string::npos; });
    child->signal(SIGINT);
    finished.status = co_await child->exit_status();
    finished.err = child->err;
  });
  return finished;
}

// The last line after Ctrl-C says what became of the run at the server. A
// held create is answered once the program shows it is stopping.
TEST(ResearchStop, TheLastLineSaysWhatTheServerReceived) {
  enum class Drive { AT_THINKING, WHILE_HELD, NOTHING_LISTENING };
  struct Case {
    std::string what;
    Drive drive;
    std::string refused;               // path suffix answered 400
    Release release;                   // what a held create gets
    std::vector<std::string> endings;  // after "The research was stopped; "; {id} the run's
    std::size_t creates;
    std::size_t cancels;
  };
  const std::string may_go_on = "may go on at the service.";
  const std::vector<Case> cases = {
      {"a named run, its cancel answered 200",
       Drive::AT_THINKING,
       "",
       Release::NEVER,
       {"the service cancelled its run {id}."},
       1,
       1},
      {"a cancel that fails",
       Drive::AT_THINKING,
       "/cancel",
       Release::NEVER,
       {"the request to cancel its run {id} failed, so the run " + may_go_on},
       1,
       1},
      {"a run never named",
       Drive::WHILE_HELD,
       "",
       Release::UNNAMED,
       {"the service accepted the create request but never named its run, so the run could "
        "not be cancelled and " +
        may_go_on},
       1,
       0},
      {"a create the server hung up on",
       Drive::WHILE_HELD,
       "",
       Release::CLOSED,
       {"no run was created at the service."},
       1,
       0},
      // Stopped in the pause before a retry, or during the retry's connect.
      {"nothing listening",
       Drive::NOTHING_LISTENING,
       "",
       Release::NEVER,
       {"no run of it was going on at the service.", "no run was created at the service."},
       0,
       0},
  };
  for (const auto& [service, create_path, id] : kCancelling) {
    for (const Case& c : cases) {
      SCOPED_TRACE(service + ": " + c.what);
      const bool held = c.drive == Drive::WHILE_HELD;
      Stage stage(service, Scenario::STALLED, held ? create_path : "", c.refused, c.release);
      Finished finished;
      if (held) {
        finished = stage.stop_while_held({"Bees?"}, SIGINT, kInterrupted);
      } else if (c.drive == Drive::AT_THINKING) {
        finished = interrupt_when(stage, "", "[thinking]");
      } else {
        const std::string url = nothing_listening(service == "openai" ? "/v1" : "/v1beta");
        finished = interrupt_when(stage, url, "retrying (attempt 2 of 4)");
      }
      EXPECT_EQ(finished.status, kExitInterrupted);
      std::vector<::testing::Matcher<const std::string&>> endings;
      for (std::string ending : c.endings) {
        if (const auto at = ending.find("{id}"); at != std::string::npos) {
          ending.replace(at, 4, id);
        }
        endings.push_back(EndsWith("\n" + kStopped + ending + "\n"));
      }
      EXPECT_THAT(finished.err, ::testing::AnyOfArray(endings));
      EXPECT_THAT(finished.err, HasSubstr(kInterrupted));
      EXPECT_EQ(stage.counts().creates + (held ? stage.held : 0), c.creates);
      EXPECT_EQ(stage.counts().cancels + stage.refused, c.cancels);
    }
  }
}

TEST(ResearchProgram, ASignalCancelsTheRunAtTheServiceAndExits130) {
  for (const auto& [cancelling, number] :
       {std::pair{kCancelling[0], SIGINT}, std::pair{kCancelling[1], SIGTERM}}) {
    SCOPED_TRACE(cancelling.service);
    Stage stage(cancelling.service, Scenario::STALLED);
    const auto [status, out, err] = stage.interrupt(number);
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_THAT(err, EndsWith(kInterrupted + kStopped + cancelled(cancelling.id) + "\n"));
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 1u);
  }
}

// The service refuses the cancel: the library's own warning says so, in the
// program's plain form, and the last line says that the run may go on.
TEST(ResearchProgram, ARefusedCancelIsNotReportedAsACancel) {
  for (const auto& [service, create_path, id] : kCancelling) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, "", "/cancel");
    const auto [status, out, err] = stage.interrupt(SIGINT);
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_EQ(stage.refused, 1);
    EXPECT_THAT(err, HasSubstr("\nwarning: Could not cancel"));
    EXPECT_THAT(err, Not(HasSubstr("[warning]")));
    EXPECT_THAT(err, EndsWith(kStopped + "the request to cancel its run " + id +
                              " failed, so the run may go on at the service.\n"));
    EXPECT_THAT(err, Not(HasSubstr("cancelled its run")));
  }
}

// The signal goes once the server holds the create request, which it
// answers once the program shows it is stopping: the run it names is
// cancelled all the same.
TEST(ResearchProgram, ASignalBeforeTheRunIsNamedStillCancelsIt) {
  for (const auto& [service, create_path, id] : kCancelling) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, create_path, "", Release::SERVE);
    const auto [status, out, err] = stage.stop_while_held({"Bees?"}, SIGINT, kInterrupted);
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_THAT(err, EndsWith(kInterrupted + kStopped + cancelled(id) + "\n"));
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 1u);
  }
}

// The server holds the create request until the limit has passed, then
// names the run: the program cancels it and exits 1.
TEST(ResearchProgram, TheTimeoutStopsTheCallAndExits1) {
  for (const auto& [service, create_path, id] : kCancelling) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED, create_path, "", Release::SERVE);
    const std::string notice =
        "\nStopping the research at its time limit (Ctrl-C quits at once).\n";
    const auto [status, out, err] =
        stage.stop_while_held({"--timeout", "0.5", "Bees?"}, std::nullopt, notice);
    EXPECT_EQ(status, kExitFailed);
    EXPECT_THAT(err, EndsWith(notice + "The research did not finish within 0.5 seconds; " +
                              cancelled(id) + "\n"));
    EXPECT_EQ(out, "");
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 1u);
  }
}

// The limit passes once the service has named the run (or while the create
// is still unanswered, when the machine is slow): the run is cancelled once.
TEST(ResearchProgram, TheTimeoutCancelsTheRunAndExits1) {
  for (const auto& [service, create_path, id] : kCancelling) {
    SCOPED_TRACE(service);
    Stage stage(service, Scenario::STALLED);
    const auto [status, out, err] = stage.finish({"--timeout", "1", "Bees?"});
    EXPECT_EQ(status, kExitFailed);
    EXPECT_THAT(err,
                EndsWith("\nThe research did not finish within 1 second; " + cancelled(id) + "\n"));
    EXPECT_EQ(out, "");
    EXPECT_EQ(stage.counts().creates, 1u);
    EXPECT_EQ(stage.counts().cancels, 1u);
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

// The cancel request is never answered: only a second stop ends the
// program, at once. After --timeout, the first Ctrl-C is that second stop.
TEST(ResearchProgram, ASecondInterruptExitsAtOnce) {
  for (const bool timed_out : {false, true}) {
    SCOPED_TRACE(timed_out ? "after --timeout" : "after Ctrl-C");
    Stage stage("openai", Scenario::STALLED, "/cancel");
    int status = 0;
    std::string err;
    stage.run([&]() -> asio::awaitable<void> {
      auto child = timed_out ? stage.spawn({"--timeout", "1", "Bees?"}) : stage.spawn({"Bees?"});
      co_await stage.changes().until(
          [&] { return child->err.find("[thinking]") != std::string::npos; });
      if (!timed_out) child->signal(SIGINT);
      co_await stage.changes().until([&] { return stage.held == 1; });
      child->signal(SIGINT);
      status = co_await child->exit_status();
      err = child->err;
    });
    EXPECT_EQ(status, kExitInterrupted);
    EXPECT_THAT(err, EndsWith("\nQuit.\n"));
  }
}

}  // namespace
}  // namespace zelq::examples::research
