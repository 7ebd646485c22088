#include "zelq/providers/perplexity/perplexity_http_client.hpp"

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/perplexity/testing/transcript.hpp"

namespace zelq::providers::perplexity {
namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;

const std::string kKey = "pplx-test-key-31";

struct Result {
  std::vector<StreamChunk> chunks;
  std::string error;
};

// Sends one request with `options` through a client of the server and reads
// the whole stream.
Result stream_from(LoopbackServer& server, asio::io_context& io, Value options) {
  auto client = std::make_shared<PerplexityHttpClient>(
      Value{{"api_key", kKey}, {"base_url", server.origin()}, {"max_retries", 0}});
  ChatCompletionRequest request{.model = "sonar-deep-research",
                                .messages = {{{"role", "user"}, {"content", "q"}}},
                                .options = std::move(options)};
  auto read = [](std::shared_ptr<PerplexityHttpClient> client,
                 ChatCompletionRequest request) -> asio::awaitable<Result> {
    Result out;
    try {
      auto stream = co_await client->create_chat_completion_stream(std::move(request));
      while (auto chunk = co_await stream->next()) out.chunks.push_back(std::move(*chunk));
    } catch (const std::exception& error) {
      out.error = error.what();
      EXPECT_EQ(out.error.find(kKey), std::string::npos) << out.error;
    }
    co_return out;
  };
  return run_client(io, server, read(client, std::move(request)));
}

// Serves the same events to every request, each cut in two mid-way.
LoopbackServer::Handler serve(std::vector<std::string> events, bool done = true) {
  return [events, done](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const auto& event : events) {
      co_await exchange.chunk(event.substr(0, event.size() / 2));
      co_await exchange.chunk(event.substr(event.size() / 2));
    }
    if (done) co_await exchange.chunk(testing::DONE_EVENT);
    co_await exchange.end_events();
  };
}

TEST(PerplexityHttpClient, StreamsARecordedAnswer) {
  const Value results = {{{"title", "Bees"}, {"url", "https://b.org"}, {"snippet", "Waggle."}}};
  asio::io_context io;
  LoopbackServer server(
      io, serve(testing::answer_events({"<think>pl", "an</think>Bees", " dance."}, results)));
  const Result read = stream_from(server, io, Value{{"reasoning_effort", "high"}, {"timeout", 30}});
  EXPECT_EQ(read.error, "");
  ASSERT_EQ(read.chunks.size(), 3u);
  EXPECT_EQ(read.chunks[2].choices.at(0).delta->content, " dance.");
  ASSERT_TRUE(read.chunks[0].search_results.has_value());
  EXPECT_EQ(read.chunks[0].search_results->at(0).model_dump(), results[0]);

  const auto& sent = server.requests.at(0);
  EXPECT_EQ(sent.target, "/chat/completions");
  EXPECT_EQ(sent.header("Authorization"), "Bearer " + kKey);
  EXPECT_EQ(sent.header("Accept"), "text/event-stream");
  EXPECT_EQ(sent.body,
            R"({"model":"sonar-deep-research","messages":[{"role":"user","content":"q"}],)"
            R"("stream":true,"reasoning_effort":"high"})");
}

TEST(PerplexityHttpClient, FailuresNameTheServiceAndNeverTheKey) {
  auto error_of = [](LoopbackServer::Handler handler, Value options = Value::object()) {
    asio::io_context io;
    LoopbackServer server(io, std::move(handler));
    return stream_from(server, io, std::move(options)).error;
  };
  auto reply = [](int status, std::string body) -> LoopbackServer::Handler {
    return [status, body](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.respond(status, body);
    };
  };
  // A refused request option (400) is tested through the researcher.
  EXPECT_TRUE(error_of(reply(401, "<html><body>Bad key " + kKey + "</body></html>"))
                  .ends_with(": Bad key ***"));
  EXPECT_TRUE(error_of(serve(testing::answer_events({"a"}), false))
                  .ends_with("/chat/completions ended before its end marker 'data: [DONE]'."));
  // A sign-in page of a proxy, answered 200: named as what it is.
  const LoopbackServer::Handler portal = [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, "<html>\n<p>Sign in</p>\n</html>",
                              "Content-Type: text/html\r\n");
  };
  EXPECT_TRUE(error_of(portal).ends_with(
      "/chat/completions is not an event stream but 'text/html': Sign in."));
  EXPECT_TRUE(error_of(serve({"data: {\"choices\":[{\"delta\":{\"content\":\"caf\xE9\"}}]}\n\n"}))
                  .ends_with("/chat/completions is not valid UTF-8: "
                             "'{\"choices\":[{\"delta\":{\"content\":\"caf\\xe9\"}}]}'."));
  EXPECT_TRUE(error_of(serve({"data: {\"choices\":{}}\n\n"}))
                  .ends_with("/chat/completions is malformed: 'choices' is not a list."));
  EXPECT_EQ(error_of(reply(200, "{}"), Value{{"stream", false}}),
            "create_chat_completion_stream() got multiple values for keyword argument 'stream'");
  EXPECT_TRUE(error_of(reply(200, "{}"), Value{{"timeout", -1}}).starts_with("Invalid"));
}

