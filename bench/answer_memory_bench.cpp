// Peak memory of one parsed answer, at the default limits. Each case runs
// in a fresh process (forked), after a small warm-up call, and reports the
// growth of that process's peak resident set over the call
// (peak_rss_growth_mb; target: well under 1,024 MB), and whether the call
// was refused (refused: 1) or read (0). The loopback server runs in a
// forked process of its own, so its memory never counts.
//
// BM_JsonAnswerRss/<shape>/<MB>: ApiClient::get_json of a JSON array of
// <MB> megabytes whose items are all one shape: "" (0), 0 (1), [] (2), {}
// (3), or honest rows of 256 numbers of 14 bytes each, as an embedding
// answer holds (4).
//
// BM_ResponsesCitationRss/<text bytes>/<citations>: a streamed OpenAI
// Responses answer of that much text followed by that many empty
// url_citation annotations (about 180 bytes each), through
// OpenAILMInvoker: 5 bytes cited 520,056 times (95 MB), and the densest
// citing the default limits take, 60 MB of text cited once per 64 bytes
// (231 MB in all).
//
// BM_PlainAnswerRss/<MiB>: a plain, not streamed chat answer through
// OpenAILMInvoker, {"choices":[{"message":{"content":"hi"}}],"pad":["",...]},
// of <MiB> mebibytes, 255 just under the client's body cap: its reading,
// fast or parsed, is held to the client's one budget, so its peak stays
// within the bound of the budgeted parse (BM_JsonAnswerRss/0/256).
//
// The cases of what a stream or a thread keeps are in
// answer_memory_bench_held.cpp.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_process.hpp"
#include "forked_server.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"

