// Benchmarks of zelq::net and the OpenAI-compatible invoker built on it.
//
// The client side runs on this process's thread; the loopback server runs in
// a forked child process, so its CPU time and memory never count. Ratios are
// measured in the same run:
//
// BM_SseParse: SseParser::feed on a model-shaped event stream, fed in reads
// of 1 byte to 64 KiB; ratio_vs_memchr = parse time / one memchr('\n') pass.
//
// BM_SequentialRequests: 200 non-streamed chat completions one after the
// other through OpenAILMInvoker, against 200 requests of a bare Beast client
// on one kept-alive connection to the same server;
// ratio_invoker_vs_bare_beast = invoker time / Beast time (target: < 2).
//
// BM_StreamedTokenCpu: a streamed answer of 4096 one-token events (each in
// its own HTTP chunk) through the invoker to an event handler;
// ratio_cpu_vs_sse_parse = this thread's CPU time / the CPU time of
// SseParser alone on the same bytes (target: < 8). The server writes the
// stream 64 KiB at a time, so the figure is the client's work per token;
// one_write_each_cpu_ns_per_token is the same stream written one TCP write
// per token, where the kernel's wake-up per token dominates.
//
// BM_ChunkRead: reading the delta of one streamed chunk three ways: a whole
// core::Value and read_choice (the general path), nlohmann's SAX interface,
// and simdjson on-demand (read_chunk_fast, the path the invoker takes);
// ratio_sax_vs_value and ratio_simdjson_vs_value compare them.
//
// BM_ConcurrentStreamMemory: 1,000 streamed invocations in flight at once,
// each waiting for its next token; bytes_per_stream = heap in use per stream
// (target: < 12 KB), reported as ratio_bytes_vs_12k.
//
// BM_InvokerConstruction: building an OpenAILMInvoker for an https endpoint;
// ratio_construction_vs_request = construction time / the per-request time
// of the invoker's kept-alive requests (target: < 1).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "zelq/net/sse_parser.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/detail/chat_request.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/chat_stream.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string make_stream(std::size_t size) {
  std::string out;
  out.reserve(size + 256);
  for (std::size_t i = 0; out.size() < size; ++i) {
    if (i % 64 == 0) out += ": keep-alive\n\n";
    out += "id: ";
    out += std::to_string(i);
    out += "\ndata: {\"id\":\"chatcmpl-1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":\"tok";
    out += std::to_string(i % 1000);
    out += "\"}}]}\r\n\r\n";
  }
  return out;
}

double seconds_of_memchr(const std::string& bytes) {
  auto start = Clock::now();
  const char* p = bytes.data();
  const char* end = p + bytes.size();
  std::size_t lines = 0;
  while (const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
    ++lines;
    p = static_cast<const char*>(hit) + 1;
  }
  benchmark::DoNotOptimize(lines);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SseParse(benchmark::State& state) {
  const auto read_size = static_cast<std::size_t>(state.range(0));
  // Tiny reads cost a call per byte: a smaller stream keeps the run short.
  static const std::string big = make_stream(std::size_t{64} << 20);
  static const std::string small = make_stream(std::size_t{4} << 20);
  const std::string& bytes = read_size < 64 ? small : big;
  std::vector<zelq::net::SseEvent> events;
  double parse_seconds = 0;
  double memchr_seconds = 0;
  std::size_t dispatched = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    zelq::net::SseParser parser;
    for (std::size_t at = 0; at < bytes.size(); at += read_size) {
      parser.feed(std::string_view(bytes).substr(at, read_size), events);
      dispatched += events.size();
      events.clear();
    }
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    parse_seconds += elapsed;
    memchr_seconds += seconds_of_memchr(bytes);
  }
  benchmark::DoNotOptimize(dispatched);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["ratio_vs_memchr"] = parse_seconds / memchr_seconds;
}
BENCHMARK(BM_SseParse)
    ->Arg(1)
    ->Arg(16)
    ->Arg(256)
    ->Arg(4096)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

namespace openai = zelq::providers::openai;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using zelq::core::Value;
using zelq::net::testing::Exchange;

constexpr std::size_t kTokens = 4096;
constexpr int kSequential = 200;
constexpr std::size_t kStreams = 1000;

std::string answer_json() {
  Value message = {{"role", "assistant"}, {"content", "ok"}};
  return Value{{"choices", {{{"index", 0}, {"message", message}, {"finish_reason", "stop"}}}}}
      .dump();
}

