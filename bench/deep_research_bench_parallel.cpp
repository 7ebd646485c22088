// The Parallel researcher's event path: events of a task run through the
// idle-timeout wrapper and the dispatch (thinking blocks, read-sources
// activities), with an emitter that counts what it receives. Progress
// messages are kept as thinking in the output by design, so the memory
// figure uses events that keep nothing.
//
// Counters:
//   events_per_second        events through the whole research call
//   allocations_per_event    heap allocations per event
//   ratio_vs_bare_read       time per event against reading the same stream
//                            bare (no time-out, no dispatch, no events)
//   ratio_memory_10k_vs_1k   peak heap in use during a call of 10,000
//                            statistics events (an activity event each)
//                            against one of 1,000, beyond what the returned
//                            output keeps (1.0 means flat)
//
// BM_ParallelVsClient: ratio_vs_client (deep_research_bench.hpp) of a run of
// 10,000 events (three progress messages, then a statistics event, in turn)
// streamed from a loopback server through HttpTaskRunClient and the
// researcher to a counting emitter, against the same client reading the
// run's events and result alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>

#include <malloc.h>

#include "deep_research_bench.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"
#include "zelq/providers/parallel/testing/scripted_task_run_client.hpp"

namespace {

std::atomic<long long> g_allocations{0};
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

}  // namespace

// Counting replacements of the global allocation functions; the live size
// of a block is what malloc reserved for it.
__attribute__((noinline)) void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const auto bytes = static_cast<long long>(malloc_usable_size(block));
  const long long live = g_live.fetch_add(bytes) + bytes;
  long long peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return block;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
__attribute__((noinline)) void operator delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  g_live.fetch_sub(static_cast<long long>(malloc_usable_size(pointer)));
  std::free(pointer);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }

namespace {

namespace asio = boost::asio;
namespace dr = zelq::generation::deep_researcher;
namespace pp = zelq::providers::parallel;

enum class Mix {
  // Three progress messages, then a statistics event, in turn.
  MESSAGES_AND_STATS,
  // Statistics events only, each naming one new source: an activity event
  // each and nothing kept in the output.
  STATS,
};

// A stream that makes its events as they are read.
class GeneratedStream : public pp::TaskRunEventStream {
 public:
  GeneratedStream(long long count, Mix mix) : count_(count), mix_(mix) {}
  asio::awaitable<std::optional<pp::TaskRunEvent>> next() override {
    if (index_ >= count_) co_return std::nullopt;
    const long long i = index_++;
    if (mix_ == Mix::MESSAGES_AND_STATS && i % 4 != 3) {
      co_return pp::testing::progress_message("Searching for sources", "search");
    }
    // The service's sample holds the source counted before and a new one.
    co_return pp::testing::progress_stats({"https://s/0", "https://s/" + std::to_string(i)}, 1);
  }

 private:
  long long count_;
  Mix mix_;
  long long index_ = 0;
};

class GeneratedClient : public pp::TaskRunClient {
 public:
  GeneratedClient(long long count, Mix mix) : count_(count), mix_(mix) {}
  asio::awaitable<pp::TaskRun> create(zelq::core::Value) const override {
    co_return pp::TaskRun{.run_id = "run", .status = "queued"};
  }
  asio::awaitable<std::unique_ptr<pp::TaskRunEventStream>> events(
      std::string, std::optional<double>) const override {
    co_return std::make_unique<GeneratedStream>(count_, mix_);
  }
  asio::awaitable<pp::TaskRunResult> result(std::string, std::optional<double>) const override {
    co_return pp::testing::text_result("run", "done");
  }

