// OrvoOpenDeepResearcher benchmarks, against the scripted Orvo service. Each
// reports a figure relative to a baseline of the same run:
//   StreamDispatch  ratio_vs_direct_emit: a research whose task streams 4096
//                   answer pieces (one response block) to an emitter,
//                   against emitting the same 4096 content events directly
//                   (target: within 5; each event passes through the
//                   stream's step, the dispatch and the text delta, three
//                   coroutines more than the direct emit).
//   BlockingStream  ratio_vs_async_stream: the same research with the stream
//                   stepped through a blocking iterator on the shared pool,
//                   one pool job per event, against the asynchronous stream
//                   (the price of keeping a blocking client off the loop).
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/event.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"

namespace {

namespace asio = boost::asio;
using zelq::core::Value;
using zelq::generation::deep_researcher::OrvoOpenDeepResearcher;
using zelq::generation::deep_researcher::ResearchRequest;
using zelq::providers::orvo::StreamEvent;
using zelq::providers::orvo::testing::ScriptedOrvoService;
using zelq::providers::orvo::testing::TaskScript;
using Clock = std::chrono::steady_clock;

constexpr int kPieces = 4096;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds to research one task of kPieces answer pieces.
double research_seconds(bool blocking) {
  auto service = ScriptedOrvoService::create();
  TaskScript script{.blocking_stream = blocking};
  for (int i = 0; i < kPieces; ++i) script.events.push_back(StreamEvent{"response", "piece "});
  service->add_task(std::move(script));
  const OrvoOpenDeepResearcher researcher(
      {.tools = std::vector{zelq::inference::NativeTool{
           .type = zelq::inference::NativeToolType::MCP_SERVER, .kwargs = {{"name", "s"}}}},
       .api_config = Value::object(),
       .client_factory = service->factory()});
  ResearchRequest request{.query = "q",
                          .event_emitter = std::make_shared<zelq::core::EventEmitter>()};
  const auto start = Clock::now();
  auto output = zelq::core::run_sync(researcher.research(std::move(request)));
  benchmark::DoNotOptimize(output);
  return seconds_since(start);
}

asio::awaitable<void> emit_directly(std::shared_ptr<zelq::core::EventEmitter> emitter) {
  for (int i = 0; i < kPieces; ++i) {
    zelq::core::Event event = zelq::inference::ResponseEvent::content("id", "piece ");
    co_await emitter->emit(std::move(event));
  }
}

double direct_emit_seconds() {
  const auto start = Clock::now();
  zelq::core::run_sync(emit_directly(std::make_shared<zelq::core::EventEmitter>()));
  return seconds_since(start);
}

// Ratios compare the fastest run of each side, which the load of a shared
// machine disturbs least.
void StreamDispatch(benchmark::State& state) {
  double researched = 1e9;
  double direct = 1e9;
  for (auto _ : state) {
    researched = std::min(researched, research_seconds(false));
    direct = std::min(direct, direct_emit_seconds());
  }
  state.counters["ratio_vs_direct_emit"] = researched / direct;
}
BENCHMARK(StreamDispatch)->Unit(benchmark::kMillisecond)->Iterations(50);

void BlockingStream(benchmark::State& state) {
  double blocking = 1e9;
  double async = 1e9;
  for (auto _ : state) {
    blocking = std::min(blocking, research_seconds(true));
    async = std::min(async, research_seconds(false));
  }
  state.counters["ratio_vs_async_stream"] = blocking / async;
}
BENCHMARK(BlockingStream)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
