// Benchmarks of the deep researchers' streams.
//
// BM_ResponsesStream: a streamed OpenAI response of N events (a quarter
// reasoning-summary deltas, the rest answer-text deltas with a citation
// every 50 events) from a loopback server through OpenAILMInvoker into an
// LMOutput, every event reaching an emitter. Each event is its own chunk, as
// the service sends them. The counter events_per_second is the end-to-end
// rate of N events; ratio_10k_vs_1k is the time of 10,000 events divided by
// the time of 1,000, both measured in the same run (about 10 when nothing
// grows faster than the stream: no quadratic copying of the text).
//
// BM_ResponsesCitations: the citations of a streamed OpenAI response whose
// text of N sentences (16 characters, 22 bytes: characters of one to four
// bytes) carries a url_citation annotation on every third sentence (the
// most a response may carry: one per 64 bytes of text), each of one
// sentence, from the last sentence to the first. Only finish(), which turns the characters into
// bytes and quotes the spans, is timed, at N = 10,000 and 100,000:
// ratio_linear_100k_vs_10k (linear_scaling.hpp) is about 1 when the
// citations cost O(text + annotations), about 10 when each one reads the
// text up to its span.
//
// BM_OpenAIResearch: the same stream of 10,000 events through
// OpenAIDeepResearcher (its invoker built by the provider registry, pointed
// at the loopback server) to a counting emitter; ratio_vs_client
// (deep_research_bench.hpp) compares its CPU with that of the
// OpenAILMInvoker the researcher is built on, invoked directly with the
// same emitter.
#include <benchmark/benchmark.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "deep_research_bench.hpp"
#include "linear_scaling.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/event.hpp"
#include "zelq/generation/deep_researcher/openai_deep_researcher.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"
#include "zelq/providers/openai/detail/responses_stream.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"
#include "zelq/providers/registry.hpp"

