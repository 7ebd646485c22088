#include "zelq/net/chunk_stream.hpp"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <string>
#include <vector>

#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
using core::Value;
using testing::Exchange;
using testing::LoopbackServer;
using testing::run_client;

struct Taken {
  std::vector<std::string> data;
  std::vector<std::size_t> capacities;  // the reader's, after each chunk read
  std::size_t capacity_after_wait = 1;
  bool end_taken_again = false;
};

// Chunks taken without awaiting and awaited ones come in order, each once;
// the stream's reader holds parser memory while it reads and none once the
// stream has waited for more bytes. The server sends the end marker only
// when the client found nothing ready after both chunks.
TEST(ChunkStream, TakesReadyChunksInOrderAndWaitsHoldingNoParser) {
  asio::io_context io;
  // Opened by the client (cancelled, and `open` set in case the server is
  // not waiting yet).
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  bool open = false;
  LoopbackServer server(io, [&gate, &open](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk("data: {\"n\":1}\n\ndata: {\"n\":2}\n\n: ping\n\n");
    boost::system::error_code cancelled;
    if (!open) co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    co_await exchange.chunk("data: [DONE]\n\n");
    co_await exchange.end_events();
  });
  ApiClientOptions options;
  options.base_url = server.base_url();
  ApiClient client(std::move(options));
  auto take = [](ApiClient client, asio::steady_timer& gate, bool& open) -> asio::awaitable<Taken> {
    Value body = {{"stream", true}};
    ApiEventStream events = co_await client.post_events("chat", std::move(body));
    ChunkStream chunks(std::move(events), Quoting("sk-test"));
    Taken taken;
    std::optional<std::string_view> view;
    std::optional<std::string> awaited;
    while (true) {
      if (!chunks.try_take_view(view)) {
        const bool both = taken.data.size() == 2;
        if (both) {
          open = true;
          gate.cancel();
        }
        awaited = co_await chunks.next_data();
        view.reset();
        if (awaited) view = *awaited;
        if (both) taken.capacity_after_wait = chunks.reader().capacity();
      }
      if (!view) break;
      taken.data.emplace_back(*view);
      if (chunks.reader().read(*view) == nullptr) throw std::runtime_error("chunk not read");
      taken.capacities.push_back(chunks.reader().capacity());
    }
    taken.end_taken_again = chunks.done() && chunks.try_take_view(view) && !view;
    co_return taken;
  };
  const Taken taken = run_client(io, server, take(client, gate, open));
  EXPECT_EQ(taken.data, (std::vector<std::string>{R"({"n":1})", R"({"n":2})"}));
  ASSERT_EQ(taken.capacities.size(), 2u);
  EXPECT_GT(taken.capacities[0], 0u);
  EXPECT_GT(taken.capacities[1], 0u);
  EXPECT_EQ(taken.capacity_after_wait, 0u);
  EXPECT_TRUE(taken.end_taken_again);
}

}  // namespace
}  // namespace zelq::net
