// answer_memory_bench: what reading a structured answer, or an answer that
// holds "error", costs at the default limits. Each case runs in a fresh
// process (forked) against a loopback server forked apart, after a warm-up
// call, and reports the growth of that process's peak resident set over the
// call (peak_rss_growth_mb) and whether the call was refused (refused: 1).
//
// BM_StructuredAnswerRss/<shape>/<MiB>: a plain (not streamed) chat answer
// through OpenAILMInvoker with a response schema, its content a JSON array
// of <MiB> mebibytes of items of one shape: "" (0, written \"\" in the
// answer) or [] (1). Targets: 48 MiB of "" under 512 MB; an answer of
// 255 MiB, just under the client's body cap, under 1,024 MB, read or
// refused as over the client's budget.
//
// BM_StructuredOutputParseRss/<shape>/<MiB>: parse_structured_output of an
// LMOutput whose text is <MiB> mebibytes of items of one shape ("" (0) or
// 0 (2)) within the budget the LM relevance filters and reference
// formatters pass (kMaxStructuredOutputMemory). Target: under 128 MB, read
// or refused as over that budget.
//
// BM_ErrorAnswerRss/<MiB>: a plain chat answer of <MiB> mebibytes that
// holds "error" beside a list of empty texts, through OpenAILMInvoker
// (refused: the call fails with the server's message).
// ratio_vs_one_parse is its peak over the peak of the same answer read once
// by ApiClient::post_json (target: about 1, the answer parsed once).
#include <benchmark/benchmark.h>

#include <boost/asio.hpp>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_process.hpp"
#include "forked_server.hpp"
#include "zelq/core/json.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"

namespace {

namespace asio = boost::asio;
namespace net = zelq::net;
namespace openai = zelq::providers::openai;
using zelq::bench::ForkedServer;
using zelq::bench::Measured;
using zelq::bench::run;
using zelq::bench::run_in_child;
using zelq::core::Value;

// An item of each shape as a JSON text holds it, and as the answer's
// content string writes it.
const char* const kItems[] = {"\"\"", "[]", "0"};
const char* const kEscaped[] = {"\\\"\\\"", "[]", "0"};

// A JSON array of about `mebibytes` MiB (as parsed) of `item`s, written as
// `written`.
std::string item_array(std::size_t mebibytes, const std::string& item, const std::string& written) {
  std::string array = "[";
  const std::size_t items = (mebibytes << 20) / (item.size() + 1);
  array.reserve(items * (written.size() + 1) + 2);
  for (std::size_t i = 0; i < items; ++i) array += (i ? "," : "") + written;
  return array + "]";
}

// A chat answer whose content is the array of `shape` items.
std::string structured_answer(int shape, std::size_t mebibytes) {
  return R"({"choices":[{"message":{"content":")" +
         item_array(mebibytes, kItems[shape], kEscaped[shape]) + R"("}}]})";
}

// A chat answer of about `mebibytes` MiB that reports an error.
std::string error_answer(std::size_t mebibytes) {
  std::string answer = R"({"error":{"message":"overloaded"},"pad":[)";
  answer.reserve((mebibytes << 20) + 64);
  while (answer.size() + 3 < (mebibytes << 20)) answer += "\"\",";
  return answer + "\"\"]}";
}

// "/v1/chat/completions" answers what its "user" names: "s:<shape>:<MiB>"
// the structured answer, "e:<MiB>" the error answer.
asio::awaitable<void> serve(net::testing::Exchange& exchange) {
  const std::string user = Value::parse(exchange.request.body).value("user", std::string("e:0"));
  char* end = nullptr;
  std::string answer;
  if (user.starts_with("s:")) {
    const int shape = static_cast<int>(std::strtol(user.c_str() + 2, &end, 10));
    answer = structured_answer(shape, std::strtoul(end + 1, nullptr, 10));
  } else {
    answer = error_answer(std::strtoul(user.c_str() + 2, nullptr, 10));
  }
  co_await exchange.respond(200, std::move(answer));
}

// The server, forked at the first call.
const ForkedServer& server() { return zelq::bench::forked_server<serve>(); }

// One plain chat call naming `user`, with a response schema when
// `structured`.
void invoke(const std::string& base_url, const std::string& user, bool structured) {
  asio::io_context io;
  Value config = {{"base_url", base_url}, {"max_retries", 0}};
  if (structured) config["response_schema"] = {{"type", "array"}};
  auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/gpt-4o", "sk-bench", config);
  zelq::inference::LMInvokeOptions options;
  options.hyperparameters = Value{{"user", user}};
  std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
  auto output = run(io, invoker->invoke(std::move(messages), std::move(options)));
  benchmark::DoNotOptimize(output);
}

void report(benchmark::State& state, const Measured& measured) {
  state.counters["peak_rss_growth_mb"] = measured.peak_growth_bytes / 1e6;
  state.counters["refused"] = measured.refused;
}

void BM_StructuredAnswerRss(benchmark::State& state) {
  const std::string shape = std::to_string(state.range(0));
  const std::string user = "s:" + shape + ":" + std::to_string(state.range(1));
  const std::string base_url = server().base_url;
  Measured measured;
  for (auto _ : state) {
    measured = run_in_child(
        [&](bool warm_up) { invoke(base_url, warm_up ? "s:" + shape + ":0" : user, true); });
  }
  report(state, measured);
}
BENCHMARK(BM_StructuredAnswerRss)
    ->Args({0, 16})
    ->Args({0, 48})
    ->Args({1, 255})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_StructuredOutputParseRss(benchmark::State& state) {
  const auto shape = static_cast<int>(state.range(0));
  const auto mebibytes = static_cast<std::size_t>(state.range(1));
  Measured measured;
  for (auto _ : state) {
    measured = run_in_child([&](bool warm_up) {
      // Made before the measured call, which reads it.
      static zelq::inference::LMOutput output;
      if (warm_up) {
        output.add_text(R"({"results": )" + item_array(mebibytes, kItems[shape], kItems[shape]) +
                        "}");
      }
      zelq::inference::LMOutput small;
      small.add_text(R"({"results": []})");
      const Value parsed = zelq::inference::parse_structured_output(
          warm_up ? small : output, zelq::inference::kMaxStructuredOutputMemory);
      benchmark::DoNotOptimize(parsed);
    });
  }
  report(state, measured);
}
BENCHMARK(BM_StructuredOutputParseRss)
    ->Args({0, 16})
    ->Args({2, 16})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_ErrorAnswerRss(benchmark::State& state) {
  const std::string user = "e:" + std::to_string(state.range(0));
  const std::string base_url = server().base_url;
  Measured measured;
  Measured once;
  for (auto _ : state) {
    measured = run_in_child([&](bool warm_up) {
      try {
        invoke(base_url, warm_up ? "e:0" : user, false);
      } catch (const std::runtime_error&) {
        if (!warm_up) throw;  // the error the answer reports: measured as refused
      }
    });
    once = run_in_child([&](bool warm_up) {
      asio::io_context io;
      net::ApiClientOptions options;
      options.base_url = base_url;
      options.max_retries = 0;
      net::ApiClient client(options);
      Value body = {{"user", warm_up ? "e:0" : user}};
      Value answer = run(io, client.post_json("chat/completions", std::move(body)));
      benchmark::DoNotOptimize(answer);
    });
  }
  report(state, measured);
  state.counters["ratio_vs_one_parse"] = measured.peak_growth_bytes / once.peak_growth_bytes;
}
BENCHMARK(BM_ErrorAnswerRss)
    ->Arg(8)
    ->Arg(10)
    ->Arg(11)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
