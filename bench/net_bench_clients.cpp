// The loopback server of net_bench, the bare Beast clients it is compared
// with, and the held-stream memory measurement, run in a fresh process per
// client so that neither inherits the other's heap.
#include "net_bench.hpp"

#include <malloc.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "forked_server.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/chat_stream.hpp"

namespace zelq::bench {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace openai = providers::openai;
using core::Value;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// `n` letters and digits picked from `seed`, as an id or a pad looks.
std::string letters(std::size_t seed, std::size_t n) {
  static constexpr std::string_view kAlphabet =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string out(n, ' ');
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& c : out) {
    state ^= state >> 29;
    state *= 0xBF58476D1CE4E5B9ull;
    c = kAlphabet[(state >> 32) % kAlphabet.size()];
  }
  return out;
}

// The event of the `i`-th token of a stream in `shape`: "small" is the
// smallest chunk a server could send; "real" is a chunk as OpenAI-compatible
// services send it, about 230 bytes, whose id, creation time, fingerprint,
// obfuscation pad and text of 1 to 7 letters vary from chunk to chunk.
std::string token_event(Shape shape, std::size_t i) {
  if (shape == Shape::SMALL) return openai::testing::content_event(" tok");
  return "data: {\"id\":\"chatcmpl-" + letters(i, 29) +
         "\",\"object\":\"chat.completion.chunk\",\"created\":" +
         std::to_string(1700000000 + i / 40) +
         ",\"model\":\"gpt-4o-mini-2024-07-18\",\"system_fingerprint\":\"fp_" +
         letters(i / 100, 10) + "\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\" " +
         letters(i + 3, 1 + i % 7) +
         "\"},\"logprobs\":null,\"finish_reason\":null}],\"obfuscation\":\"" +
         letters(i + 11, 2 + i * 7 % 11) + "\"}\n\n";
}

// `count` token events of `shape`, each in an HTTP chunk of its own, and
// with `end` the end marker and the last chunk.
std::string framed_tokens(Shape shape, std::size_t count, bool end) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string token = token_event(shape, i);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", token.size());
    out += size + token + "\r\n";
  }
  if (end) out += "e\r\ndata: [DONE]\n\n\r\n0\r\n\r\n";
  return out;
}

// A 1 MiB event id, then 16.5 KB of empty chunks and the end marker: each
// event carries the id.
std::string id_probe_body() {
  std::string events = "id:" + std::string(kIdProbeBytes, 'i') + "\n";
  while (events.size() < kIdProbeBytes + 16'500) events += "data:{}\n\n";
  events += "data: [DONE]\n\n";
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", events.size());
  return size + events + "\r\n0\r\n\r\n";
}

asio::awaitable<void> serve(net::testing::Exchange& exchange) {
  static const std::string answer = Value{
      {"choices",
       {{{"index", 0},
         {"message", {{"role", "assistant"}, {"content", "ok"}}},
         {"finish_reason", "stop"}}}}}.dump();
  static const std::string id_probe = id_probe_body();
  // [shape][batched, held, short]
  static const std::string streams[2][3] = {{framed_tokens(Shape::SMALL, kStreamTokens, true),
                                             framed_tokens(Shape::SMALL, kHeldTokens, false),
                                             framed_tokens(Shape::SMALL, kHeldTokens, true)},
                                            {framed_tokens(Shape::REAL, kStreamTokens, true),
                                             framed_tokens(Shape::REAL, kHeldTokens, false),
                                             framed_tokens(Shape::REAL, kHeldTokens, true)}};
  const std::string& body = exchange.request.body;
  if (body.find("\"stream\":true") == std::string::npos) {
    co_await exchange.respond(200, answer);
    co_return;
  }
  auto asks = [&body](std::string_view user) {
    return body.find("\"user\":\"" + std::string(user)) != std::string::npos;
  };
  const auto& shaped = streams[body.find("_real\"") != std::string::npos ? 1 : 0];
  const bool hold = asks("hold");
  const std::string& bytes = hold               ? shaped[1]
                             : asks("short")    ? shaped[2]
                             : asks("id_probe") ? id_probe
                                                : shaped[0];
  co_await exchange.start_events();
  for (std::size_t at = 0; at < bytes.size(); at += 65536) {
    co_await exchange.write(bytes.substr(at, 65536));
  }
  if (hold) co_await exchange.wait_for_close();
}

// The server, and the CPU it is pinned to (-1 when it is not).
struct Server {
  ForkedServer process;
  int cpu = -1;
};

Server& server() {
  static Server instance;
  return instance;
}

void stop_server() { server().process.stop(); }

std::string request_body(bool stream, const std::string& user) {
  std::string body = R"({"model":"bench","messages":[{"role":"user","content":"go"}])";
  if (stream) body += R"(,"stream":true,"user":")" + user + "\"";
  return body + "}";
}

