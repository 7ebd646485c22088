// Benchmarks of zelq::net and the OpenAI-compatible invoker built on it,
// each figure a ratio to a baseline measured in the same run. The loopback
// server runs in a forked child process (pinned to another CPU when the
// process may use two), so its CPU time and memory never count. The "bare"
// clients (net_bench_clients.cpp) do the same exchanges on the same server
// at the least cost, on one keep-alive connection: Beast for requests, and
// for streams no HTTP library at all. They are the floor of this machine.
//
// BM_SseParse: SseParser on a model-shaped event stream, fed in reads of 1
// byte to 64 KiB, its events taken one at a time as views, as SseReader
// takes them; ratio_vs_memchr = parse time / one memchr('\n') pass
// over the same bytes (target at 256 B and more: <= 2.5).
//
// BM_SequentialRequests: 2,000 small non-streamed chat completions one after
// the other through OpenAILMInvoker, then as many by the bare client;
// ratio_request_vs_bare = time per request / the bare client's (target:
// <= 1.5). /0: client and server on CPUs of their own, where most of a
// request's time is the wake-up across CPUs; /1: the client pinned to the
// server's CPU, so that the client's own CPU shows.
//
// BM_StreamedTokenCpu: one streamed answer of 20,000 tokens (each event an
// HTTP chunk of its own, written 64 KiB at a time) through the invoker to an
// event handler, then read by the bare client, which reads the socket into
// one large buffer, undoes the chunk framing by hand and splits the events
// with memchr only; each client streams twice in a row and the second
// stream is measured, so that neither pays for the kernel's finishing of the
// other's connection;
// ratio_cpu_per_token_vs_bare = this thread's CPU time (user + sys) per
// token / the bare client's (target: <= 10). /0: the smallest chunks a
// server could send; /1: chunks of the shape services send (about 230
// bytes, ids and fields varying from chunk to chunk; see Shape).
//
// BM_HeldStreamRss: 1,000 streamed invocations in flight at once, each
// holding after its 200 tokens, in a fresh process per client;
// ratio_rss_per_stream_vs_bare = the growth of the whole process's peak
// resident set per stream / the bare client's; kb_per_stream is the
// invoker's own figure (target: <= 14 KB, so about 1.7 times the bare
// client's). /0 and /1: chunks as for BM_StreamedTokenCpu.
//
// BM_SseIdProbe: a streamed invocation whose answer is an "id" line of
// 1 MiB followed by 16.5 KB of events (about 1,880 of them, each carrying
// the id), in a fresh process; peak_rss_growth_mb = the growth of the
// process's peak resident set over it (target: < 16 MB).
//
// BM_InvokerConstruction: building an OpenAILMInvoker for an https endpoint;
// ratio_construction_vs_request = construction time / the time of one bare
// keep-alive request (target: <= 1).
//
// BM_ChunkRead (informative): reading the delta of one streamed chunk three
// ways: a whole core::Value and read_choice (the general path), nlohmann's
// SAX interface, and simdjson on-demand (read_chunk_fast, the path the
// invoker takes); ratio_sax_vs_value and ratio_simdjson_vs_value compare
// them.
#include <benchmark/benchmark.h>

