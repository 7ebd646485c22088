// Benchmarks of the Perplexity deep researcher.
//
// BM_PerplexityResearch: one research call whose answer streams from a
// loopback server through the HTTP client, net::ChunkStream and the
// researcher (search activity, think-tag transformer, response events) to an
// event handler, or to no emitter at all (argument 0). Each chunk has the
// recorded shape (id, model, usage, citations, five search results, the
// choice's delta and message) at a constant size: the service's accumulated
// "message" grows with the answer, which makes the bytes themselves
// quadratic, so it holds the piece alone here.
//
// Counters, all measured in the same run:
//   chunks_per_second        the end-to-end rate of a 10,000-chunk answer;
//   ratio_linear_10k_vs_1k   the time per chunk of a 10,000-chunk answer
//                            divided by that of a 1,000-chunk answer, each
//                            less the time of an empty answer (the fixed
//                            cost of a call: server, connection, request);
//                            1.0 is linear;
//   ratio_vs_parse           the end-to-end time of the 10,000 chunks divided
//                            by the time SseParser and the JSON parser alone
//                            need for the same bytes.
//
// BM_PerplexityVsClient: ratio_vs_client (deep_research_bench.hpp) of a
// 10,000-chunk answer streamed to an event handler, against the Perplexity
// HTTP client reading the same chunks alone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "deep_research_bench.hpp"
#include "zelq/core/event.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/net/sse_parser.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"
#include "zelq/providers/perplexity/testing/transcript.hpp"

namespace {

namespace asio = boost::asio;
namespace dr = zelq::generation::deep_researcher;
namespace transcript = zelq::providers::perplexity::testing;
using Clock = std::chrono::steady_clock;
using zelq::core::Value;

Value search_results() {
  Value results = Value::array();
  for (int i = 1; i <= 5; ++i) {
    results.push_back({{"title", "Result " + std::to_string(i)},
                       {"url", "https://example.com/" + std::to_string(i)},
                       {"date", "2025-01-01"},
                       {"snippet", "A snippet of some length for result " + std::to_string(i)}});
  }
  return results;
}

// The data events of an answer of `count` chunks: a think section over the
// first tenth, then the answer.
std::vector<std::string> answer_events(std::size_t count) {
  static const Value results = search_results();
  std::vector<std::string> events;
  events.reserve(count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    std::string piece = i == 0 ? "<think>plan" : i == count / 10 ? "</think>tok " : " tok";
    events.push_back(transcript::data_event(transcript::wire_chunk(piece, piece, results)));
  }
  events.emplace_back(transcript::DONE_EVENT);
  return events;
}

double parse_seconds(const std::vector<std::string>& events) {
  const auto start = Clock::now();
  zelq::net::SseParser parser;
  std::vector<zelq::net::SseEvent> parsed;
  for (const auto& event : events) parser.feed(event, parsed);
  std::size_t fields = 0;
  for (const auto& event : parsed) {
    if (event.data != "[DONE]") fields += Value::parse(event.data).size();
  }
  benchmark::DoNotOptimize(fields);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds of one research call over `events`; counts the response events.
double research_seconds(const std::vector<std::string>& events, bool with_emitter,
                        std::size_t& response_events) {
  asio::io_context io;
  zelq::net::testing::LoopbackServer server(
      io, [&events](zelq::net::testing::Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.start_events();
        for (const auto& event : events) co_await exchange.chunk(event);
        co_await exchange.end_events();
      });
  dr::PerplexityDeepResearcher researcher(
      {.api_key = "pplx-bench",
       .client_factory =
           zelq::providers::perplexity::http_client_factory(Value{{"base_url", server.origin()}})});
  std::shared_ptr<zelq::core::EventEmitter> emitter;
  if (with_emitter) {
    emitter = std::make_shared<zelq::core::EventEmitter>();
    emitter->add_handler(
        [&response_events](const zelq::core::Event& event) -> asio::awaitable<void> {
          if (event.type == "response") ++response_events;
          co_return;
        });
  }
  dr::ResearchRequest request{.query = "bees", .event_emitter = emitter};
  const auto start = Clock::now();
  auto output = zelq::net::testing::run_client(io, server, researcher.research(std::move(request)));
  benchmark::DoNotOptimize(output.text().size());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_PerplexityResearch(benchmark::State& state) {
  const bool with_emitter = state.range(0) != 0;
  static const std::vector<std::string> small = answer_events(1'000);
  static const std::vector<std::string> large = answer_events(10'000);
  static const std::vector<std::string> empty = answer_events(0);
  double large_seconds = 0;
  double small_seconds = 0;
  double empty_seconds = 0;
  double parsing = 0;
  std::size_t responses = 0;
  for (auto _ : state) {
    const double elapsed = research_seconds(large, with_emitter, responses);
    state.SetIterationTime(elapsed);
    large_seconds += elapsed;
    small_seconds += research_seconds(small, with_emitter, responses);
    empty_seconds += research_seconds(empty, with_emitter, responses);
    parsing += parse_seconds(large);
  }
  if (with_emitter && responses == 0) state.SkipWithError("no response events");
  const double iterations = static_cast<double>(state.iterations());
  state.counters["chunks_per_second"] = 10'000 * iterations / large_seconds;
  state.counters["ratio_linear_10k_vs_1k"] =
      ((large_seconds - empty_seconds) / 10'000) / ((small_seconds - empty_seconds) / 1'000);
  state.counters["ratio_vs_parse"] = large_seconds / parsing;
}
BENCHMARK(BM_PerplexityResearch)
    ->ArgName("emitter")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

asio::awaitable<std::size_t> research_chunks(std::string origin) {
  dr::PerplexityDeepResearcher researcher(
      {.api_key = "pplx-bench",
       .client_factory =
           zelq::providers::perplexity::http_client_factory(Value{{"base_url", origin}})});
  std::size_t events = 0;
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&events](const zelq::core::Event&) -> asio::awaitable<void> {
    ++events;
    co_return;
  });
  dr::ResearchRequest request{.query = "bees", .event_emitter = emitter};
  const zelq::inference::LMOutput output = co_await researcher.research(std::move(request));
  co_return events + output.text().size();
}

asio::awaitable<std::size_t> read_chunks(std::string origin) {
  auto factory = zelq::providers::perplexity::http_client_factory(
      Value{{"base_url", origin}, {"api_key", "pplx-bench"}});
  zelq::providers::perplexity::PerplexityClientPtr client = factory(Value::object());
  zelq::providers::perplexity::ChatCompletionRequest request{
      .model = "sonar-deep-research", .messages = {{{"role", "user"}, {"content", "bees"}}}};
  auto stream = co_await client->create_chat_completion_stream(std::move(request));
  std::size_t pieces = 0;
  while (auto chunk = co_await stream->next()) pieces += chunk->choices.size();
  client->close();
  co_return pieces;
}

void BM_PerplexityVsClient(benchmark::State& state) {
  static const std::vector<std::string> large = answer_events(10'000);
  auto serve = [](zelq::net::testing::Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const auto& event : large) co_await exchange.chunk(event);
    co_await exchange.end_events();
  };
  deep_research_bench::Fastest cpu;
  for (auto _ : state) {
    cpu.add(deep_research_bench::cpu_seconds(
                serve, [](auto&&, const std::string& origin) { return research_chunks(origin); }),
            deep_research_bench::cpu_seconds(
                serve, [](auto&&, const std::string& origin) { return read_chunks(origin); }));
  }
  state.counters["ratio_vs_client"] = cpu.ratio();
}
BENCHMARK(BM_PerplexityVsClient)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
