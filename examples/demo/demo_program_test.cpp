// zelq_demo run as a child process: command lines carrying credentials are
// refused before anything is printed and never echoed, the key never
// appears, the sample is found from any folder, and a bad data file is named
// with what is wrong. Nothing here needs a network: a usable URL points at a
// loopback port that refuses connections.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "testing/piped_child.hpp"
#include "zelq/net/testing/loopback_server.hpp"

extern char** environ;

namespace zelq_demo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kKey = "sk-test-KEYVALUE";

struct DemoRun {
  int status = -1;  // the exit status, or -signal
  std::string out;
  std::string err;
};

// Runs the demo with `args` in `dir` (this folder when empty), with this
// process's environment less OPENAI_API_KEY, plus `added`. Kills it and
// throws when it has not ended within 30 seconds.
DemoRun run_demo(const std::vector<std::string>& args, const std::vector<std::string>& added = {},
                 const std::string& dir = "") {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!std::string(*entry).starts_with("OPENAI_API_KEY=")) env.emplace_back(*entry);
  }
  env.insert(env.end(), added.begin(), added.end());
  std::vector<std::string> argv = {ZELQ_DEMO_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto child = zelq::examples::testing::spawn_piped(std::move(argv), std::move(env), dir);
  const pid_t pid = child.pid;

  DemoRun run;
  pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
  std::string* into[2] = {&run.out, &run.err};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      for (const pollfd& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
      }
      throw std::runtime_error("the demo did not end within 30 seconds");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return run;
}

// A loopback port that refuses every connection: bound, so that no one else
// takes it, and never listening.
class ClosedPort {
 public:
  ClosedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot bind a loopback port");
    }
    port_ = ntohs(address.sin_port);
  }
  ~ClosedPort() { ::close(fd_); }
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;

  std::string origin() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// A fresh folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zelq_demo_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name) << text;
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

void expect_hidden(const DemoRun& run, const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    EXPECT_THAT(run.out, Not(HasSubstr(secret)));
    EXPECT_THAT(run.err, Not(HasSubstr(secret)));
  }
}

// Runs the demo with `args` and the base URL of a loopback server that
// answers with `handler`, served on a thread of its own.
DemoRun run_demo_against(zelq::net::testing::LoopbackServer::Handler handler,
                         std::vector<std::string> args) {
  boost::asio::io_context io;
  zelq::net::testing::LoopbackServer server(io, std::move(handler));
  auto work = boost::asio::make_work_guard(io);
  std::thread serving([&io] { io.run(); });
  args.insert(args.end(), {"--base-url", server.base_url()});
  const DemoRun run = run_demo(args, {"OPENAI_API_KEY=" + kKey});
  work.reset();
  io.stop();
  serving.join();
  return run;
}

// A chat-completions server that streams `pieces` as the answer.
zelq::net::testing::LoopbackServer::Handler answering(std::vector<std::string> pieces) {
  return [pieces](zelq::net::testing::Exchange& exchange) -> boost::asio::awaitable<void> {
    std::string body;
    for (const std::string& piece : pieces) {
      const zelq::core::Value choice = {
          {"index", 0}, {"delta", {{"content", piece}}}, {"finish_reason", nullptr}};
      body += "data: " + zelq::core::Value{{"choices", zelq::core::Value::array({choice})}}.dump() +
              "\n\n";
    }
    co_await exchange.start_events();
    co_await exchange.chunk(body + "data: [DONE]\n\n");
    co_await exchange.end_events();
  };
}