#include <sched.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "net_bench.hpp"
#include "zelq/net/sse_parser.hpp"
#include "zelq/providers/openai/detail/chat_request.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"

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
  // As SseReader takes them: one event at a time as a view.
  zelq::net::SseEventView event;
  double parse_seconds = 0;
  double memchr_seconds = 0;
  std::size_t dispatched = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    zelq::net::SseParser parser;
    for (std::size_t at = 0; at < bytes.size(); at += read_size) {
      parser.start(std::string_view(bytes).substr(at, read_size));
      while (parser.next(event)) ++dispatched;
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
using zelq::bench::kSequential;
using zelq::bench::kStreamTokens;
using zelq::bench::run;
using zelq::bench::thread_cpu_seconds;
using zelq::core::Value;

std::shared_ptr<openai::OpenAILMInvoker> make_invoker() {
  Value config = {
      {"base_url", zelq::bench::server_base_url()}, {"max_concurrency", 16}, {"max_retries", 0}};
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

// Seconds per request of the bare client.
double bare_request_seconds(asio::io_context& io) {
  const auto start = Clock::now();
  if (run(io, zelq::bench::bare_sequential(zelq::bench::server_port())) != kSequential) {
    throw std::runtime_error("bare requests lost");
  }
  return std::chrono::duration<double>(Clock::now() - start).count() / kSequential;
}

// Pins the calling thread to one CPU for its life, then restores what it
// was allowed before.
class PinnedThread {
 public:
  explicit PinnedThread(int cpu) {
    if (cpu < 0) return;
    pinned_ = sched_getaffinity(0, sizeof before_, &before_) == 0;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned_ = pinned_ && sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~PinnedThread() {
    if (pinned_) sched_setaffinity(0, sizeof before_, &before_);
  }
  PinnedThread(const PinnedThread&) = delete;
  PinnedThread& operator=(const PinnedThread&) = delete;
  bool pinned() const noexcept { return pinned_; }

 private:
  cpu_set_t before_{};
  bool pinned_ = false;
};

void BM_SequentialRequests(benchmark::State& state) {
  double invoker_seconds = 0;
  double bare_seconds = 0;
  const bool one_cpu = state.range(0) == 1;
  PinnedThread pin(one_cpu ? zelq::bench::server_cpu() : -1);
  if (one_cpu && !pin.pinned()) {
    state.SkipWithError("the server runs on no CPU of its own to share");
    return;
  }
  for (auto _ : state) {
    asio::io_context io;
    auto invoker = make_invoker();
    auto start = Clock::now();
    if (run(io, invoke_sequentially(invoker)) != kSequential) state.SkipWithError("lost");
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    invoker_seconds += elapsed;
    bare_seconds += bare_request_seconds(io) * kSequential;
  }
  const double requests = static_cast<double>(state.iterations()) * kSequential;
  state.counters["us_per_request"] = invoker_seconds / requests * 1e6;
  state.counters["bare_us_per_request"] = bare_seconds / requests * 1e6;
  state.counters["ratio_request_vs_bare"] = invoker_seconds / bare_seconds;
}
BENCHMARK(BM_SequentialRequests)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

asio::awaitable<std::size_t> stream_tokens(std::shared_ptr<openai::OpenAILMInvoker> invoker,
                                           std::string user) {
  std::size_t pieces = 0;
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&pieces](const zelq::core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response") ++pieces;
    co_return;
  });
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = emitter;
  options.hyperparameters = Value{{"user", std::move(user)}};
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  co_await invoker->invoke(std::move(messages), std::move(options));
  co_return pieces;
}

zelq::bench::Shape shape_of(const benchmark::State& state) {
  return state.range(0) == 1 ? zelq::bench::Shape::REAL : zelq::bench::Shape::SMALL;
}

void BM_StreamedTokenCpu(benchmark::State& state) {
  const std::string user = zelq::bench::stream_user("batched", shape_of(state));
  double project_cpu = 0;
  double bare_cpu = 0;
  std::size_t tokens = 0;
  std::size_t bare_events = 0;
  // The kernel finishes a stream's connection (and its buffers) for some
  // milliseconds after the stream, and charges that work to whatever runs
  // then. Each client streams twice in a row and the second stream is
  // measured: it pays for the first one's finishing, as a client streaming
  // answer after answer does, and never for the other client's.
  for (auto _ : state) {
    asio::io_context io;
    auto invoker = make_invoker();
    run(io, stream_tokens(invoker, user));
    auto start = thread_cpu_seconds();
    tokens += run(io, stream_tokens(invoker, user));
    auto elapsed = thread_cpu_seconds() - start;
    state.SetIterationTime(elapsed);
    project_cpu += elapsed;
    run(io, zelq::bench::bare_stream(zelq::bench::server_port(), user));
    start = thread_cpu_seconds();
    bare_events += run(io, zelq::bench::bare_stream(zelq::bench::server_port(), user));
    bare_cpu += thread_cpu_seconds() - start;
  }
  const auto iterations = static_cast<std::size_t>(state.iterations());
  if (tokens != kStreamTokens * iterations) state.SkipWithError("tokens lost");
  if (bare_events != (kStreamTokens + 1) * iterations) state.SkipWithError("bare events lost");
  state.counters["cpu_us_per_token"] = project_cpu / static_cast<double>(tokens) * 1e6;
  state.counters["bare_cpu_us_per_token"] = bare_cpu / static_cast<double>(tokens) * 1e6;
  state.counters["ratio_cpu_per_token_vs_bare"] = project_cpu / bare_cpu;
}
BENCHMARK(BM_StreamedTokenCpu)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

double median3(double a, double b, double c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

void BM_HeldStreamRss(benchmark::State& state) {
  double project = 0;
  double bare = 0;
  for (auto _ : state) {
    double runs[2][3];
    for (int i = 0; i < 3; ++i) {
      runs[0][i] = zelq::bench::held_stream_rss_in_child("bare", shape_of(state));
      runs[1][i] = zelq::bench::held_stream_rss_in_child("project", shape_of(state));
    }
    bare = median3(runs[0][0], runs[0][1], runs[0][2]);
    project = median3(runs[1][0], runs[1][1], runs[1][2]);
  }
  state.counters["kb_per_stream"] = project / 1000.0;
  state.counters["bare_kb_per_stream"] = bare / 1000.0;
  state.counters["ratio_rss_per_stream_vs_bare"] = project / bare;
}
BENCHMARK(BM_HeldStreamRss)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SseIdProbe(benchmark::State& state) {
  double growth = 0;
  for (auto _ : state) growth = zelq::bench::held_stream_rss_in_child("id_probe");
  state.counters["peak_rss_growth_mb"] = growth / 1e6;
}
BENCHMARK(BM_SseIdProbe)->Iterations(1)->Unit(benchmark::kMillisecond);

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
  const double per_request = bare_request_seconds(io);
  const double per_invoker = construct_seconds / static_cast<double>(built);
  state.counters["construction_us"] = per_invoker * 1e6;
  state.counters["ratio_construction_vs_request"] = per_invoker / per_request;
}
BENCHMARK(BM_InvokerConstruction)->Unit(benchmark::kMicrosecond)->MinTime(0.3);

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
      auto part = openai::read_choice(Value::parse(chunk), "delta", "chunk", {});
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

}  // namespace

int main(int argc, char** argv) {
  if (zelq::bench::run_child_if_asked(argc, argv)) return 0;
  zelq::bench::start_server();  // forked before any thread starts
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
