#include "zelq/net/chunk_stream.hpp"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <string>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
using core::Value;
using testing::Exchange;
using testing::LoopbackServer;
using testing::run_client;

const std::string kKey = "sk-chunk-test-7";

struct Read {
  std::vector<Value> chunks;
  bool done = false;
  std::string error;
};

// Streams `body` in one piece and reads it through a ChunkStream.
Read read_stream(std::string body) {
  asio::io_context io;
  LoopbackServer server(io, [body](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk(body);
    co_await exchange.end_events();
  });
  ApiClientOptions options;
  options.base_url = server.base_url();
  options.api_key = kKey;
  auto read = [](ApiClient client) -> asio::awaitable<Read> {
    Read out;
    ApiEventStream events = co_await client.post_events("chat/completions", Value::object());
    ChunkStream chunks(std::move(events), kKey);
    try {
      while (auto chunk = co_await chunks.next()) out.chunks.push_back(std::move(*chunk));
      out.done = chunks.done();
      chunks.check_done();
    } catch (const core::RuntimeError& error) {
      out.error = error.what();
    }
    co_return out;
  };
  return run_client(io, server, read(ApiClient(options)));
}

std::string tail_of(const std::string& text) {
  const auto at = text.find("/v1/chat/completions");
  return at == std::string::npos ? text : text.substr(at);
}

TEST(ChunkStream, ReadsChunksUpToTheEndMarker) {
  const Read read =
      read_stream("data: {\"n\":1}\n\n: comment\n\ndata: {\"n\":2}\r\n\r\ndata: [DONE]\n\n");
  EXPECT_EQ(read.error, "");
  ASSERT_EQ(read.chunks.size(), 2u);
  EXPECT_EQ(read.chunks[1], (Value{{"n", 2}}));
  EXPECT_TRUE(read.done);

  const Read cut = read_stream("data: {\"n\":1}\n\n");
  EXPECT_EQ(cut.chunks.size(), 1u);
  EXPECT_FALSE(cut.done);
  EXPECT_EQ(tail_of(cut.error), "/v1/chat/completions ended before its end marker 'data: [DONE]'.");
}

TEST(ChunkStream, ErrorsOfTheServerNameItsMessageWithoutTheKey) {
  const std::string quoted = "key " + kKey + " rejected";
  const std::string object = Value{{"error", {{"message", quoted}, {"code", 401}}}}.dump();
  EXPECT_EQ(tail_of(read_stream("event: error\ndata: " + object + "\n\n").error),
            "/v1/chat/completions reports an error: key *** rejected");
  EXPECT_EQ(tail_of(read_stream("data: {\"n\":1}\n\ndata: " + object + "\n\n").error),
            "/v1/chat/completions reports an error: key *** rejected");
  EXPECT_EQ(tail_of(read_stream("data: " + quoted + "\n\n").error),
            "/v1/chat/completions is not a JSON object: 'key *** rejected'.");
  EXPECT_EQ(tail_of(read_stream("data: [1]\n\n").error),
            "/v1/chat/completions is not a JSON object: '[1]'.");
}

}  // namespace
}  // namespace zelq::net