namespace {

namespace asio = boost::asio;
namespace openai = zelq::providers::openai;
using Clock = std::chrono::steady_clock;
using zelq::core::Value;

std::vector<std::string> make_events(std::size_t count) {
  std::vector<std::string> events;
  events.reserve(count);
  const Value response = {{"id", "resp_bench"}, {"status", "queued"}};
  events.push_back(
      openai::testing::responses_event("response.created", 0, {{"response", response}}));
  const Value summary = {{"item_id", "rs_1"}, {"summary_index", 0}, {"delta", "thinking a bit "}};
  const Value text = {{"item_id", "msg_1"}, {"content_index", 0}, {"delta", "some answer text "}};
  const Value note = {{"item_id", "msg_1"},
                      {"content_index", 0},
                      {"annotation",
                       {{"type", "url_citation"},
                        {"start_index", 0},
                        {"end_index", 10},
                        {"url", "https://example.org/source"},
                        {"title", "Source"}}}};
  for (std::size_t i = 1; i + 1 < count; ++i) {
    const auto sequence = static_cast<long long>(i);
    if (i < count / 4) {
      events.push_back(openai::testing::responses_event("response.reasoning_summary_text.delta",
                                                        sequence, summary));
    } else if (i % 50 == 0) {
      events.push_back(openai::testing::responses_event("response.output_text.annotation.added",
                                                        sequence, note));
    } else {
      events.push_back(
          openai::testing::responses_event("response.output_text.delta", sequence, text));
    }
  }
  events.push_back(openai::testing::responses_event(
      "response.completed", static_cast<long long>(count - 1), {{"response", response}}));
  return events;
}

asio::awaitable<std::size_t> research(zelq::inference::LMInvokerPtr invoker) {
  std::size_t received = 0;
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = deep_research_bench::counting_emitter(received);
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  const zelq::inference::LMOutput output =
      co_await invoker->invoke(std::move(messages), std::move(options));
  benchmark::DoNotOptimize(output.text().size());
  co_return received + output.citations().size();
}

// Seconds for one streamed response of `events`; `received` counts the
// events the emitter saw and the citations.
double seconds_of(const std::vector<std::string>& events, std::size_t& received) {
  asio::io_context io;
  zelq::net::testing::LoopbackServer server(
      io, [&events](zelq::net::testing::Exchange& exchange) -> asio::awaitable<void> {
        co_await exchange.start_events();
        for (const std::string& event : events) co_await exchange.chunk(event);
        co_await exchange.end_events();
      });
  const Value config = {{"base_url", server.base_url()}, {"thinking", true}};
  auto invoker =
      std::make_shared<openai::OpenAILMInvoker>("openai/o3-deep-research", "sk-bench", config);
  const auto start = Clock::now();
  received += zelq::net::testing::run_client(io, server, research(invoker));
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_ResponsesStream(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string> events = make_events(count);
  const std::vector<std::string> small = make_events(1000);
  const std::vector<std::string> large = make_events(10000);
  double seconds = 0;
  double small_seconds = 0;
  double large_seconds = 0;
  std::size_t received = 0;
  for (auto _ : state) {
    const double elapsed = seconds_of(events, received);
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    std::size_t ignored = 0;
    small_seconds += seconds_of(small, ignored);
    large_seconds += seconds_of(large, ignored);
  }
  if (received == 0) state.SkipWithError("no event reached the emitter");
  state.counters["events_per_second"] = static_cast<double>(count * state.iterations()) / seconds;
  state.counters["ratio_10k_vs_1k"] = large_seconds / small_seconds;
}
BENCHMARK(BM_ResponsesStream)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

// The events of a response of `sentences` sentences, cited one by one from
// the last (every third one), as the reader takes them.
std::vector<zelq::net::SseEvent> cited_events(std::size_t sentences) {
  const Value where = {{"item_id", "msg_1"}, {"content_index", 0}};
  std::vector<zelq::net::SseEvent> events;
  auto add = [&events](std::string type, Value data) {
    data["type"] = type;
    zelq::net::SseEvent event;
    event.event = std::move(type);
    event.data = data.dump();
    events.push_back(std::move(event));
  };
  add("response.created", {{"response", {{"id", "resp_bench"}}}});
  std::string delta;
  for (std::size_t k = 0; k < sentences; ++k) {
    delta += "Fact " + std::to_string(100'000 + k).substr(1) + " \u00e9\u20ac\U00010348. ";
    if (delta.size() >= 4096 || k + 1 == sentences) {
      Value data = where;
      data["delta"] = std::exchange(delta, std::string());
      add("response.output_text.delta", std::move(data));
    }
  }
  for (std::size_t i = 0; i < sentences; ++i) {
    const auto k = static_cast<long long>(sentences - 1 - i);
    if (k % 3 != 0) continue;
    Value data = where;
    data["annotation"] = {{"type", "url_citation"},
                          {"start_index", 16 * k},
                          {"end_index", 16 * k + 16},
                          {"url", "https://example.org/" + std::to_string(k)},
                          {"title", "Source"}};
    add("response.output_text.annotation.added", std::move(data));
  }
  return events;
}

asio::awaitable<void> take_all(openai::ResponsesStreamReader& reader,
                               const std::vector<zelq::net::SseEvent>& events) {
  for (const zelq::net::SseEvent& event : events) co_await reader.take(event);
}

void BM_ResponsesCitations(benchmark::State& state) {
  zelq::bench::measure_linear_scaling(state, [](std::size_t sentences) {
    const std::vector<zelq::net::SseEvent> events = cited_events(sentences);
    openai::ResponsesStreamReader reader(nullptr, "bench", zelq::net::Quoting("sk-bench"),
                                         openai::kMaxAnswerSize);
    zelq::core::run_sync(take_all(reader, events));
    const auto start = Clock::now();
    const zelq::inference::LMOutput output = zelq::core::run_sync(reader.finish());
    const auto elapsed = Clock::now() - start;
    if (output.citations().size() != (sentences + 2) / 3) {
      throw std::logic_error("citations lost");
    }
    return elapsed;
  });
}
BENCHMARK(BM_ResponsesCitations)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

asio::awaitable<std::size_t> research_openai(std::string base_url) {
  zelq::providers::register_lm_provider(
      "openai", [base_url](const zelq::inference::ModelId& id, const Value& credentials,
                           const Value& config) {
        Value with_base = config;
        with_base["base_url"] = base_url;
        return openai::make_openai_lm_invoker(id, credentials, with_base);
      });
  const zelq::generation::deep_researcher::OpenAIDeepResearcher researcher(
      {.model_name = "o3-deep-research", .api_key = "sk-bench"});
  zelq::providers::register_lm_provider("openai", &openai::make_openai_lm_invoker);
  std::size_t received = 0;
  zelq::generation::deep_researcher::ResearchRequest request{
      .query = "go", .event_emitter = deep_research_bench::counting_emitter(received)};
  const zelq::inference::LMOutput output = co_await researcher.research(std::move(request));
  co_return received + output.text().size();
}

asio::awaitable<std::size_t> invoke_openai(std::string base_url) {
  const Value config = {{"base_url", base_url}, {"thinking", true}};
  auto invoker =
      std::make_shared<openai::OpenAILMInvoker>("openai/o3-deep-research", "sk-bench", config);
  std::size_t received = 0;
  zelq::inference::LMInvokeOptions options;
  options.event_emitter = deep_research_bench::counting_emitter(received);
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  const zelq::inference::LMOutput output =
      co_await invoker->invoke(std::move(messages), std::move(options));
  co_return received + output.text().size();
}

void BM_OpenAIResearch(benchmark::State& state) {
  const std::vector<std::string> events = make_events(10000);
  auto serve = [&events](zelq::net::testing::Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const std::string& event : events) co_await exchange.chunk(event);
    co_await exchange.end_events();
  };
  deep_research_bench::Fastest cpu;
  for (auto _ : state) {
    cpu.add(deep_research_bench::cpu_seconds(
                serve, [](const std::string& url, auto&&) { return research_openai(url); }),
            deep_research_bench::cpu_seconds(
                serve, [](const std::string& url, auto&&) { return invoke_openai(url); }));
  }
  state.counters["ratio_vs_client"] = cpu.ratio();
}
BENCHMARK(BM_OpenAIResearch)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
