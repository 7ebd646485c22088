#include "zelq/providers/openai/openai_lm_invoker.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "zelq/core/errors.hpp"
#include "zelq/inference/request_processor.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/inference/testing/scripted_lm_invoker.hpp"
#include "zelq/net/http_error.hpp"
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

const std::string kKey = "sk-test-123";
using Handler = LoopbackServer::Handler;

// What an invocation against a server running `handler` throws: the error's
// what(), checked to be of kind Error and free of the key. The emitter, when
// given, makes it a streamed call.
template <class Error>
std::string failure_of(Handler handler, Value extra_config = Value::object(),
                       std::shared_ptr<core::EventEmitter> emitter = nullptr,
                       const std::string& key = kKey) {
  asio::io_context io;
  LoopbackServer server(io, std::move(handler));
  Value config = {{"base_url", server.base_url()}, {"max_retries", 0}, {"idle_timeout", 0.1}};
  if (!extra_config.is_null()) config.update(extra_config);
  auto invoker = std::make_shared<OpenAILMInvoker>("openai/m", key, config);
  auto ask = [](LMInvokerPtr invoker,
                std::shared_ptr<core::EventEmitter> emitter) -> asio::awaitable<LMOutput> {
    LMInvokeOptions options;
    options.event_emitter = std::move(emitter);
    std::vector<Message> messages = {Message::user("q")};
    co_return co_await invoker->invoke(std::move(messages), std::move(options));
  };
  try {
    run_client(io, server, ask(invoker, std::move(emitter)));
  } catch (const Error& error) {
    const std::string text = error.what();
    // A key made of the mask's own characters cannot be told from the mask.
    if (key.find_first_not_of('*') != std::string::npos) {
      EXPECT_EQ(text.find(key), std::string::npos) << text;
    }
    return text;
  }
  return "no error of the expected kind";
}

Handler reply(int status, std::string body) {
  return [status, body](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(status, body);
  };
}

Handler stream_then(std::string bytes, bool end) {
  return [bytes, end](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk(bytes);
    if (end) {
      co_await exchange.end_events();
    } else {
      co_await exchange.wait_for_close();
    }
  };
}

