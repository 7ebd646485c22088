// deep_research_bench: benchmarks of GoogleDeepResearcher over its HTTP client and a loopback
// server replaying the interactions API's wire.
//
// BM_GoogleStreamedResearch: a streamed research of 2048 answer deltas and
// 256 thought summaries (today's "step.delta" events) to an event handler:
// HTTP, SSE, JSON, delta routing, one event block per delta. The counter
// ratio_vs_client (deep_research_bench.hpp) compares its CPU with that of
// HttpInteractionsClient reading the same stream alone; deltas_per_second
// is the researcher's rate.
//
// BM_GooglePolledResearch: a research by status polling that is answered
// "in_progress" 64 times before it completes (waits of zero seconds). The
// counter ratio_vs_raw_gets is that time divided by the time of the same
// create and 65 GET requests through net::ApiClient, measured in the same
// run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <variant>

#include "deep_research_bench.hpp"
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace {

namespace asio = boost::asio;
namespace google = zelq::providers::google;
namespace wire = zelq::providers::google::testing;
using zelq::core::Value;
using zelq::generation::deep_researcher::GoogleDeepResearcher;
using zelq::generation::deep_researcher::GoogleDeepResearcherOptions;
using zelq::generation::deep_researcher::ResearchRequest;
using Clock = std::chrono::steady_clock;

constexpr int kTexts = 2048;
constexpr int kThoughts = 256;
constexpr int kPolls = 64;
const std::string kKey = "AIza-bench";

// Sends the stream in chunks of 32 events, as a server flushes them.
asio::awaitable<void> serve_stream(zelq::net::testing::Exchange& exchange) {
  co_await exchange.start_events();
  std::string chunk = wire::sse_frame(wire::created_event("int-b", "e0"));
  for (int i = 0; i < kTexts; ++i) {
    if (i % (kTexts / kThoughts) == 0) {
      chunk += wire::sse_frame(
          wire::thought_step_delta(0, " Considering the sources. ", "t" + std::to_string(i)));
    }
    chunk += wire::sse_frame(wire::text_step_delta(1, " word", "e" + std::to_string(i)));
    if (i % 32 == 31) co_await exchange.chunk(std::exchange(chunk, std::string()));
  }
  co_await exchange.chunk(chunk + wire::sse_frame(wire::completed_event("int-b", "end")));
  co_await exchange.end_events();
}

asio::awaitable<void> serve_polls(zelq::net::testing::Exchange& exchange, int& polls) {
  std::string answer;
  if (exchange.request.method == "POST" || ++polls <= kPolls) {
    answer = wire::interaction_record("int-p", "in_progress").dump();
  } else {
    polls = 0;
    answer = wire::interaction_record("int-p", "completed", {"Done."}).dump();
  }
  co_await exchange.respond(200, std::move(answer));
}

GoogleDeepResearcherOptions options_for(const std::string& base_url, bool show_progress) {
  return {.api_key = kKey,
          .retry_config = zelq::core::RetryConfig{.max_retries = 0, .timeout = 60},
          .show_progress = show_progress,
          .client_factory = [base_url](const Value& params) -> google::InteractionsClientPtr {
            auto options = google::HttpInteractionsOptions::from_client_params(params);
            options.base_url = base_url;
            return std::make_shared<google::HttpInteractionsClient>(options);
          },
          .sleep = [](double) -> asio::awaitable<void> { co_return; }};
}

asio::awaitable<std::size_t> research(const GoogleDeepResearcher& researcher) {
  std::size_t pieces = 0;
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([&pieces](const zelq::core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response" || event.type == "thinking") ++pieces;
    co_return;
  });
  ResearchRequest request{.query = "bench", .event_emitter = emitter};
  co_await researcher.research(std::move(request));
  co_return pieces;
}

zelq::net::ApiClient raw_client(const std::string& base_url) {
  zelq::net::ApiClientOptions options;
  options.base_url = base_url;
  options.api_key = kKey;
  return zelq::net::ApiClient(options);
}

asio::awaitable<std::size_t> raw_polls(zelq::net::ApiClient api) {
  Value body = {{"background", true}};
  co_await api.post_json("interactions", std::move(body));
  for (int i = 0; i <= kPolls; ++i) co_await api.get_json("interactions/int-p");
  co_return kPolls + 1;
}

template <class Client>
double timed(zelq::net::testing::LoopbackServer::Handler handler, Client client) {
  asio::io_context io;
  zelq::net::testing::LoopbackServer server(io, std::move(handler));
  auto start = Clock::now();
  benchmark::DoNotOptimize(zelq::net::testing::run_client(io, server, client(server.base_url())));
  return std::chrono::duration<double>(Clock::now() - start).count();
}

asio::awaitable<std::size_t> read_with_client(std::string base_url) {
  google::HttpInteractionsOptions options;
  options.base_url = std::move(base_url);
  options.api_key = kKey;
  auto client = std::make_shared<google::HttpInteractionsClient>(options);
  google::CreateInteractionRequest request{.input = "bench",
                                           .agent = "deep-research-preview-04-2026",
                                           .config = {{"background", true}, {"stream", true}}};
  google::CreateInteractionResult created = co_await client->create(std::move(request));
  auto& stream = std::get<google::InteractionEventStreamPtr>(created);
  std::size_t events = 0;
  while (auto event = co_await stream->next()) events += event->data.size();
  co_return events;
}

void BM_GoogleStreamedResearch(benchmark::State& state) {
  double research_seconds = 0;
  deep_research_bench::Fastest cpu;
  for (auto _ : state) {
    std::unique_ptr<GoogleDeepResearcher> researcher;
    const auto start = Clock::now();
    const double research_cpu =
        deep_research_bench::cpu_seconds(serve_stream, [&](const std::string& url, auto&&) {
          researcher = std::make_unique<GoogleDeepResearcher>(options_for(url, true));
          return research(*researcher);
        });
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    research_seconds += elapsed;
    cpu.add(research_cpu,
            deep_research_bench::cpu_seconds(serve_stream, [](const std::string& url, auto&&) {
              return read_with_client(url);
            }));
  }
  state.counters["deltas_per_second"] =
      static_cast<double>(kTexts + kThoughts) * static_cast<double>(state.iterations()) /
      research_seconds;
  state.counters["ratio_vs_client"] = cpu.ratio();
}
BENCHMARK(BM_GoogleStreamedResearch)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.3);

void BM_GooglePolledResearch(benchmark::State& state) {
  double research_seconds = 0;
  double raw_seconds = 0;
  int polls = 0;
  auto handler = [&polls](zelq::net::testing::Exchange& exchange) {
    return serve_polls(exchange, polls);
  };
  for (auto _ : state) {
    std::unique_ptr<GoogleDeepResearcher> researcher;
    const double elapsed = timed(handler, [&](const std::string& url) {
      researcher = std::make_unique<GoogleDeepResearcher>(options_for(url, false));
      return research(*researcher);
    });
    state.SetIterationTime(elapsed);
    research_seconds += elapsed;
    polls = 0;
    raw_seconds += timed(handler, [](const std::string& url) { return raw_polls(raw_client(url)); });
    polls = 0;
  }
  state.counters["ratio_vs_raw_gets"] = research_seconds / raw_seconds;
}
BENCHMARK(BM_GooglePolledResearch)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.3);

}  // namespace