TEST(DemoProgram, RefusesCredentialsInTheBaseUrlBeforePrintingAnything) {
  const ClosedPort port;
  const std::vector<std::string> urls = {
      "http://user:PASSWORD@" + port.origin() + "/v1",
      "http://" + port.origin() + "/v1?token=TOKENVALUE",
      "http://" + port.origin() + "/v1#TOKENVALUE",
      "http//user:PASSWORD@host/v1",
      "http://user:PASS/WORD@" + port.origin() + "/v1",
      "htp:user:PASSWORD@host/v1?token=TOKENVALUE",
  };
  const std::vector<std::string> secrets = {"PASSWORD", "WORD@", "TOKENVALUE", kKey};
  // Every flag that reaches the server goes through the one base URL.
  const std::vector<std::vector<std::string>> flag_sets = {
      {"--model", "m"}, {"--model", "m", "--embedding-model", "e"}};
  for (const std::string& url : urls) {
    for (std::vector<std::string> args : flag_sets) {
      args.insert(args.end(), {"--timeout", "5", "--base-url", url});
      SCOPED_TRACE(testing::PrintToString(args));
      const DemoRun run = run_demo(args, {"OPENAI_API_KEY=" + kKey});
      EXPECT_EQ(run.status, 2);
      EXPECT_EQ(run.out, "");
      EXPECT_THAT(run.err, StartsWith("zelq_demo: --base-url "));
      EXPECT_THAT(run.err, HasSubstr("\n\nusage: scripts/demo.sh"));
      expect_hidden(run, secrets);
    }
  }
  const DemoRun without_model = run_demo({"--base-url", urls[0]}, {"OPENAI_API_KEY=" + kKey});
  EXPECT_EQ(without_model.status, 2);
  EXPECT_THAT(without_model.err, StartsWith("zelq_demo: --base-url needs --model\n"));
  expect_hidden(without_model, secrets);
}

TEST(DemoProgram, UsageErrorsMaskWhatTheyEcho) {
  struct Probe {
    std::vector<std::string> args;
    std::string key;
    std::string error;  // the first line of stderr
  };
  const std::vector<Probe> probes = {
      {{"--model", "m", "--timeout", "soon?token=TOKENVALUE"},
       kKey,
       "zelq_demo: --timeout needs a positive number of seconds, got 'soon?***'"},
      {{"--model", "m", "--timeout", kKey},
       kKey,
       "zelq_demo: --timeout needs a positive number of seconds, got '***'"},
      {{"data.json", "http//user:PASSWORD@host"},
       kKey,
       "zelq_demo: one data file is taken, got a second one: 'http//***@host'"},
      {{"a.json", "b.json"}, kKey, "zelq_demo: one data file is taken, got a second one: 'b.json'"},
      // A blank value is no name, as in the research example.
      {{"--model", " "}, kKey, "zelq_demo: --model needs a value, got ' '"},
      {{"--model", "m", "--embedding-model", ""},
       kKey,
       "zelq_demo: --embedding-model needs a value, got ''"},
      {{"--data", "\t"}, kKey, "zelq_demo: --data needs a value, got '\\t'"},
      {{"--model", "m", "--base-url", " "}, kKey, "zelq_demo: --base-url needs a value, got ' '"},
      // The same words as every service's client, naming both schemes.
      {{"--model", "m", "--base-url", "host/v1"},
       kKey,
       "zelq_demo: --base-url: invalid URL 'host/v1': expected an absolute URL starting with "
       "http:// or https://"},
      {{"--api-key=TOKENVALUE"}, kKey, "zelq_demo: unknown argument '--api-key=***'"},
      // Without a model nothing waits: a limit would be ignored.
      {{"--timeout", "5"}, kKey, "zelq_demo: --timeout needs --model"},
      {{"--model", "m", "--timeout", "0x10"},
       kKey,
       "zelq_demo: --timeout needs a positive number of seconds, got '0x10'"},
      {{"--model", "m", "--timeout", " 5"},
       kKey,
       "zelq_demo: --timeout needs a positive number of seconds, got ' 5'"},
      {{"--model", "m"},
       "sk-test KEYVALUE",
       "zelq_demo: OPENAI_API_KEY holds white space or control characters"},
  };
  for (const Probe& probe : probes) {
    SCOPED_TRACE(testing::PrintToString(probe.args));
    const DemoRun run = run_demo(probe.args, {"OPENAI_API_KEY=" + probe.key});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, StartsWith(probe.error + "\n\nusage: scripts/demo.sh"));
    expect_hidden(run, {"PASSWORD", "TOKENVALUE", "KEYVALUE"});
  }
}