asio::awaitable<beast::tcp_stream> bare_connect(unsigned short port) {
  beast::tcp_stream stream(co_await asio::this_coro::executor);
  co_await stream.async_connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                                asio::use_awaitable);
  stream.socket().set_option(asio::ip::tcp::no_delay(true));
  co_return stream;
}

asio::awaitable<void> bare_send(beast::tcp_stream& stream, std::string body) {
  http::request<http::string_body> request{http::verb::post, "/v1/chat/completions", 11};
  request.set(http::field::host, "127.0.0.1");
  request.set(http::field::content_type, "application/json");
  request.body() = std::move(body);
  request.prepare_payload();
  co_await http::async_write(stream, request, asio::use_awaitable);
}

// Counts the SSE events (blank-line ends) in a body read piece by piece.
class EventCounter {
 public:
  void feed(const char* p, std::size_t n) {
    const char* const end = p + n;
    while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
      const char* lf = static_cast<const char*>(hit);
      if (lf == p ? last_was_lf_ : lf[-1] == '\n') ++events;
      last_was_lf_ = true;
      p = lf + 1;
    }
    if (p != end) last_was_lf_ = false;
  }
  std::size_t events = 0;

 private:
  bool last_was_lf_ = false;
};

// Reads the streamed answer's body until `enough` events came (then
// `on_enough` runs once) and on to its end: reads of up to `read_size` bytes,
// each parsed at once with Beast's parser into a body buffer of the same
// size, and its events counted.
template <class OnEnough>
asio::awaitable<std::size_t> bare_read_events(beast::tcp_stream& stream, std::size_t read_size,
                                              std::size_t enough, OnEnough on_enough) {
  beast::flat_buffer buffer;
  http::response_parser<http::buffer_body> parser;
  parser.body_limit(boost::none);
  co_await http::async_read_header(stream, buffer, parser, asio::use_awaitable);
  auto piece = std::make_unique_for_overwrite<char[]>(read_size);
  EventCounter counter;
  bool told = false;
  while (!parser.is_done()) {
    while (buffer.size() > 0 && !parser.is_done()) {
      parser.get().body().data = piece.get();
      parser.get().body().size = read_size;
      boost::system::error_code ec;
      const std::size_t used = parser.put(buffer.data(), ec);
      buffer.consume(used);
      if (ec == http::error::need_buffer || ec == http::error::need_more) ec = {};
      if (ec) throw boost::system::system_error(ec);
      counter.feed(piece.get(), read_size - parser.get().body().size);
      if (used == 0) break;
    }
    if (!told && counter.events >= enough) {
      told = true;
      on_enough();
    }
    if (parser.is_done()) break;
    auto [ec, n] = co_await stream.socket().async_read_some(buffer.prepare(read_size), kTuple);
    if (ec) throw boost::system::system_error(ec);
    buffer.commit(n);
  }
  co_return counter.events;
}