 private:
  long long count_;
  Mix mix_;
};

struct Run {
  double seconds = 0;
  long long allocations = 0;
  // Peak heap in use during the call beyond what the returned output keeps
  // (its thinking records, which grow with the messages by design).
  long long working_bytes = 0;
};

Run research(long long events, Mix mix) {
  auto client = std::make_shared<const GeneratedClient>(events, mix);
  dr::ParallelDeepResearcher researcher(
      {.retry_config = zelq::core::RetryConfig{.max_retries = 0},
       .client_factory = [client](const zelq::core::Value&) { return client; }});
  auto received = std::make_shared<long long>(0);
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([received](const zelq::core::Event&) -> asio::awaitable<void> {
    ++*received;
    co_return;
  });
  const long long allocations = g_allocations.load();
  g_peak.store(g_live.load());
  const long long base = g_live.load();
  const auto start = std::chrono::steady_clock::now();
  auto output = zelq::core::run_sync(researcher.research({.query = "q", .event_emitter = emitter}));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long long retained = g_live.load() - base;
  Run run{seconds, g_allocations.load() - allocations, g_peak.load() - base - retained};
  benchmark::DoNotOptimize(output);
  return run;
}

asio::awaitable<long long> read_bare(long long events) {
  GeneratedStream stream(events, Mix::MESSAGES_AND_STATS);
  long long seen = 0;
  while (auto event = co_await stream.next()) seen += static_cast<long long>(event->type.size());
  co_return seen;
}

double bare_seconds(long long events) {
  const auto start = std::chrono::steady_clock::now();
  benchmark::DoNotOptimize(zelq::core::run_sync(read_bare(events)));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ParallelResearchEvents(benchmark::State& state) {
  const long long events = state.range(0);
  double seconds = 0;
  double bare = 0;
  long long allocations = 0;
  for (auto _ : state) {
    const Run run = research(events, Mix::MESSAGES_AND_STATS);
    seconds += run.seconds;
    allocations += run.allocations;
    bare += bare_seconds(events);
  }
  const double total = static_cast<double>(events) * static_cast<double>(state.iterations());
  state.counters["events_per_second"] = total / seconds;
  state.counters["allocations_per_event"] = static_cast<double>(allocations) / total;
  state.counters["ratio_vs_bare_read"] = seconds / bare;
  // The 1,000-event call runs with the same warm allocator state first.
  research(1'000, Mix::STATS);
  const Run small = research(1'000, Mix::STATS);
  const Run large = research(10'000, Mix::STATS);
  state.counters["ratio_memory_10k_vs_1k"] =
      static_cast<double>(large.working_bytes) /
      static_cast<double>(std::max(small.working_bytes, 1LL));
}

BENCHMARK(BM_ParallelResearchEvents)->Arg(10'000)->Unit(benchmark::kMillisecond);

constexpr int kWireEvents = 10'000;

std::string wire_event(int i) {
  if (i % 4 != 3) {
    return "event: task_run.progress_msg.search\n"
           R"(data: {"type":"task_run.progress_msg.search","message":"Searching for sources",)"
           R"("timestamp":"2025-07-24T10:00:00Z"})"
           "\n\n";
  }
  return "event: task_run.progress_stats\n"
         R"(data: {"type":"task_run.progress_stats","progress_meter":12.5,"source_stats":)"
         R"({"num_sources_considered":40,"num_sources_read":)" +
         std::to_string(i) + R"(,"sources_read_sample":["https://s/0","https://s/)" +
         std::to_string(i) +
         R"("]}})"
         "\n\n";
}

asio::awaitable<void> serve_run(zelq::net::testing::Exchange& exchange) {
  const std::string& target = exchange.request.target;
  if (exchange.request.method == "POST") {
    co_await exchange.respond(202, R"({"run_id":"trun_b","status":"queued"})");
  } else if (target.ends_with("/events")) {
    co_await exchange.start_events();
    std::string chunk;
    for (int i = 0; i < kWireEvents; ++i) {
      chunk += wire_event(i);
      if (i % 32 == 31) co_await exchange.chunk(std::exchange(chunk, std::string()));
    }
    co_await exchange.chunk(chunk);
    co_await exchange.end_events();
  } else {
    co_await exchange.respond(200, R"({"run":{"run_id":"trun_b","status":"completed"},)"
                                   R"("output":{"type":"text","content":"Done.","basis":[]}})");
  }
}

pp::HttpTaskRunClientOptions wire_options(std::string origin) {
  pp::HttpTaskRunClientOptions options;
  options.base_url = std::move(origin);
  options.api_key = "bench";
  return options;
}

asio::awaitable<long long> research_over_http(std::string origin) {
  dr::ParallelDeepResearcher researcher(
      {.retry_config = zelq::core::RetryConfig{.max_retries = 0},
       .client_factory = pp::http_task_run_client_factory(wire_options(std::move(origin)))});
  std::size_t received = 0;
  dr::ResearchRequest request{.query = "q",
                              .event_emitter = deep_research_bench::counting_emitter(received)};
  const zelq::inference::LMOutput output = co_await researcher.research(std::move(request));
  co_return static_cast<long long>(received + output.text().size());
}

asio::awaitable<long long> read_over_http(std::string origin) {
  const pp::HttpTaskRunClient client(wire_options(std::move(origin)));
  zelq::core::Value params = {{"input", "q"}, {"processor", "ultra"}};
  const pp::TaskRun run = co_await client.create(std::move(params));
  auto open = client.events(run.run_id, std::nullopt);
  std::unique_ptr<pp::TaskRunEventStream> events = co_await std::move(open);
  long long seen = 0;
  while (auto event = co_await events->next()) seen += static_cast<long long>(event->type.size());
  events->close();
  auto fetch = client.result(run.run_id, std::nullopt);
  const pp::TaskRunResult result = co_await std::move(fetch);
  co_return seen + static_cast<long long>(result.output.size());
}

void BM_ParallelVsClient(benchmark::State& state) {
  deep_research_bench::Fastest cpu;
  for (auto _ : state) {
    cpu.add(deep_research_bench::cpu_seconds(
                serve_run,
                [](auto&&, const std::string& origin) { return research_over_http(origin); }),
            deep_research_bench::cpu_seconds(serve_run, [](auto&&, const std::string& origin) {
              return read_over_http(origin);
            }));
  }
  state.counters["ratio_vs_client"] = cpu.ratio();
}
BENCHMARK(BM_ParallelVsClient)->Unit(benchmark::kMillisecond)->Iterations(12);

}  // namespace