namespace {

namespace asio = boost::asio;
namespace net = zelq::net;
namespace openai = zelq::providers::openai;
using zelq::bench::ForkedServer;
using zelq::bench::Measured;
using zelq::bench::run;
using zelq::bench::run_in_child;
using zelq::core::Value;

constexpr std::size_t kMB = 1'000'000;
const char* const kItems[] = {"\"\"", "0", "[]", "{}"};

// One row of 256 numbers of 14 bytes each ("-0.0123456789,").
std::string number_row() {
  std::string row = "[";
  for (int i = 0; i < 256; ++i) row += (i ? "," : "") + std::string("-0.0123456789");
  return row + "]";
}

// A JSON array of about `megabytes` MB of items of `shape`.
std::string json_array(int shape, std::size_t megabytes) {
  const std::string item = shape < 4 ? kItems[shape] : number_row();
  std::string body = "[";
  body.reserve(megabytes * kMB + item.size() + 2);
  while (body.size() < megabytes * kMB) body += item + ",";
  if (body.size() == 1) return "[]";
  body.back() = ']';
  return body;
}

// A plain chat answer of about `mebibytes` MiB: "hi", and an unused list of
// empty texts.
std::string padded_answer(std::size_t mebibytes) {
  std::string answer = R"({"choices":[{"message":{"content":"hi"}}],"pad":[)";
  answer.reserve((mebibytes << 20) + 64);
  while (answer.size() + 3 < (mebibytes << 20)) answer += "\"\",";
  answer += "\"\"]}";
  return answer;
}

// A streamed response: `text_bytes` of text in deltas of 64 KB, then
// `citations` empty url_citation annotations, in HTTP chunks of about 1 MB,
// then the completion.
std::string cited_stream(std::size_t text_bytes, std::size_t citations) {
  using openai::testing::responses_event;
  std::string events = responses_event("response.created", 0,
                                       {{"response", {{"id", "resp_1"}, {"status", "queued"}}}});
  long long sequence = 1;
  std::string framed;
  auto flush = [&] {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", events.size());
    framed += size + events + "\r\n";
    events.clear();
  };
  for (std::size_t at = 0; at < text_bytes; at += 64'000) {
    const std::string delta(std::min<std::size_t>(64'000, text_bytes - at), 'a');
    events += responses_event("response.output_text.delta", sequence++,
                              {{"item_id", "msg_1"}, {"delta", delta}});
    if (events.size() >= kMB) flush();
  }
  const Value annotation = {{"item_id", "msg_1"}, {"annotation", {{"type", "url_citation"}}}};
  for (std::size_t i = 0; i < citations; ++i) {
    events += responses_event("response.output_text.annotation.added", sequence++, annotation);
    if (events.size() >= kMB) flush();
  }
  events += responses_event("response.completed", sequence,
                            {{"response", {{"id", "resp_1"}, {"status", "completed"}}}});
  flush();
  return framed + "0\r\n\r\n";
}

// "/v1/array/<shape>/<MB>" answers that array; "/v1/chat/completions" the
// padded answer of the size its "user" names; "/v1/responses" streams the
// cited response of the "user" the request names, and its cancel is
// answered.
asio::awaitable<void> serve(net::testing::Exchange& exchange) {
  const std::string target = exchange.request.target;
  if (target.ends_with("/cancel")) {
    co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
    co_return;
  }
  const std::string& body = exchange.request.body;
  if (target == "/v1/chat/completions") {
    // "user" is the answer's size in MiB.
    const auto at = body.find("\"user\":\"");
    std::string answer = padded_answer(std::strtoul(&body[at + 8], nullptr, 10));
    co_await exchange.respond(200, std::move(answer));
    co_return;
  }
  if (target.starts_with("/v1/array/")) {
    const int shape = std::atoi(target.c_str() + 10);
    const std::size_t megabytes = std::strtoul(target.c_str() + target.rfind('/') + 1, nullptr, 10);
    std::string array = json_array(shape, megabytes);
    co_await exchange.respond(200, std::move(array));
    co_return;
  }
  // "user" is "<text bytes>:<citations>".
  const auto at = body.find("\"user\":\"");
  char* end = nullptr;
  const std::size_t text_bytes =
      at == std::string::npos ? 5 : std::strtoul(&body[at + 8], &end, 10);
  const std::size_t citations = end ? std::strtoul(end + 1, nullptr, 10) : 0;
  std::string stream = cited_stream(text_bytes, citations);
  co_await exchange.write(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
      stream);
}

// The server, forked at the first call.
const ForkedServer& server() { return zelq::bench::forked_server<serve>(); }

void BM_JsonAnswerRss(benchmark::State& state) {
  const auto shape = static_cast<int>(state.range(0));
  const auto megabytes = static_cast<std::size_t>(state.range(1));
  const std::string base_url = server().base_url;
  Measured measured;
  for (auto _ : state) {
    measured = run_in_child([&](bool warm_up) {
      asio::io_context io;
      net::ApiClientOptions options;
      options.base_url = base_url;
      options.max_retries = 0;
      net::ApiClient client(options);
      const std::string path =
          "array/" + std::to_string(shape) + "/" + std::to_string(warm_up ? 0 : megabytes);
      Value answer = run(io, client.get_json(path));
      benchmark::DoNotOptimize(answer);
    });
  }
  state.counters["peak_rss_growth_mb"] = measured.peak_growth_bytes / 1e6;
  state.counters["refused"] = measured.refused;
}
BENCHMARK(BM_JsonAnswerRss)
    ->ArgsProduct({{0, 1, 2, 3}, {16, 64}})
    ->Args({0, 256})
    ->Args({4, 64})
    ->Args({4, 200})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_ResponsesCitationRss(benchmark::State& state) {
  const std::string user = std::to_string(state.range(0)) + ":" + std::to_string(state.range(1));
  const std::string base_url = server().base_url;
  Measured measured;
  for (auto _ : state) {
    measured = run_in_child([&](bool warm_up) {
      asio::io_context io;
      const Value config = {{"base_url", base_url}, {"tools", {"web_search"}}, {"max_retries", 0}};
      auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/o4-mini-deep-research",
                                                               "sk-bench", config);
      zelq::inference::LMInvokeOptions options;
      options.hyperparameters = Value{{"user", warm_up ? "5:1" : user}};
      std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
      auto output = run(io, invoker->invoke(std::move(messages), std::move(options)));
      benchmark::DoNotOptimize(output);
    });
  }
  state.counters["peak_rss_growth_mb"] = measured.peak_growth_bytes / 1e6;
  state.counters["refused"] = measured.refused;
}
BENCHMARK(BM_ResponsesCitationRss)
    ->Args({5, 520'056})
    ->Args({60'000'000, 60'000'000 / 64 + 1024})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_PlainAnswerRss(benchmark::State& state) {
  const std::string mebibytes = std::to_string(state.range(0));
  const std::string base_url = server().base_url;
  Measured measured;
  for (auto _ : state) {
    measured = run_in_child([&](bool warm_up) {
      asio::io_context io;
      const Value config = {{"base_url", base_url}, {"max_retries", 0}};
      auto invoker = std::make_shared<openai::OpenAILMInvoker>("openai/gpt-4o", "sk-bench", config);
      zelq::inference::LMInvokeOptions options;
      options.hyperparameters = Value{{"user", warm_up ? "0" : mebibytes}};
      std::vector<zelq::inference::Message> messages(1, zelq::inference::Message::user("go"));
      auto output = run(io, invoker->invoke(std::move(messages), std::move(options)));
      if (output.text() != "hi") throw std::runtime_error("the answer was lost");
    });
  }
  state.counters["peak_rss_growth_mb"] = measured.peak_growth_bytes / 1e6;
  state.counters["refused"] = measured.refused;
}
BENCHMARK(BM_PlainAnswerRss)
    ->Arg(1)
    ->Arg(64)
    ->Arg(255)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