// Reads a chunked streamed answer with no HTTP library at all: reads of
// 64 KiB into one buffer, the chunk framing undone in place with memchr and
// strtoul, and the events counted with memchr. The floor for the CPU per
// streamed token.
asio::awaitable<std::size_t> raw_read_events(asio::ip::tcp::socket& socket) {
  constexpr std::size_t kBuffer = 65536;
  auto buffer = std::make_unique_for_overwrite<char[]>(kBuffer);
  char* const base = buffer.get();
  std::size_t begin = 0;  // unread bytes are [begin, end)
  std::size_t end = 0;
  // Moves the unread bytes to the front and reads more after them.
  auto read_more = [&]() -> asio::awaitable<void> {
    std::memmove(base, base + begin, end - begin);
    end -= begin;
    begin = 0;
    if (end == kBuffer) throw std::runtime_error("bare client: line too long");
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(base + end, kBuffer - end), kTuple);
    if (ec) throw boost::system::system_error(ec);
    end += n;
  };
  // The line starting at `begin` ends at the returned LF (nullptr when it
  // has not all come yet).
  auto line_end = [&]() -> const char* {
    return static_cast<const char*>(std::memchr(base + begin, '\n', end - begin));
  };
  // The head: lines up to a blank one; the body must be chunked.
  bool chunked = false;
  while (true) {
    const char* lf = line_end();
    if (lf == nullptr) {
      co_await read_more();
      continue;
    }
    const std::string_view line(base + begin, static_cast<std::size_t>(lf - (base + begin)));
    begin = static_cast<std::size_t>(lf + 1 - base);
    if (line == "\r") break;
    if (line.find("chunked") != std::string_view::npos) chunked = true;
  }
  if (!chunked) throw std::runtime_error("bare client: the answer is not chunked");
  EventCounter counter;
  while (true) {
    // A chunk: its size in hex, CRLF, the data, CRLF. Awaits only when the
    // buffer runs out.
    const char* lf = line_end();
    if (lf == nullptr) {
      co_await read_more();
      continue;
    }
    const std::size_t size = std::strtoul(base + begin, nullptr, 16);
    begin = static_cast<std::size_t>(lf + 1 - base);
    if (size == 0) break;
    for (std::size_t left = size; left > 0;) {
      if (begin == end) co_await read_more();
      const std::size_t n = std::min(left, end - begin);
      counter.feed(base + begin, n);
      begin += n;
      left -= n;
    }
    while (end - begin < 2) co_await read_more();
    begin += 2;
  }
  co_return counter.events;
}

// ---- held streams, measured in a child process ----

std::shared_ptr<openai::OpenAILMInvoker> held_invoker(const std::string& url) {
  Value config = {{"base_url", url}, {"max_concurrency", kHeldStreams + 1}, {"max_retries", 0}};
  return std::make_shared<openai::OpenAILMInvoker>("openai/bench", "sk-bench", config);
}

// A stream that fails before the measurement ends makes it fail.
void check(std::exception_ptr failure) {
  if (failure) std::rethrow_exception(failure);
}

void start_project_stream(asio::io_context& io, openai::OpenAILMInvoker& invoker,
                          std::shared_ptr<core::EventEmitter> emitter, const std::string& user) {
  inference::LMInvokeOptions options;
  options.event_emitter = std::move(emitter);
  options.hyperparameters = Value{{"user", user}};
  std::vector<inference::Message> messages(1, inference::Message::user("go"));
  asio::co_spawn(io, invoker.invoke(std::move(messages), std::move(options)),
                 [](std::exception_ptr failure, const inference::LMOutput&) { check(failure); });
}

asio::awaitable<void> bare_held(unsigned short port, std::string user, std::size_t& reached) {
  beast::tcp_stream stream = co_await bare_connect(port);
  co_await bare_send(stream, request_body(true, user));
  co_await bare_read_events(stream, 2048, kHeldTokens, [&reached] { ++reached; });
}

// Starts the streams of `client` ("bare" or "project", "_real" appended for
// REAL chunks), runs until each has kHeldTokens tokens, and returns the peak
// RSS growth per stream. One "short" stream first warms up what is built
// once per process.
double measure_held_streams(std::string client, const std::string& url) {
  Shape shape = Shape::SMALL;
  if (client.ends_with("_real")) {
    shape = Shape::REAL;
    client.resize(client.size() - 5);
  }
  const std::string hold = stream_user("hold", shape);
  const std::string warm = stream_user("short", shape);
  const unsigned short port =
      static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
  asio::io_context io;
  std::size_t reached = 0;  // streams with all their tokens
  auto invoker = held_invoker(url);
  auto emitter = std::make_shared<core::EventEmitter>();
  // Every stream gets the same number of tokens: all have theirs once the
  // count of token events reaches the sum.
  std::size_t events = 0;
  emitter->add_handler([&](const core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response" && ++events % kHeldTokens == 0) ++reached;
    co_return;
  });
  auto run_until = [&](std::size_t count) {
    while (reached < count && io.run_one_for(std::chrono::seconds(10)) > 0) {
    }
    if (reached < count) {
      throw std::runtime_error("held streams stalled at " + std::to_string(reached) + " of " +
                               std::to_string(count));
    }
  };
  if (client == "project") {
    start_project_stream(io, *invoker, emitter, warm);
  } else {
    asio::co_spawn(io, bare_held(port, warm, reached), check);
  }
  run_until(1);
  io.poll();
  io.restart();
  malloc_trim(0);
  reset_peak_rss();
  const std::size_t before_kb = status_kb("VmRSS:");
  for (std::size_t i = 0; i < kHeldStreams; ++i) {
    if (client == "project") {
      start_project_stream(io, *invoker, emitter, hold);
    } else {
      asio::co_spawn(io, bare_held(port, hold, reached), check);
    }
  }
  run_until(1 + kHeldStreams);
  io.poll();
  const std::size_t peak_kb = status_kb("VmHWM:");
  return static_cast<double>(peak_kb - before_kb) * 1024.0 / static_cast<double>(kHeldStreams);
}

