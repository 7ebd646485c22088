// answer_memory_bench: what a stream or a thread keeps, whatever the server
// sent. Each case runs in a fresh process (forked) against a loopback server
// forked apart, after a warm-up call.
//
// BM_ThreadKeptMemory: 64 threads each make three blocking (run_sync)
// streamed calls through OpenAILMInvoker, the second with one chunk of
// 16,000 bytes of {} choices among its chunks of the usual shape, and then stay
// alive; kept_kib_per_thread is the growth of the heap in use per thread
// once all have called (target: < 256 KiB), rss_kib_per_thread the growth
// of the resident set per thread (their stacks included; informative).
//
// BM_GoogleEventIdsRss: one streamed interaction of 1,000 events whose ids
// are 100 KB each, on one connection, through HttpInteractionsClient, the
// caller dropping every event; peak_rss_growth_mb is the growth of the peak
// resident set over it (target: < 16 MB).
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bench_process.hpp"
#include "forked_server.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"

namespace {

namespace asio = boost::asio;
namespace google = zelq::providers::google;
namespace openai = zelq::providers::openai;
namespace wire = zelq::providers::google::testing;
using zelq::bench::ForkedServer;
using zelq::core::Value;

constexpr int kThreads = 64;

// `data` as one HTTP chunk of one SSE event.
std::string chunked_event(const std::string& data) {
  const std::string event = "data: " + data + "\n\n";
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", event.size());
  return size + event + "\r\n";
}

// A streamed chat answer of 64 chunks of the usual shape, with one of
// 16,000 bytes of {} choices among them when `large`.
std::string chat_stream(bool large) {
  std::string framed;
  for (int i = 0; i < 64; ++i) {
    framed += chunked_event(
        R"({"id":"chatcmpl-8x","object":"chat.completion.chunk","created":1700000000,)"
        R"("model":"gpt-4o","system_fingerprint":"fp_1","choices":[{"index":0,)"
        R"("delta":{"content":" word"},"logprobs":null,"finish_reason":null}]})");
    if (large && i == 32) {
      std::string choices = R"({"choices":[{})";
      while (choices.size() < 16'000) choices += ",{}";
      framed += chunked_event(choices + "]}");
    }
  }
  return framed + chunked_event("[DONE]") + "0\r\n\r\n";
}

// A streamed interaction: `events` text deltas whose ids take `id_bytes`
// each, in writes of 16 events, then its completion.
asio::awaitable<void> interaction_stream(zelq::net::testing::Exchange& exchange, std::size_t events,
                                         std::size_t id_bytes) {
  co_await exchange.start_events();
  std::string chunk = wire::sse_frame(wire::created_event("int-b", "e"));
  const std::string id(id_bytes, 'i');
  for (std::size_t i = 0; i < events; ++i) {
    chunk += wire::sse_frame(wire::text_step_delta(0, " word", id + std::to_string(i)));
    if (i % 16 == 15) co_await exchange.chunk(std::exchange(chunk, std::string()));
  }
  co_await exchange.chunk(chunk + wire::sse_frame(wire::completed_event("int-b", "end")));
  co_await exchange.end_events();
}

// "/v1/chat/completions" streams the chat answer ("user" "large" for the
// large chunk); "/v1/interactions" the interaction its input names
// ("<events>:<id bytes>").
asio::awaitable<void> serve(zelq::net::testing::Exchange& exchange) {
  const std::string& body = exchange.request.body;
  if (exchange.request.target == "/v1/chat/completions") {
    const bool large = body.find("\"user\":\"large\"") != std::string::npos;
    co_await exchange.write(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
        chat_stream(large));
    co_return;
  }
  const Value request = Value::parse(body);
  const std::string input = request.value("input", std::string("1:1"));
  char* end = nullptr;
  const std::size_t events = std::strtoul(input.c_str(), &end, 10);
  co_await interaction_stream(exchange, events, std::strtoul(end + 1, nullptr, 10));
}

// The server, forked at the first call.
const ForkedServer& server() { return zelq::bench::forked_server<serve>(); }

// One blocking streamed chat call, its pieces dropped.
void blocking_call(const std::string& base_url, const std::string& user) {
  const Value config = {{"base_url", base_url}, {"max_retries", 0}};
  auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/gpt-4o", "sk-bench", config);
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = emitter;
  options.hyperparameters = Value{{"user", user}};
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  zelq::core::run_sync(invoker->invoke(std::move(messages), std::move(options)));
}

struct ThreadsKept {
  double heap_bytes = 0;
  double rss_bytes = 0;
};

void BM_ThreadKeptMemory(benchmark::State& state) {
  const std::string base_url = server().base_url;
  ThreadsKept kept;
  for (auto _ : state) {
    kept = zelq::bench::from_child([&base_url] {
      blocking_call(base_url, "usual");
      const std::size_t heap_before = zelq::bench::heap_in_use();
      const std::size_t rss_before = zelq::bench::status_kb("VmRSS:");
      std::latch called(kThreads);
      std::latch measured(1);
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
          for (const char* user : {"usual", "large", "usual"}) blocking_call(base_url, user);
          called.count_down();
          measured.wait();
        });
      }
      called.wait();
      ThreadsKept result{
          .heap_bytes = static_cast<double>(zelq::bench::heap_in_use() - heap_before),
          .rss_bytes = static_cast<double>(zelq::bench::status_kb("VmRSS:") - rss_before) * 1024};
      measured.count_down();
      for (std::thread& thread : threads) thread.join();
      return result;
    });
  }
  state.counters["kept_kib_per_thread"] = kept.heap_bytes / kThreads / 1024;
  state.counters["rss_kib_per_thread"] = kept.rss_bytes / kThreads / 1024;
}
BENCHMARK(BM_ThreadKeptMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reads the streamed interaction that `input` names to its end.
asio::awaitable<void> read_interaction(std::string base_url, std::string input) {
  google::HttpInteractionsOptions options;
  options.base_url = base_url;
  options.api_key = "AIza-bench";
  google::HttpInteractionsClient client(options);
  google::CreateInteractionRequest request{
      .input = std::move(input), .agent = "deep-research-x", .config = {{"stream", true}}};
  google::CreateInteractionResult created = co_await client.create(std::move(request));
  auto& stream = std::get<google::InteractionEventStreamPtr>(created);
  while (co_await stream->next()) {
  }
}

void BM_GoogleEventIdsRss(benchmark::State& state) {
  const std::string base_url = server().base_url;
  zelq::bench::Measured measured;
  for (auto _ : state) {
    measured = zelq::bench::run_in_child([&](bool warm_up) {
      asio::io_context io;
      zelq::bench::run(io, read_interaction(base_url, warm_up ? "16:100" : "1000:100000"));
    });
  }
  state.counters["peak_rss_growth_mb"] = measured.peak_growth_bytes / 1e6;
  state.counters["refused"] = measured.refused;
}
BENCHMARK(BM_GoogleEventIdsRss)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
