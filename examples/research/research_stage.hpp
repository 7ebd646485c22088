// The research example run as a child process against a loopback
// imitation of a service, for the program's tests: the child's output read
// through pipes, the requests the server saw, and requests held until the
// test lets them go on.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "imitation/service_imitation.hpp"
#include "testing/piped_child.hpp"

extern char** environ;

namespace zelq::examples::research {

namespace asio = boost::asio;
namespace imitation = zelq::examples::imitation;
using imitation::Scenario;
using net::testing::Exchange;
using net::testing::LoopbackServer;

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
inline std::vector<std::string> environment_with(const std::vector<std::string>& added) {
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

inline const std::vector<std::string> kAllKeys = {
    "OPENAI_API_KEY=sk-imitation", "GEMINI_API_KEY=gm-imitation", "PARALLEL_API_KEY=par-imitation",
    "PERPLEXITY_API_KEY=pplx-imitation"};

// How a child run to its end finished.
struct Finished {
  int status = 0;
  std::string out;
  std::string err;
};

// What a held request gets once the test releases it.
enum class Release {
  NEVER,    // nothing: it waits until the program hangs up
  SERVE,    // the imitation's answer
  UNNAMED,  // a 200 event-stream head, then the connection closes: the
            // service accepted the run but never named it
  CLOSED,   // the connection closes unanswered: no run was created
};

// One imitation on a loopback server, and children run against it. A
// request whose path ends with `held_suffix` is counted in `held` and held
// until release_held() (never, by default); one whose path ends with
// `refused_suffix` is answered with refused_status and refused_body (a 400
// by default).
class Stage {
 public:
  explicit Stage(std::string service, Scenario scenario, std::string held_suffix = "",
                 std::string refused_suffix = "", Release release = Release::NEVER)
      : service_(std::move(service)),
        imitation_(imitation::make_imitation(service_, scenario)),
        changes_(io_),
        gate_(io_),
        release_(release),
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
                    co_await answer_held(exchange);
                    co_return;
                  }
                  co_await imitation_->serve(exchange);
                  changes_.notify();
                }) {}

  // Lets the held requests have what `release` says.
  void release_held() {
    released_ = true;
    gate_.cancel();
  }

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

  // Runs a child with `args`, and once the server holds its request, sends
  // it `number`. Once the child shows it is stopping (`notice` on stderr),
  // releases the held request, and waits for the child to end.
  Finished stop_while_held(const std::vector<std::string>& args, std::optional<int> number,
                           std::string_view notice) {
    Finished finished;
    run([&]() -> asio::awaitable<void> {
      auto child = spawn(args);
      co_await changes_.until([&] { return held == 1; });
      if (number) child->signal(*number);
      co_await changes_.until([&] { return child->err.find(notice) != std::string::npos; });
      release_held();
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
  asio::awaitable<void> answer_held(Exchange& exchange) {
    if (release_ == Release::NEVER) {
      co_await exchange.wait_for_close();
      co_return;
    }
    while (!released_) {
      gate_.expires_at(asio::steady_timer::time_point::max());
      co_await gate_.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    if (release_ == Release::SERVE) {
      co_await imitation_->serve(exchange);
    } else if (release_ == Release::UNNAMED) {
      co_await exchange.start_events();
    }
    exchange.close();
    changes_.notify();
  }

  std::string service_;
  asio::io_context io_;
  std::unique_ptr<imitation::ServiceImitation> imitation_;
  Changes changes_;
  asio::steady_timer gate_;
  bool released_ = false;
  Release release_;
  LoopbackServer server_;
};

}  // namespace zelq::examples::research