TEST(PerplexityHttpClient, ClosingTheClientClosesItsStreamAndConnection) {
  asio::io_context io;
  bool closed_by_client = false;
  const std::string first = testing::answer_events({"a"})[0];
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk(first);
    co_await exchange.wait_for_close();
    closed_by_client = true;
  });
  auto client = std::make_shared<PerplexityHttpClient>(
      Value{{"api_key", kKey}, {"base_url", server.origin()}});
  auto read = [](std::shared_ptr<PerplexityHttpClient> client,
                 const bool& closed) -> asio::awaitable<std::string> {
    ChatCompletionRequest request;
    request.model = "m";
    auto stream = co_await client->create_chat_completion_stream(std::move(request));
    co_await stream->next();
    client->close();
    // The server sees the close on its next read; wait for that rather than
    // for a fixed time, with a bound that only a close never sent reaches.
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (int i = 0; !closed && i < 2000; ++i) {
      timer.expires_after(std::chrono::milliseconds(10));
      co_await timer.async_wait(asio::use_awaitable);
    }
    EXPECT_TRUE(closed);
    try {
      co_await stream->next();
    } catch (const core::RuntimeError& error) {
      co_return error.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(run_client(io, server, read(client, closed_by_client)),
            "The Perplexity client is closed.");
}

TEST(PerplexitySettings, ParametersAndTheKeyFromTheEnvironment) {
  auto error_of = [](Value params) -> std::string {
    try {
      PerplexitySettings::from_params(params);
    } catch (const core::ValueError& error) {
      return error.what();
    }
    return "no error";
  };
  ::setenv("PERPLEXITY_API_KEY", "from-env", 1);
  EXPECT_EQ(PerplexitySettings::from_params(nullptr).api_key, "from-env");
  EXPECT_EQ(PerplexitySettings::from_params(Value{{"api_key", ""}}).api_key, "from-env");
  const auto settings = PerplexitySettings::from_params(
      Value{{"api_key", "k"}, {"base_url", "http://proxy:8/pplx/"}, {"timeout", 5}});
  EXPECT_EQ(settings.api_key, "k");
  EXPECT_EQ(settings.base_url, "http://proxy:8/pplx");
  EXPECT_EQ(settings.timeout, std::chrono::milliseconds(5000));
  ::unsetenv("PERPLEXITY_API_KEY");
  EXPECT_EQ(error_of(Value::object()),
            "No Perplexity API key: pass 'api_key' or set PERPLEXITY_API_KEY.");
  EXPECT_EQ(error_of(Value{{"api_key", "k"}, {"proxy", 1}}),
            "Unknown Perplexity client parameter 'proxy'; known parameters: 'api_key', "
            "'base_url', 'max_retries', 'connect_timeout', 'idle_timeout', 'timeout'.");
}

// The key in use, from the parameters or from PERPLEXITY_API_KEY, is masked
// in a page's title and in a body that holds it JSON-escaped.
TEST(PerplexityHttpClient, TheKeyInUseIsMaskedWhereverItCameFrom) {
  const char* old_env = std::getenv("PERPLEXITY_API_KEY");
  const std::string saved = old_env != nullptr ? old_env : "";
  for (const bool from_env : {false, true}) {
    SCOPED_TRACE(from_env);
    ::setenv("PERPLEXITY_API_KEY", from_env ? kKey.c_str() : "other-key-1", 1);
    asio::io_context io;
    int calls = 0;
    LoopbackServer server(io, [&calls](Exchange& exchange) -> asio::awaitable<void> {
      if (++calls == 1) {
        co_await exchange.respond(
            401, "<html><head><title>401 for " + kKey + "</title></head><body>x</body></html>");
      } else {
        co_await exchange.respond(401, R"({"detail":"pplx-t\u0065st-key-31"})");
      }
    });
    Value params = {{"base_url", server.origin()}, {"max_retries", 0}};
    if (!from_env) params["api_key"] = kKey;
    auto client = std::make_shared<PerplexityHttpClient>(params);
    auto read = [](std::shared_ptr<PerplexityHttpClient> client) -> asio::awaitable<std::string> {
      std::string errors;
      for (int i = 0; i < 2; ++i) {
        ChatCompletionRequest request{.model = "sonar-deep-research",
                                      .messages = {{{"role", "user"}, {"content", "q"}}}};
        try {
          co_await client->create_chat_completion_stream(std::move(request));
        } catch (const net::HttpError& error) {
          errors += error.message() + "|";
        }
      }
      co_return errors;
    };
    EXPECT_EQ(run_client(io, server, read(client)), R"(401 for ***|{"detail":"***"}|)");
  }
  if (old_env != nullptr) {
    ::setenv("PERPLEXITY_API_KEY", saved.c_str(), 1);
  } else {
    ::unsetenv("PERPLEXITY_API_KEY");
  }
}

}  // namespace
}  // namespace zelq::providers::perplexity
