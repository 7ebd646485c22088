// Benchmarks of zelq::net.
//
// BM_SseParse: throughput of SseParser::feed on an event stream shaped like a
// model's streamed completion, fed in reads of 1 byte to 64 KiB. The counter
// ratio_vs_memchr is the parse time divided by the time of one memchr('\n')
// pass over the same bytes, both measured in the same run.
//
// BM_StreamedTokens: a streamed answer of 4096 one-token pieces from a
// loopback server through OpenAILMInvoker to an event handler (HTTP, SSE,
// JSON, events). The counter tokens_per_second is the end-to-end rate;
// ratio_vs_sse_parse is the end-to-end time divided by the time SseParser
// alone needs for the same bytes, both measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "zelq/net/sse_parser.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/net/testing/loopback_server.hpp"
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

constexpr std::size_t kTokens = 4096;

std::string token_stream() {
  std::string out;
  for (std::size_t i = 0; i < kTokens; ++i) out += openai::testing::content_event(" tok");
  return out + "data: [DONE]\n\n";
}

// Sends each token event as its own chunk, as a model server does.
asio::awaitable<void> serve_tokens(zelq::net::testing::Exchange& exchange) {
  const std::string event = openai::testing::content_event(" tok");
  co_await exchange.start_events();
  for (std::size_t i = 0; i < kTokens; ++i) co_await exchange.chunk(event);
  co_await exchange.chunk("data: [DONE]\n\n");
  co_await exchange.end_events();
}

asio::awaitable<std::size_t> stream_tokens(zelq::inference::LMInvokerPtr invoker) {
  std::size_t pieces = 0;
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&pieces](const zelq::core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response") ++pieces;
    co_return;
  });
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = emitter;
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  co_await invoker->invoke(std::move(messages), std::move(options));
  co_return pieces;
}

void BM_StreamedTokens(benchmark::State& state) {
  const std::string bytes = token_stream();
  double stream_seconds = 0;
  double parse_seconds = 0;
  std::size_t tokens = 0;
  for (auto _ : state) {
    asio::io_context io;
    zelq::net::testing::LoopbackServer server(io, serve_tokens);
    auto config = zelq::core::Value{{"base_url", server.base_url()}};
    auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/bench", "sk-bench", config);
    auto start = Clock::now();
    tokens += zelq::net::testing::run_client(io, server, stream_tokens(invoker));
    auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    stream_seconds += elapsed;

    start = Clock::now();
    std::vector<zelq::net::SseEvent> events;
    zelq::net::SseParser parser;
    parser.feed(bytes, events);
    benchmark::DoNotOptimize(events.data());
    parse_seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  if (tokens != kTokens * state.iterations()) state.SkipWithError("tokens lost");
  state.counters["tokens_per_second"] = static_cast<double>(tokens) / stream_seconds;
  state.counters["ratio_vs_sse_parse"] = stream_seconds / parse_seconds;
}
BENCHMARK(BM_StreamedTokens)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.3);

}  // namespace

BENCHMARK_MAIN();
