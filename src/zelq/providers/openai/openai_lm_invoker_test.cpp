#include "zelq/providers/openai/openai_lm_invoker.hpp"

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/testing/chat_stream.hpp"

namespace zelq::providers::openai {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::LMInvokeOptions;
using inference::LMInvokerPtr;
using inference::LMOutput;
using inference::Message;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using namespace std::chrono_literals;

const std::string kKey = "sk-test-123";

Value config_for(const LoopbackServer& server, const Value& extra = Value::object()) {
  Value config = {{"base_url", server.base_url()}};
  for (auto it = extra.begin(); it != extra.end(); ++it) config[it.key()] = it.value();
  return config;
}

std::string answer_json(const std::string& text) {
  Value message = {{"role", "assistant"}, {"content", text}};
  return Value{{"id", "chatcmpl-1"},
               {"choices", {{{"index", 0}, {"message", message}, {"finish_reason", "stop"}}}}}
      .dump();
}

// Requests in tests are named locals: g++ 12 miscompiles braced aggregate
// temporaries inside co_await expressions.
asio::awaitable<LMOutput> ask(LMInvokerPtr invoker, std::vector<Message> messages,
                              LMInvokeOptions options) {
  co_return co_await invoker->invoke(std::move(messages), std::move(options));
}

TEST(OpenAILMInvokerTest, AnswersInOnePiece) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, answer_json("Paris"));
  });
  LMInvokerPtr invoker =
      std::make_shared<OpenAILMInvoker>("openai/gpt-test", kKey, config_for(server));
  ASSERT_NE(dynamic_cast<OpenAILMInvoker*>(invoker.get()), nullptr);
  LMInvokeOptions options;
  options.hyperparameters = {{"temperature", 0.2}};
  LMOutput output =
      run_client(io, server, ask(invoker, {Message::system("S"), Message::user("Q")}, options));
  EXPECT_EQ(output.texts(), std::vector<std::string>{"Paris"});
  ASSERT_EQ(server.requests.size(), 1u);
  const auto& request = server.requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/v1/chat/completions");
  EXPECT_EQ(request.header("Authorization"), "Bearer " + kKey);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.body, R"({"model":"gpt-test","messages":[{"role":"system","content":"S"},)"
                          R"({"role":"user","content":"Q"}],"temperature":0.2})");
}

// Sends a stream whose events are cut across chunks at odd places, and after
// the chunk that completes each content event waits until the client has
// emitted that piece: the pieces must reach the emitter as the server sends
// them, not when the stream ends.
TEST(OpenAILMInvokerTest, StreamsPiecesAsTheServerSendsThem) {
  asio::io_context io;
  asio::steady_timer progress(io, asio::steady_timer::time_point::max());
  std::size_t emitted = 0;
  const std::vector<std::string> pieces = {"Hel", "lo, ", "wor", "ld!"};
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    std::vector<std::string> events = {
        R"(data: {"choices":[{"index":0,"delta":{"role":"assistant","content":""}}]})"
        "\n\n: keep-alive\n\n"};
    for (const auto& piece : pieces) events.push_back(testing::content_event(piece));
    events.back() +=
        "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}"
        "\r\n\r\ndata: [DONE]\n\n";
    co_await exchange.start_events();
    std::string carry;
    for (std::size_t i = 0; i < events.size(); ++i) {
      const std::string next = i + 1 < events.size() ? events[i + 1].substr(0, 7) : "";
      co_await exchange.chunk(events[i].substr(carry.size()) + next);
      carry = next;
      while (emitted < i) {
        progress.expires_at(asio::steady_timer::time_point::max());
        co_await progress.async_wait(asio::as_tuple(asio::use_awaitable));
      }
    }
    co_await exchange.end_events();
  });
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  emitter->add_handler([&](const core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response") ++emitted;
    progress.cancel();
    co_return;
  });
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>("openai/m", kKey, config_for(server));
  LMInvokeOptions options;
  options.event_emitter = emitter;
  LMOutput output = run_client(io, server, ask(invoker, {Message::user("hi")}, options));
  EXPECT_EQ(output.texts(), std::vector<std::string>{"Hello, world!"});
  EXPECT_EQ(emitter->types(), (std::vector<std::string>{"response_start", "response", "response",
                                                        "response", "response", "response_end"}));
  const auto events = emitter->events();
  for (std::size_t i = 1; i <= pieces.size(); ++i) EXPECT_EQ(events[i].value, pieces[i - 1]);
  for (const auto& event : events) EXPECT_EQ(event.id, events.front().id);
  EXPECT_EQ(events.front().id.size(), 36u);
  EXPECT_NE(server.requests[0].body.find(R"("stream":true)"), std::string::npos);

  asio::io_context io2;
  LoopbackServer plain(io2, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, answer_json("whole"));
  });
  invoker = std::make_shared<OpenAILMInvoker>("openai/m", kKey, config_for(plain));
  EXPECT_EQ(run_client(io2, plain, ask(invoker, {Message::user("hi")}, {})).text(), "whole");
  EXPECT_EQ(plain.requests[0].body.find("stream"), std::string::npos);
}

