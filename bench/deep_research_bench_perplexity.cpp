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
// Times are the CPU time of the one thread that runs server and client.
// Counters, all measured in the same run:
//   chunks_per_second        the end-to-end rate of a 10,000-chunk answer;
//   ratio_linear_10k_vs_1k   the time per chunk of a 10,000-chunk answer
//                            divided by that of a 1,000-chunk answer, each
//                            less the time of an empty answer (the fixed
//                            cost of a call: server, connection, request);
//                            1.0 is linear;
//   ratio_vs_parse           the end-to-end time of the 10,000 chunks divided
//                            by the time SseParser and the JSON parser alone
//                            need for the same bytes;
//   ratio_vs_raw_events      the end-to-end time of the 10,000 chunks divided
//                            by the time net::ApiClient needs to read the same
//                            stream's events without looking into them: the
//                            researcher's and its client's cost per chunk
//                            against the transport's;
//   ratio_client_vs_raw_events  the same for the Perplexity client alone
//                            (chunks read, nothing done with them).
//
// BM_PerplexityLongAnswer: the service's own shape, where each chunk's
// "message" holds the whole answer so far: 2,000 chunks of 10 bytes, the
// last one carrying about 20 KB, to an event handler. The ratios as above.
//
// BM_PerplexityVsClient: ratio_vs_client (deep_research_bench.hpp) of a
// 10,000-chunk answer streamed to an event handler, against the Perplexity
// HTTP client reading the same chunks alone.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "deep_research_bench.hpp"
#include "zelq/core/event.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/sse_parser.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"
#include "zelq/providers/perplexity/testing/transcript.hpp"

namespace {

namespace asio = boost::asio;
namespace dr = zelq::generation::deep_researcher;
namespace pplx = zelq::providers::perplexity;
namespace transcript = zelq::providers::perplexity::testing;
// CPU time of this thread, which runs both the server and the client: the
// figures are costs per chunk, and stay comparable on a loaded machine.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return time_point(duration(std::chrono::seconds(now.tv_sec) + duration(now.tv_nsec)));
  }
};
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

// Seconds `read` takes over a loopback server that streams `events`; `read`
// gets the server's origin and returns the awaitable to run.
template <class Read>
double seconds_of(const std::vector<std::string>& events, Read read) {
  asio::io_context io;
  zelq::net::testing::LoopbackServer server(
      io, [&events](zelq::net::testing::Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.start_events();
        for (const auto& event : events) co_await exchange.chunk(event);
        co_await exchange.end_events();
      });
  auto call = read(server.origin());
  const auto start = Clock::now();
  benchmark::DoNotOptimize(zelq::net::testing::run_client(io, server, std::move(call)));
  return std::chrono::duration<double>(Clock::now() - start).count();
}

asio::awaitable<std::size_t> read_raw(zelq::net::ApiClient api) {
  Value body = {{"stream", true}};
  auto stream = co_await api.post_events("chat/completions", std::move(body));
  std::size_t count = 0;
  while (co_await stream.next()) ++count;
  co_return count;
}

asio::awaitable<std::size_t> read_chunks(pplx::PerplexityClientPtr client) {
  pplx::ChatCompletionRequest request;
  request.model = "sonar-deep-research";
  auto stream = co_await client->create_chat_completion_stream(std::move(request));
  std::size_t count = 0;
  while (co_await stream->next()) ++count;
  co_return count;
}

asio::awaitable<std::size_t> research(const dr::PerplexityDeepResearcher& researcher,
                                      dr::ResearchRequest request) {
  co_return (co_await researcher.research(std::move(request))).text().size();
}

// Reading the events without looking into them: net::ApiClient's own cost.
double raw_seconds(const std::vector<std::string>& events) {
  return seconds_of(events, [](const std::string& origin) {
    zelq::net::ApiClientOptions options;
    options.base_url = origin;
    options.api_key = "pplx-bench";
    return read_raw(zelq::net::ApiClient(options));
  });
}

// Reading the chunks through the Perplexity client, as the researcher does.
double client_seconds(const std::vector<std::string>& events) {
  return seconds_of(events, [](const std::string& origin) {
    return read_chunks(
        pplx::http_client_factory(Value{{"base_url", origin}})(Value{{"api_key", "k"}}));
  });
}