// A URL the demo can use, on a port that refuses: the run fails fast, names
// the server, and the key (here also given as the model's name) is never
// shown.
TEST(DemoProgram, AServerThatRefusesFailsFastWithoutShowingTheKey) {
  const ClosedPort port;
  const std::string url = "http://" + port.origin() + "/v1";
  const DemoRun run =
      run_demo({"--model", kKey, "--embedding-model", "e", "--base-url", url, "--timeout", "5"},
               {"OPENAI_API_KEY=" + kKey});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("openai/e at " + url + ", threshold"));
  EXPECT_THAT(run.out, Not(HasSubstr("The relevance filter failed")));
  EXPECT_THAT(run.err, StartsWith("The relevance filter failed ("));
  EXPECT_THAT(run.out, HasSubstr("== Response synthesizer, stuff (openai/*** at " + url + ") =="));
  EXPECT_THAT(run.err, HasSubstr("; answering from all chunks.\nzelq_demo: "));
  EXPECT_THAT(run.err, HasSubstr(port.origin()));
  expect_hidden(run, {"KEYVALUE"});
}

TEST(DemoProgram, FindsItsDataFromAnotherFolderOrTakesDataDir) {
  const TempDir elsewhere;
  const DemoRun found = run_demo({}, {}, elsewhere.path().string());
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_THAT(found.out,
              StartsWith("Query: How do honeybees tell each other where to find food?\n"));

  const TempDir data;
  data.write("chunks.json", R"({"query": "Why?", "chunks": [
      {"id": "one", "content": "First.", "metadata": {"source": "A"}, "score": 0.5},
      {"content": "Second."}]})");
  const DemoRun given = run_demo({"--data", data.path().string()}, {}, elsewhere.path().string());
  EXPECT_EQ(given.status, 0) << given.err;
  EXPECT_THAT(given.out, StartsWith("Query: Why?\nChunks (retriever order, most relevant first):\n"
                                    "  1. one\n"));

  const DemoRun help = run_demo({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("  --data DIR "));

  const DemoRun missing = run_demo({"--data", (elsewhere.path() / "none").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "zelq_demo: cannot open " +
                             (elsewhere.path() / "none" / "chunks.json").string() +
                             ": No such file or directory\n");

  // A masked path keeps the ": " before the reason.
  const DemoRun masked = run_demo({"nothere?token=TOKENVALUE"}, {}, elsewhere.path().string());
  EXPECT_EQ(masked.status, 1);
  EXPECT_EQ(masked.err, "zelq_demo: cannot open nothere?***: No such file or directory\n");
}

TEST(DemoProgram, ABadDataFileIsNamedWithWhatIsWrong) {
  const std::string good = R"({"content": "x"})";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1, 2]", "must hold a JSON object, not array"},
      {R"({"query": 5, "chunks": []})", R"("query" must be a string)"},
      {R"({"query": "q"})", R"("chunks" is missing)"},
      {R"({"chunks": {}})", R"("chunks" must be a list)"},
      {R"({"chunks": [)" + good + ", " + good + R"(, {"content": 7}]})",
       R"(item 3: "content" must be a string)"},
      {R"({"chunks": ["text"]})", "item 1: must be an object"},
      {R"({"chunks": [{"id": "a"}]})", R"(item 1: "content" is missing)"},
      {R"({"chunks": [{"content": "x", "id": 4}]})", R"(item 1: "id" must be a string)"},
      {R"({"chunks": [{"content": "x", "metadata": []}]})",
       R"(item 1: "metadata" must be an object)"},
      {R"({"chunks": [{"content": "x", "score": "high"}]})", R"(item 1: "score" must be a number)"},
  };
  const TempDir data;
  for (const auto& [text, problem] : cases) {
    SCOPED_TRACE(text);
    const std::string file = data.write("chunks.json", text);
    const DemoRun run = run_demo({"--data", data.path().string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zelq_demo: " + file + ": " + problem + "\n");
  }
  // Not JSON at all, given as DATA_FILE: nlohmann's own prefix is not shown.
  const std::string file = data.write("broken.json", "{\"chunks\": [");
  const DemoRun run = run_demo({file});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, StartsWith("zelq_demo: " + file + ": not valid JSON: "));
  EXPECT_THAT(run.err, Not(HasSubstr("json.exception")));
}