TEST(OpenAILMInvokerTest, StructuredOutputWithResponseFormat) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, answer_json(R"({"relevant": true, "score": 0.5})"));
  });
  const Value schema = {{"title", "Verdict"},
                        {"type", "object"},
                        {"properties", {{"relevant", {{"type", "boolean"}}}}}};
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
      "openai/m", Value{{"api_key", kKey}},
      config_for(server, {{"response_schema", schema}, {"response_schema_strict", true}}));
  LMOutput output = run_client(io, server, ask(invoker, {Message::user("judge")}, {}));
  EXPECT_EQ(output.structured_output(), (Value{{"relevant", true}, {"score", 0.5}}));
  EXPECT_EQ(Value::parse(server.requests[0].body)["response_format"],
            (Value{{"type", "json_schema"},
                   {"json_schema", {{"name", "Verdict"}, {"schema", schema}, {"strict", true}}}}));
}

TEST(OpenAILMInvokerTest, ManyInvocationsStayWithinMaxConcurrency) {
  constexpr std::size_t kLimit = 4;
  constexpr std::size_t kCalls = 200;
  asio::io_context io;
  LoopbackServer* self = nullptr;
  std::vector<std::shared_ptr<asio::steady_timer>> gate;
  // A request waits until kLimit requests are in flight (or 200 ms for the
  // tail), so the limit is reached whatever the timing.
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    if (self->in_flight >= kLimit) {
      for (auto& timer : gate) timer->cancel();
      gate.clear();
    } else {
      auto timer = std::make_shared<asio::steady_timer>(io, 200ms);
      gate.push_back(timer);
      co_await timer->async_wait(asio::as_tuple(asio::use_awaitable));
    }
    co_await exchange.respond(
        200, answer_json("re: " + exchange.json()["messages"][0]["content"].get<std::string>()));
  });
  self = &server;
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
      "openai/m", kKey, config_for(server, {{"max_concurrency", kLimit}}));
  auto client = [](LMInvokerPtr invoker) -> asio::awaitable<std::vector<LMOutput>> {
    std::vector<asio::awaitable<LMOutput>> calls;
    for (std::size_t i = 0; i < kCalls; ++i) {
      std::vector<Message> messages(1, Message::user("q" + std::to_string(i)));
      calls.push_back(invoker->invoke(std::move(messages)));
    }
    co_return co_await core::parallel_gather(std::move(calls));
  };
  auto outputs = run_client(io, server, client(invoker));
  ASSERT_EQ(outputs.size(), kCalls);
  for (std::size_t i = 0; i < kCalls; ++i)
    EXPECT_EQ(outputs[i].text(), "re: q" + std::to_string(i));
  EXPECT_EQ(server.requests.size(), kCalls);
  EXPECT_EQ(server.peak, kLimit);
}

TEST(OpenAILMInvokerTest, RetriesRateLimitsAfterTheDelayTheServerNames) {
  asio::io_context io;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    arrivals.push_back(std::chrono::steady_clock::now());
    if (arrivals.size() == 1) {
      co_await exchange.respond(429, R"({"error":{"message":"Rate limit reached"}})",
                                "Retry-After: 0.05\r\n");
    } else if (arrivals.size() == 2) {
      co_await exchange.respond(503, "busy", "retry-after-ms: 10\r\n");
    } else {
      co_await exchange.respond(200, answer_json("finally"));
    }
  });
  // A back-off of a minute: only the server's delays let this finish.
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
      "openai/m", kKey, config_for(server, {{"retry_base_delay", 60}, {"retry_max_delay", 60}}));
  const std::string endpoint = server.base_url() + "/chat/completions";
  core::LogCapture capture;
  EXPECT_EQ(run_client(io, server, ask(invoker, {Message::user("q")}, {})).text(), "finally");
  ASSERT_EQ(arrivals.size(), 3u);
  EXPECT_GE(arrivals[1] - arrivals[0], 50ms);
  EXPECT_GE(arrivals[2] - arrivals[1], 10ms);
  EXPECT_EQ(capture.messages("retry", core::LogLevel::warn),
            (std::vector<std::string>{"Attempt 1/3 failed: HTTP 429 from POST " + endpoint +
                                          ": Rate limit reached. Retrying in 0.05 seconds.",
                                      "Attempt 2/3 failed: HTTP 503 from POST " + endpoint +
                                          ": busy. Retrying in 0.01 seconds."}));
  for (const auto& line : capture.lines()) EXPECT_EQ(line.message.find(kKey), std::string::npos);
}

}  // namespace
}  // namespace zelq::providers::openai
