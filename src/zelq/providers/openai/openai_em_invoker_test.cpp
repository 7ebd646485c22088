#include "zelq/providers/openai/openai_em_invoker.hpp"

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/testing/chat_stream.hpp"

namespace zelq::providers::openai {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::Embedding;
using inference::EMContent;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;

// One vector [n, length of text] per input "t<n>", listed in reverse order
// with their indices. (Built outside the coroutine: g++ 12 rejects some
// braced initialiser lists inside coroutines.)
std::string reversed_answer(const Value& request) {
  Value data = Value::array();
  const auto& input = request["input"];
  for (std::size_t i = input.size(); i-- > 0;) {
    const std::string text = input[i].get<std::string>();
    const Value vector = Value::array({std::stod(text.substr(1)), double(text.size())});
    data.push_back(Value{{"object", "embedding"}, {"index", i}, {"embedding", vector}});
  }
  return Value{{"object", "list"}, {"data", data}}.dump();
}

asio::awaitable<void> reversed_embeddings(Exchange& exchange) {
  co_await exchange.respond(200, reversed_answer(exchange.json()));
}

TEST(OpenAIEMInvokerTest, VectorsInInputOrderAcrossBatches) {
  asio::io_context io;
  LoopbackServer server(io, reversed_embeddings);
  auto invoker = std::make_shared<OpenAIEMInvoker>(
      "openai/text-embedding-3-small", "sk-test",
      Value{{"base_url", server.base_url()}, {"batch_size", 2}, {"dimensions", 2}});
  std::vector<EMContent> contents = {"t0", "t1", "t2", "t3", "t45"};
  auto vectors = run_client(io, server, invoker->invoke(std::move(contents)));
  EXPECT_EQ(vectors, (std::vector<Embedding>{{0, 2}, {1, 2}, {2, 2}, {3, 2}, {45, 3}}));
  ASSERT_EQ(server.requests.size(), 3u);
  std::vector<std::string> bodies;
  for (const auto& request : server.requests) {
    EXPECT_EQ(request.target, "/v1/embeddings");
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-test");
    bodies.push_back(request.body);
  }
  std::sort(bodies.begin(), bodies.end());  // the batches run concurrently
  EXPECT_EQ(bodies, (std::vector<std::string>{
                        R"({"model":"text-embedding-3-small","input":["t0","t1"],"dimensions":2})",
                        R"({"model":"text-embedding-3-small","input":["t2","t3"],"dimensions":2})",
                        R"({"model":"text-embedding-3-small","input":["t45"],"dimensions":2})"}));

  asio::io_context io2;
  LoopbackServer single(io2, reversed_embeddings);
  invoker = std::make_shared<OpenAIEMInvoker>("openai/e", "sk-test",
                                              Value{{"base_url", single.base_url()}});
  EXPECT_EQ(run_client(io2, single, invoker->invoke(std::string("t7"))), (Embedding{7, 2}));
}

TEST(OpenAIEMInvokerTest, BytesAndMalformedAnswersAreErrors) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, R"({"data":[{"index":0,"embedding":[1]},)"
                                   R"({"index":0,"embedding":[2]}]})");
  });
  auto invoker = std::make_shared<OpenAIEMInvoker>("openai/e", "sk-test",
                                                   Value{{"base_url", server.base_url()}});
  std::vector<EMContent> with_bytes = {"a", core::Bytes{1, 2}, core::Bytes{3}};
  try {
    run_client(io, server, invoker->invoke(std::move(with_bytes)));
    FAIL();
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "The OpenAI embedding invoker embeds texts only; content 1 is bytes.");
  }
  EXPECT_TRUE(server.requests.empty());

  asio::io_context io2;
  LoopbackServer repeated(io2, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, R"({"data":[{"index":0,"embedding":[1]},)"
                                   R"({"index":0,"embedding":[2]}]})");
  });
  invoker = std::make_shared<OpenAIEMInvoker>("openai/e", "sk-test",
                                              Value{{"base_url", repeated.base_url()}});
  std::vector<EMContent> two = {"a", "b"};
  try {
    run_client(io2, repeated, invoker->invoke(std::move(two)));
    FAIL();
  } catch (const core::RuntimeError& error) {
    EXPECT_TRUE(std::string(error.what())
                    .ends_with("/v1/embeddings holds an item with a missing, repeated or "
                               "out-of-range 'index'."))
        << error.what();
  }
  EXPECT_THROW(OpenAIEMInvoker("openai/e", "sk-test", Value{{"batch_size", 0}}), core::ValueError);

  // An error object in a 200 answer names the server's message, key masked.
  asio::io_context io3;
  LoopbackServer failing(io3, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(200, R"({"error":{"message":"quota of sk-test-key used up"}})");
  });
  invoker = std::make_shared<OpenAIEMInvoker>("openai/e", "sk-test-key",
                                              Value{{"base_url", failing.base_url()}});
  try {
    run_client(io3, failing, invoker->invoke(std::string("a")));
    FAIL();
  } catch (const core::RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "The answer of POST " + failing.base_url() +
                                             "/embeddings reports an error: quota of *** used up");
  }
}

}  // namespace
}  // namespace zelq::providers::openai