// Answers by path: "/v1/chat/completions" with a JSON answer, or with
// kTokens streamed events when the body asks for a stream, or with one
// event and then nothing until the client leaves when the "user" field is
// "hold".
asio::awaitable<void> serve(Exchange& exchange) {
  static const std::string token = openai::testing::content_event(" tok");
  const bool stream = exchange.request.body.find("\"stream\":true") != std::string::npos;
  if (!stream) {
    co_await exchange.respond(200, answer_json());
  } else if (exchange.request.body.find("\"user\":\"hold\"") != std::string::npos) {
    co_await exchange.start_events();
    co_await exchange.chunk(token);
    co_await exchange.wait_for_close();
  } else if (exchange.request.body.find("\"user\":\"each\"") != std::string::npos) {
    co_await exchange.start_events();
    for (std::size_t i = 0; i < kTokens; ++i) co_await exchange.chunk(token);
    co_await exchange.chunk("data: [DONE]\n\n");
    co_await exchange.end_events();
  } else {
    // Each event in its own HTTP chunk, written 64 KiB at a time.
    static const std::string body = [] {
      std::string out;
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", token.size());
      for (std::size_t i = 0; i < kTokens; ++i) out += size + token + "\r\n";
      return out + "e\r\ndata: [DONE]\n\n\r\n0\r\n\r\n";
    }();
    co_await exchange.start_events();
    for (std::size_t at = 0; at < body.size(); at += 65536) {
      co_await exchange.write(body.substr(at, 65536));
    }
  }
}

// The loopback server in a child process, for the life of this object.
class ForkedServer {
 public:
  ForkedServer() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      asio::io_context io;
      zelq::net::testing::LoopbackServer server(io, serve);
      const std::string url = server.base_url();
      if (write(fds[1], url.data(), url.size()) < 0) _exit(1);
      close(fds[1]);
      io.run();
      _exit(0);
    }
    close(fds[1]);
    char buffer[128];
    const auto n = read(fds[0], buffer, sizeof buffer);
    close(fds[0]);
    if (n <= 0) throw std::runtime_error("server did not start");
    base_url_.assign(buffer, static_cast<std::size_t>(n));
  }
  ~ForkedServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& base_url() const { return base_url_; }
  unsigned short port() const {
    return static_cast<unsigned short>(std::stoi(base_url_.substr(base_url_.rfind(':') + 1)));
  }

 private:
  pid_t pid_ = -1;
  std::string base_url_;
};

ForkedServer& server() {
  static ForkedServer instance;
  return instance;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <class T>
T run(asio::io_context& io, asio::awaitable<T> work) {
  io.restart();
  auto future = asio::co_spawn(io, std::move(work), asio::use_future);
  io.run();
  return future.get();
}

std::shared_ptr<openai::OpenAILMInvoker> make_invoker(std::size_t max_concurrency = 16) {
  Value config = {
      {"base_url", server().base_url()}, {"max_concurrency", max_concurrency}, {"max_retries", 0}};
  return std::make_shared<openai::OpenAILMInvoker>("openai/bench", "sk-bench", config);
}

asio::awaitable<int> invoke_sequentially(std::shared_ptr<openai::OpenAILMInvoker> invoker) {
  int answered = 0;
  for (int i = 0; i < kSequential; ++i) {
    std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
    auto output = co_await invoker->invoke(std::move(messages));
    answered += output.text() == "ok";
  }
  co_return answered;
}

// The same requests by a bare Beast client on one kept-alive connection.
asio::awaitable<int> beast_sequentially(unsigned short port) {
  beast::tcp_stream stream(co_await asio::this_coro::executor);
  co_await stream.async_connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port),
                                asio::use_awaitable);
  stream.socket().set_option(asio::ip::tcp::no_delay(true));
  beast::flat_buffer buffer;
  int answered = 0;
  for (int i = 0; i < kSequential; ++i) {
    http::request<http::string_body> request{http::verb::post, "/v1/chat/completions", 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json");
    request.body() = R"({"model":"bench","messages":[{"role":"user","content":"go"}]})";
    request.prepare_payload();
    co_await http::async_write(stream, request, asio::use_awaitable);
    http::response<http::string_body> response;
    co_await http::async_read(stream, buffer, response, asio::use_awaitable);
    answered += Value::parse(response.body())["choices"][0]["message"]["content"] == "ok";
  }
  co_return answered;
}