// One research call over `events`; counts the response events.
double research_seconds(const std::vector<std::string>& events, bool with_emitter,
                        std::size_t& response_events) {
  std::shared_ptr<zelq::core::EventEmitter> emitter;
  if (with_emitter) {
    emitter = std::make_shared<zelq::core::EventEmitter>();
    emitter->add_handler(
        [&response_events](const zelq::core::Event& event) -> asio::awaitable<void> {
          if (event.type == "response") ++response_events;
          co_return;
        });
  }
  std::unique_ptr<dr::PerplexityDeepResearcher> researcher;
  return seconds_of(events, [&](const std::string& origin) {
    researcher = std::make_unique<dr::PerplexityDeepResearcher>(dr::PerplexityDeepResearcherOptions{
        .api_key = "pplx-bench",
        .client_factory = pplx::http_client_factory(Value{{"base_url", origin}})});
    dr::ResearchRequest request{.query = "bees", .event_emitter = emitter};
    return research(*researcher, std::move(request));
  });
}

// The research, raw and client times of one stream, summed over the
// iterations, and their ratios.
struct Costs {
  double research = 0;
  double raw = 0;
  double client = 0;

  // Measures all three; returns the research time.
  double measure(const std::vector<std::string>& events, bool with_emitter,
                 std::size_t& responses) {
    const double elapsed = research_seconds(events, with_emitter, responses);
    research += elapsed;
    raw += raw_seconds(events);
    client += client_seconds(events);
    return elapsed;
  }

  void report(benchmark::State& state) const {
    state.counters["ratio_vs_raw_events"] = research / raw;
    state.counters["ratio_client_vs_raw_events"] = client / raw;
  }
};

void BM_PerplexityResearch(benchmark::State& state) {
  const bool with_emitter = state.range(0) != 0;
  static const std::vector<std::string> small = answer_events(1'000);
  static const std::vector<std::string> large = answer_events(10'000);
  static const std::vector<std::string> empty = answer_events(0);
  Costs costs;
  double small_seconds = 0;
  double empty_seconds = 0;
  double parsing = 0;
  std::size_t responses = 0;
  for (auto _ : state) {
    state.SetIterationTime(costs.measure(large, with_emitter, responses));
    small_seconds += research_seconds(small, with_emitter, responses);
    empty_seconds += research_seconds(empty, with_emitter, responses);
    parsing += parse_seconds(large);
  }
  const double large_seconds = costs.research;
  if (with_emitter && responses == 0) state.SkipWithError("no response events");
  const double iterations = static_cast<double>(state.iterations());
  state.counters["chunks_per_second"] = 10'000 * iterations / large_seconds;
  state.counters["ratio_linear_10k_vs_1k"] =
      ((large_seconds - empty_seconds) / 10'000) / ((small_seconds - empty_seconds) / 1'000);
  state.counters["ratio_vs_parse"] = large_seconds / parsing;
  costs.report(state);
}
BENCHMARK(BM_PerplexityResearch)
    ->ArgName("emitter")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

void BM_PerplexityLongAnswer(benchmark::State& state) {
  static const std::vector<std::string> events = [] {
    std::vector<std::string> pieces = {"<think>plan"};
    for (int i = 0; i < 200; ++i) pieces.emplace_back(" thought ");
    pieces.emplace_back("</think>");
    while (pieces.size() < 2'000) pieces.emplace_back(" answer ..");
    std::vector<std::string> framed = transcript::answer_events(pieces, search_results());
    framed.emplace_back(transcript::DONE_EVENT);
    return framed;
  }();
  Costs costs;
  std::size_t responses = 0;
  for (auto _ : state) state.SetIterationTime(costs.measure(events, true, responses));
  if (responses == 0) state.SkipWithError("no response events");
  state.counters["last_chunk_bytes"] = static_cast<double>(events[events.size() - 2].size());
  costs.report(state);
}
BENCHMARK(BM_PerplexityLongAnswer)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5);
asio::awaitable<std::size_t> research_chunks(std::string origin) {
  dr::PerplexityDeepResearcher researcher(
      {.api_key = "pplx-bench",
       .client_factory =
           zelq::providers::perplexity::http_client_factory(Value{{"base_url", origin}})});
  std::size_t events = 0;
  dr::ResearchRequest request{.query = "bees",
                              .event_emitter = deep_research_bench::counting_emitter(events)};
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