// Bytes of a data file that cannot be shown as they stand (not UTF-8, a
// control character) are named in escapes: stderr holds none of them.
TEST(DemoProgram, ADataFilesBadBytesAreShownEscaped) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"query\": \"q\xff\", \"chunks\": []}", "ill-formed UTF-8 byte; last read: '\"q\\xff'"},
      {"{\"query\": \"\xc3\", \"chunks\": []}", "last read: '\"\\xc3\"'"},
      {"{\"query\": \"a\x1b[2J\"}", "last read: '\"a<U+001B>'"},
      {"\xfe{}", "last read: '\\xfe'"},
  };
  const TempDir data;
  for (const auto& [text, problem] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    const std::string file = data.write("chunks.json", text);
    const DemoRun run = run_demo({file});
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, StartsWith("zelq_demo: " + file + ": not valid JSON: "));
    EXPECT_THAT(run.err, HasSubstr(problem + "\n"));
    for (const char byte : run.err.substr(0, run.err.size() - 1)) {
      EXPECT_TRUE(byte >= 0x20 && byte < 0x7f) << static_cast<int>(byte);
    }
  }
}

// A model that answers with nothing: the demo says so and exits 1, without
// listing the sources as if an answer had come.
TEST(DemoProgram, AnEmptyAnswerExits1AndSaysSo) {
  const DemoRun run = run_demo_against(answering({""}), {"--model", "m"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("== Response synthesizer, stuff (openai/m at "));
  EXPECT_THAT(run.out, Not(HasSubstr("Sources given to the model")));
  EXPECT_EQ(run.err, "zelq_demo: the model gave an empty answer\n");
}

// The reasoning a model writes as <think>...</think> in its answer, split
// anywhere between pieces, is shown apart on stderr, and stdout holds the
// answer alone. An answer of reasoning alone is an empty answer.
TEST(DemoProgram, TheModelsReasoningGoesToStderr) {
  struct Row {
    std::vector<std::string> pieces;
    int status;
    std::string answer;  // on stdout, after the heading's line
    std::string err;
  };
  const std::vector<Row> rows = {
      {{"Bees ", "dance [1]."}, 0, "Bees dance [1].\n", ""},
      {{"<thi", "nk>\nCounting the ", "bees.\n</th", "ink>\n\nBees dance [1]."},
       0,
       "Bees dance [1].\n",
       "[thinking] Counting the bees.\n"},
      {{"<think>Nothing to say.</think>"},
       1,
       "\n",
       "[thinking] Nothing to say.\nzelq_demo: the model gave an empty answer\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.pieces));
    const DemoRun run = run_demo_against(answering(row.pieces), {"--model", "m"});
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, row.err);
    EXPECT_THAT(run.out, HasSubstr(") ==\n" + row.answer));
    EXPECT_THAT(run.out, Not(HasSubstr("think")));
    EXPECT_THAT(run.out, Not(HasSubstr("Counting")));
  }
}

// Embeddings the server refuses: the demo answers from all chunks, says so
// on stderr, and exits 0; stdout holds the demo's output alone.
TEST(DemoProgram, ARefusedEmbeddingIsANoticeOnStderr) {
  auto answer = answering({"Bees dance [1]."});
  const DemoRun run = run_demo_against(
      [answer](zelq::net::testing::Exchange& exchange) -> boost::asio::awaitable<void> {
        if (exchange.request.target.ends_with("/embeddings")) {
          co_await exchange.respond(401, R"({"error":{"message":"no embeddings for you"}})");
          co_return;
        }
        co_await answer(exchange);
      },
      {"--model", "m", "--embedding-model", "e"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, StartsWith("The relevance filter failed ("));
  EXPECT_THAT(run.err, HasSubstr("); answering from all chunks.\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("relevance filter failed")));
  EXPECT_THAT(run.out, HasSubstr("Bees dance [1]."));
  expect_hidden(run, {"KEYVALUE"});
}

// Output that stdout cannot take (a full disk) is lost: not a success.
TEST(DemoProgram, AStdoutThatCannotBeWrittenExits1) {
  for (const std::string args : {" --help", ""}) {
    SCOPED_TRACE(args);
    const int status = std::system(
        ("'" + std::string(ZELQ_DEMO_PROGRAM) + "'" + args + " >/dev/full 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
  }
}

}  // namespace
}  // namespace zelq_demo