void BM_SequentialRequests(benchmark::State& state) {
  double invoker_seconds = 0;
  double beast_seconds = 0;
  for (auto _ : state) {
    asio::io_context io;
    auto invoker = make_invoker();
    auto start = Clock::now();
    if (run(io, invoke_sequentially(invoker)) != kSequential) state.SkipWithError("lost");
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    invoker_seconds += elapsed;
    start = Clock::now();
    if (run(io, beast_sequentially(server().port())) != kSequential) state.SkipWithError("lost");
    beast_seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  const double requests = static_cast<double>(state.iterations()) * kSequential;
  state.counters["us_per_request"] = invoker_seconds / requests * 1e6;
  state.counters["ratio_invoker_vs_bare_beast"] = invoker_seconds / beast_seconds;
}
BENCHMARK(BM_SequentialRequests)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);

asio::awaitable<std::size_t> stream_tokens(std::shared_ptr<openai::OpenAILMInvoker> invoker,
                                           std::string writes) {
  std::size_t pieces = 0;
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&pieces](const zelq::core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response") ++pieces;
    co_return;
  });
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = emitter;
  options.hyperparameters = Value{{"user", writes}};
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  co_await invoker->invoke(std::move(messages), std::move(options));
  co_return pieces;
}

void BM_StreamedTokenCpu(benchmark::State& state) {
  std::string bytes;
  for (std::size_t i = 0; i < kTokens; ++i) bytes += openai::testing::content_event(" tok");
  bytes += "data: [DONE]\n\n";
  double stream_cpu = 0;
  double each_cpu = 0;
  double parse_cpu = 0;
  std::size_t tokens = 0;
  for (auto _ : state) {
    asio::io_context io;
    auto invoker = make_invoker();
    auto start = thread_cpu_seconds();
    tokens += run(io, stream_tokens(invoker, "batched"));
    auto elapsed = thread_cpu_seconds() - start;
    state.SetIterationTime(elapsed);
    stream_cpu += elapsed;

    start = thread_cpu_seconds();
    run(io, stream_tokens(invoker, "each"));
    each_cpu += thread_cpu_seconds() - start;

    start = thread_cpu_seconds();
    std::vector<zelq::net::SseEvent> events;
    zelq::net::SseParser parser;
    parser.feed(bytes, events);
    benchmark::DoNotOptimize(events.data());
    parse_cpu += thread_cpu_seconds() - start;
  }
  if (tokens != kTokens * state.iterations()) state.SkipWithError("tokens lost");
  state.counters["cpu_ns_per_token"] = stream_cpu / static_cast<double>(tokens) * 1e9;
  state.counters["ratio_cpu_vs_sse_parse"] = stream_cpu / parse_cpu;
  // Informative: one TCP write per token adds a wake-up and reads per token.
  state.counters["one_write_each_cpu_ns_per_token"] = each_cpu / static_cast<double>(tokens) * 1e9;
}
BENCHMARK(BM_StreamedTokenCpu)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);

// Collects choices[0].delta.content and finish_reason through nlohmann's SAX
// interface, tracking only the path to them.
class DeltaSax : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::optional<std::string> content;
  std::optional<std::string> finish_reason;

  bool null() override { return done_value(); }
  bool boolean(bool) override { return done_value(); }
  bool number_integer(number_integer_t) override { return done_value(); }
  bool number_unsigned(number_unsigned_t) override { return done_value(); }
  bool number_float(number_float_t, const string_t&) override { return done_value(); }
  bool binary(binary_t&) override { return done_value(); }
  bool string(string_t& value) override {
    if (depth_ == 4 && in_delta_ && key_ == "content") content = value;
    if (depth_ == 3 && in_choice_ && key_ == "finish_reason") finish_reason = value;
    return done_value();
  }
  bool start_object(std::size_t) override {
    ++depth_;
    if (depth_ == 3 && in_choices_ && choice_index_ == 0) in_choice_ = true;
    if (depth_ == 4 && in_choice_ && key_ == "delta") in_delta_ = true;
    return true;
  }
  bool end_object() override {
    if (depth_ == 4) in_delta_ = false;
    if (depth_ == 3 && in_choice_) {
      in_choice_ = false;
      ++choice_index_;
    }
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    if (depth_ == 2 && key_ == "choices") in_choices_ = true;
    return true;
  }
  bool end_array() override {
    if (depth_ == 2) in_choices_ = false;
    --depth_;
    return true;
  }
  bool key(string_t& value) override {
    key_ = value;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool done_value() { return true; }
  int depth_ = 0;
  int choice_index_ = 0;
  bool in_choices_ = false;
  bool in_choice_ = false;
  bool in_delta_ = false;
  std::string key_;
};