// Runs one streamed invocation of the id probe after a warm-up stream and
// returns the growth of the peak resident set over it, in bytes.
double measure_id_probe(const std::string& url) {
  asio::io_context io;
  auto invoker = held_invoker(url);
  auto emitter = std::make_shared<core::EventEmitter>();
  auto invoke = [&](const char* user) {
    inference::LMInvokeOptions options;
    options.event_emitter = emitter;
    options.hyperparameters = Value{{"user", user}};
    std::vector<inference::Message> messages(1, inference::Message::user("go"));
    run(io, invoker->invoke(std::move(messages), std::move(options)));
  };
  invoke("short");
  malloc_trim(0);
  reset_peak_rss();
  const std::size_t before_kb = status_kb("VmRSS:");
  invoke("id_probe");
  return static_cast<double>(status_kb("VmHWM:") - before_kb) * 1024.0;
}

constexpr std::string_view kChildFlag = "--held-streams=";

}  // namespace

void start_server() {
  if (server().process.pid > 0) return;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  sched_getaffinity(0, sizeof allowed, &allowed);
  int lowest = -1;
  int highest = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (lowest < 0) lowest = cpu;
    highest = cpu;
  }
  // The server gets a CPU of its own when there are two.
  const int own_cpu = highest != lowest ? highest : -1;
  server().process = fork_loopback_server(serve, own_cpu);
  if (own_cpu >= 0) {
    pin_to_cpu(lowest);
    server().cpu = own_cpu;
  }
  std::atexit(stop_server);
}

const std::string& server_base_url() { return server().process.base_url; }

int server_cpu() { return server().cpu; }

std::string stream_user(const std::string& base, Shape shape) {
  return shape == Shape::REAL ? base + "_real" : base;
}

unsigned short server_port() {
  const std::string& url = server().process.base_url;
  return static_cast<unsigned short>(std::stoi(url.substr(url.rfind(':') + 1)));
}

asio::awaitable<int> bare_sequential(unsigned short port) {
  beast::tcp_stream stream = co_await bare_connect(port);
  beast::flat_buffer buffer;
  int answered = 0;
  for (int i = 0; i < kSequential; ++i) {
    co_await bare_send(stream, request_body(false, ""));
    http::response<http::string_body> response;
    co_await http::async_read(stream, buffer, response, asio::use_awaitable);
    answered += Value::parse(response.body())["choices"][0]["message"]["content"] == "ok";
  }
  co_return answered;
}

asio::awaitable<std::size_t> bare_stream(unsigned short port, std::string user) {
  beast::tcp_stream stream = co_await bare_connect(port);
  co_await bare_send(stream, request_body(true, user));
  co_return co_await raw_read_events(stream.socket());
}

double held_stream_rss_in_child(const std::string& client_name, Shape shape) {
  const std::string client =
      client_name == "id_probe" ? client_name : stream_user(client_name, shape);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    const std::string flag = std::string(kChildFlag) + client;
    execl("/proc/self/exe", "net_bench", flag.c_str(), server_base_url().c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.empty()) {
    throw std::runtime_error("the held-stream measurement of " + client + " failed");
  }
  return std::stod(out);
}

bool run_child_if_asked(int argc, char** argv) {
  if (argc != 3 || !std::string_view(argv[1]).starts_with(kChildFlag)) return false;
  const std::string client(std::string_view(argv[1]).substr(kChildFlag.size()));
  const double per_stream =
      client == "id_probe" ? measure_id_probe(argv[2]) : measure_held_streams(client, argv[2]);
  std::printf("%.1f\n", per_stream);
  std::fflush(stdout);
  // The streams are left as they are: the process ends here.
  _exit(0);
}

}  // namespace zelq::bench