TEST(OpenAILMInvokerFaultTest, EachFailureGivesAClearError) {
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  const std::string stalled = failure_of<core::TimeoutError>(
      stream_then(testing::content_event("part"), false), {}, emitter);
  EXPECT_TRUE(stalled.starts_with("No event from POST http://127.0.0.1:")) << stalled;
  EXPECT_TRUE(stalled.ends_with("/v1/chat/completions within 100 ms.")) << stalled;
  EXPECT_EQ(emitter->types(), (std::vector<std::string>{"response_start", "response"}));

  EXPECT_NE(failure_of<net::ConnectionError>([](Exchange& exchange) -> asio::awaitable<void> {
              co_await exchange.write(
                  "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                  "Content-Length: 100\r\n\r\n{\"choi");
            }),
            "no error of the expected kind");

  // Every error names the endpoint.
  auto from_endpoint = [](const std::string& text, const std::string& status,
                          const std::string& message) {
    const auto endpoint_at = text.find(" from POST http://127.0.0.1:");
    const std::string suffix = "/v1/chat/completions: " + message;
    return text.starts_with("HTTP " + status) && endpoint_at == status.size() + 5 &&
           text.ends_with(suffix);
  };
  EXPECT_PRED3(from_endpoint,
               failure_of<net::HttpError>(
                   reply(401, R"({"error":{"message":"Invalid authentication","type":"auth"}})")),
               "401", "Invalid authentication");
  EXPECT_PRED3(from_endpoint,
               failure_of<net::HttpError>(reply(401, "Incorrect API key provided: " + kKey + ".")),
               "401", "Incorrect API key provided: ***.");
  // A key that the mask itself contains is masked once per occurrence.
  EXPECT_PRED3(from_endpoint,
               failure_of<net::HttpError>(reply(401, "Key ******** or ******** rejected"), {},
                                          nullptr, "********"),
               "401", "Key *** or *** rejected");
  EXPECT_PRED3(from_endpoint,
               failure_of<net::HttpError>(reply(500, "overloaded"),
                                          {{"max_retries", 1}, {"retry_base_delay", 0}}),
               "500", "overloaded");
  const std::string malformed = failure_of<core::RuntimeError>(reply(200, "{not json"));
  EXPECT_TRUE(malformed.starts_with("The answer of POST http://127.0.0.1:")) << malformed;
  EXPECT_TRUE(malformed.ends_with("/v1/chat/completions is not JSON: '{not json'.")) << malformed;
  EXPECT_TRUE(failure_of<core::RuntimeError>(reply(200, R"({"choices":[]})"))
                  .ends_with("/v1/chat/completions holds no choice."));

  const std::string cut =
      failure_of<core::RuntimeError>(stream_then(testing::content_event("x"), true), {}, emitter);
  EXPECT_TRUE(cut.ends_with("/v1/chat/completions ended before its end marker 'data: [DONE]'."))
      << cut;
  const std::string reported = failure_of<core::RuntimeError>(
      stream_then("data: {\"error\":{\"message\":\"server exploded\"}}\n\n", true), {}, emitter);
  EXPECT_TRUE(reported.ends_with("/v1/chat/completions reports an error: server exploded"))
      << reported;
}

// The server quotes the key in every kind of answer; failure_of checks that
// no error text shows it.
TEST(OpenAILMInvokerFaultTest, TheKeyNeverAppearsInAnyAnswerKind) {
  const std::string quoted = "key " + kKey + " rejected";
  const std::string json_error = Value{{"error", {{"message", quoted}}}}.dump();
  auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
  auto ends_masked = [](const std::string& text) { return text.ends_with("key *** rejected"); };
  // An error status, JSON or not.
  EXPECT_PRED1(ends_masked, failure_of<net::HttpError>(reply(401, json_error)));
  EXPECT_PRED1(ends_masked, failure_of<net::HttpError>(reply(403, quoted)));
  // An error object inside a 200 answer.
  EXPECT_PRED1(ends_masked, failure_of<core::RuntimeError>(reply(200, json_error)));
  // A 200 answer that is not JSON, or JSON but no object.
  EXPECT_NE(failure_of<core::RuntimeError>(reply(200, "<html>" + quoted)).find("key *** rej"),
            std::string::npos);
  EXPECT_NE(failure_of<core::RuntimeError>(reply(200, "[\"" + quoted + "\"]")).find("key ***"),
            std::string::npos);
  // A refusal, and a structured answer that is not JSON.
  const std::string refusal = Value{{"choices", {{{"message", {{"refusal", quoted}}}}}}}.dump();
  EXPECT_PRED1(ends_masked, failure_of<core::RuntimeError>(reply(200, refusal)));
  // Error events inside a stream: a named "error" event, an error object,
  // and a chunk that is not JSON.
  EXPECT_PRED1(ends_masked,
               failure_of<core::RuntimeError>(
                   stream_then("event: error\ndata: " + json_error + "\n\n", true), {}, emitter));
  EXPECT_PRED1(ends_masked, failure_of<core::RuntimeError>(
                                stream_then("data: " + json_error + "\n\n", true), {}, emitter));
  EXPECT_NE(
      failure_of<core::RuntimeError>(stream_then("data: " + quoted + "\n\n", true), {}, emitter)
          .find("key ***"),
      std::string::npos);
}

TEST(OpenAILMInvokerFaultTest, RetriesEndAndOnlyRateLimitsAndServerErrorsRetry) {
  for (int status : {400, 404}) {
    asio::io_context io;
    LoopbackServer server(io, reply(status, "no"));
    auto invoker = std::make_shared<OpenAILMInvoker>(
        "openai/m", kKey, Value{{"base_url", server.base_url()}, {"retry_base_delay", 0}});
    EXPECT_THROW(run_client(io, server, invoker->invoke({Message::user("q")})), net::HttpError);
    EXPECT_EQ(server.requests.size(), 1u);
  }
  asio::io_context io;
  LoopbackServer server(io, reply(502, "bad gateway"));
  auto invoker = std::make_shared<OpenAILMInvoker>(
      "openai/m", kKey,
      Value{{"base_url", server.base_url()}, {"retry_base_delay", 0}, {"max_retries", 3}});
  try {
    run_client(io, server, invoker->invoke({Message::user("q")}));
    FAIL();
  } catch (const net::HttpError& error) {
    EXPECT_EQ(error.status(), 502);
    EXPECT_EQ(error.message(), "bad gateway");
  }
  EXPECT_EQ(server.requests.size(), 4u);
}

TEST(OpenAILMInvokerFaultTest, FallbackInvokerAnswersAfterAFailure) {
  asio::io_context io;
  LoopbackServer server(io, reply(500, "down"));
  auto invoker = std::make_shared<OpenAILMInvoker>(
      "openai/m", kKey, Value{{"base_url", server.base_url()}, {"max_retries", 0}});
  auto fallback = std::make_shared<inference::testing::ScriptedLMInvoker>();
  fallback->push_text("from the fallback");
  inference::LMRequestProcessor processor(inference::PromptBuilder("Be brief.", "{query}"), invoker,
                                          {fallback});
  LMOutput output = run_client(io, server, processor.process(Value{{"query", "q"}}));
  EXPECT_EQ(output.text(), "from the fallback");
  EXPECT_EQ(server.requests.size(), 1u);
  EXPECT_EQ(fallback->requests().at(0).messages,
            (std::vector<Message>{Message::system("Be brief."), Message::user("q")}));
}

TEST(OpenAILMInvokerFaultTest, BadConstructionInputsAreNamed) {
  auto error_of = [](const std::function<void()>& call) -> std::string {
    try {
      call();
    } catch (const core::ValueError& error) {
      return error.what();
    }
    return "no error";
  };
  ::unsetenv("OPENAI_API_KEY");
  EXPECT_EQ(error_of([] { OpenAILMInvoker("openai/gpt-5-nano"); }),
            "No OpenAI API key: pass credentials (the key, or an object with 'api_key') or set "
            "OPENAI_API_KEY.");
  ::setenv("OPENAI_API_KEY", "sk-env", 1);
  OpenAILMInvoker built("openai/gpt-5-nano");
  EXPECT_EQ(built.model_name(), "gpt-5-nano");
  EXPECT_EQ(built.settings().base_url, "https://api.openai.com/v1");
  EXPECT_EQ(error_of([] { OpenAILMInvoker("google/gemini", kKey); }),
            "The OpenAI invokers serve model ids 'openai/<model>', got 'google/gemini'.");
  EXPECT_EQ(error_of([] { OpenAILMInvoker(inference::ModelId{.provider = "openai"}, kKey); }),
            "Invalid model id 'openai/': expected 'provider/model-name', e.g. "
            "'openai/gpt-5-nano'.");
  EXPECT_EQ(error_of([] {
              OpenAILMInvoker("openai/m", kKey, {{"base_url", "x"}});
            }),
            "invalid URL 'x': expected an absolute URL starting with http:// or https://");
  EXPECT_EQ(error_of([] {
              OpenAILMInvoker("openai/m", kKey, {{"response_schema_strict", 1}});
            }),
            "Invalid OpenAI setting 'response_schema_strict': expected a bool, got 1.");
}

// Whether the key came from the credentials or from OPENAI_API_KEY, a body
// quoted raw never shows it, not even JSON-escaped: chat completions, a
// streamed error event, and the responses of a deep research model.
TEST(OpenAILMInvokerFaultTest, TheKeyInUseIsMaskedWhereverItCameFrom) {
  const std::string escaped = R"({"detail":"key sk-\u0074est-123 and sk-test\u002d123 rejected"})";
  const char* old_env = std::getenv("OPENAI_API_KEY");
  const std::string saved = old_env != nullptr ? old_env : "";
  for (const bool from_env : {false, true}) {
    SCOPED_TRACE(from_env);
    ::setenv("OPENAI_API_KEY", from_env ? kKey.c_str() : "sk-other-1", 1);
    for (const char* model : {"openai/m", "openai/o4-mini-deep-research"}) {
      SCOPED_TRACE(model);
      for (const bool streamed : {false, true}) {
        asio::io_context io;
        LoopbackServer server(io, streamed
                                      ? stream_then("event: error\ndata: " + escaped + "\n\n", true)
                                      : reply(401, escaped));
        const Value config = {{"base_url", server.base_url()}, {"max_retries", 0}};
        auto invoker = std::make_shared<OpenAILMInvoker>(
            model, from_env ? Value(nullptr) : Value(kKey), config);
        auto ask = [](LMInvokerPtr invoker, bool streamed) -> asio::awaitable<std::string> {
          LMInvokeOptions options;
          if (streamed) options.event_emitter = std::make_shared<core::EventEmitter>();
          std::vector<Message> messages = {Message::user("q")};
          try {
            co_await invoker->invoke(std::move(messages), std::move(options));
          } catch (const std::exception& error) {
            co_return error.what();
          }
          co_return "no error";
        };
        const std::string text = run_client(io, server, ask(invoker, streamed));
        // A responses error event is named by its code and message alone.
        if (!streamed || std::string(model) == "openai/m") {
          EXPECT_NE(text.find(R"({"detail":"key *** and *** rejected"})"), std::string::npos)
              << text;
        }
        EXPECT_EQ(text.find("est-123"), std::string::npos) << text;
      }
    }
  }
  if (old_env != nullptr) {
    ::setenv("OPENAI_API_KEY", saved.c_str(), 1);
  } else {
    ::unsetenv("OPENAI_API_KEY");
  }
}

}  // namespace
}  // namespace zelq::providers::openai