void BM_ChunkRead(benchmark::State& state) {
  std::vector<std::string> chunks;
  for (int i = 0; i < 1000; ++i) {
    Value delta = {{"content", " tok" + std::to_string(i)}};
    Value choice = {{"index", 0}, {"delta", delta}, {"finish_reason", nullptr}};
    chunks.push_back(Value{{"id", "chatcmpl-123"},
                           {"object", "chat.completion.chunk"},
                           {"created", 1700000000},
                           {"model", "gpt-5-nano"},
                           {"choices", Value::array({choice})}}
                         .dump());
  }
  double value_seconds = 0, sax_seconds = 0, simd_seconds = 0;
  std::size_t found = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (const auto& chunk : chunks) {
      auto part = openai::read_choice(Value::parse(chunk), "delta", "chunk", "");
      found += part.text.has_value();
    }
    value_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    for (const auto& chunk : chunks) {
      DeltaSax sax;
      nlohmann::json::sax_parse(chunk, &sax);
      found += sax.content.has_value();
    }
    sax_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    for (const auto& chunk : chunks) {
      auto part = openai::read_chunk_fast(chunk);
      found += part && part->text;
    }
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    simd_seconds += elapsed;
    state.SetIterationTime(elapsed);
  }
  if (found != 3 * chunks.size() * state.iterations()) state.SkipWithError("delta not found");
  state.counters["ratio_sax_vs_value"] = sax_seconds / value_seconds;
  state.counters["ratio_simdjson_vs_value"] = simd_seconds / value_seconds;
}
BENCHMARK(BM_ChunkRead)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.3);

// Starts kStreams streamed invocations that each receive one token and then
// wait; measures the heap in use once all wait, then lets them fail.
void BM_ConcurrentStreamMemory(benchmark::State& state) {
  double bytes_per_stream = 0;
  for (auto _ : state) {
    asio::io_context io;
    Value config = {{"base_url", server().base_url()},
                    {"max_concurrency", kStreams},
                    {"max_retries", 0},
                    {"idle_timeout", 2}};
    auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/bench", "sk-bench", config);
    malloc_trim(0);
    const auto before = mallinfo2().uordblks;
    std::size_t started = 0;
    auto emitter = std::make_shared<zelq::core::EventEmitter>();
    emitter->add_handler([&started](const zelq::core::Event& event) -> asio::awaitable<void> {
      if (event.type == "response") ++started;
      co_return;
    });
    for (std::size_t i = 0; i < kStreams; ++i) {
      zelq::inference::LMInvokeOptions options;
      options.event_emitter = emitter;
      options.hyperparameters = Value{{"user", "hold"}};
      std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
      asio::co_spawn(io, invoker->invoke(std::move(messages), std::move(options)),
                     [](std::exception_ptr, zelq::inference::LMOutput) {});
    }
    while (started < kStreams && io.run_one_for(std::chrono::seconds(5)) > 0) {
    }
    const auto during = mallinfo2().uordblks;
    bytes_per_stream = static_cast<double>(during - before) / kStreams;
    io.stop();
  }
  state.counters["bytes_per_stream"] = bytes_per_stream;
  state.counters["ratio_bytes_vs_12k"] = bytes_per_stream / 12'000.0;
}
BENCHMARK(BM_ConcurrentStreamMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_InvokerConstruction(benchmark::State& state) {
  // The first invoker of the process builds the shared TLS context.
  openai::OpenAILMInvoker warm("openai/bench", "sk-bench");
  double construct_seconds = 0;
  std::size_t built = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
      openai::OpenAILMInvoker invoker("openai/bench", "sk-bench",
                                      Value{{"base_url", "https://api.example.com/v1"}});
      benchmark::DoNotOptimize(&invoker);
    }
    construct_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    built += 100;
  }
  asio::io_context io;
  auto invoker = make_invoker();
  run(io, invoke_sequentially(invoker));  // opens the connection
  auto start = Clock::now();
  run(io, invoke_sequentially(invoker));
  const double per_request =
      std::chrono::duration<double>(Clock::now() - start).count() / kSequential;
  state.counters["ratio_construction_vs_request"] =
      construct_seconds / static_cast<double>(built) / per_request;
}
BENCHMARK(BM_InvokerConstruction)->Unit(benchmark::kMicrosecond)->MinTime(0.3);

}  // namespace

int main(int argc, char** argv) {
  server();  // forked before any thread starts
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
