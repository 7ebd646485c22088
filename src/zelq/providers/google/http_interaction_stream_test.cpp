#include "zelq/providers/google/detail/http_interaction_stream.hpp"

#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::providers::google {
namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using namespace testing;

// The events of a streamed create and how it ended: "end@<id>", the kind
// of its failure, or "timed out" when it outlasted `limit` seconds.
asio::awaitable<std::vector<std::string>> read_within(
    std::shared_ptr<HttpInteractionsClient> client, double limit) {
  std::vector<std::string> seen;
  auto reading = [](std::shared_ptr<HttpInteractionsClient> client,
                    std::vector<std::string>& seen) -> asio::awaitable<void> {
    CreateInteractionRequest request{.input = "bees", .agent = "deep-research-x"};
    request.config = Value{{"stream", true}};
    CreateInteractionResult created = co_await client->create(std::move(request));
    auto& stream = std::get<InteractionEventStreamPtr>(created);
    while (auto event = co_await stream->next()) {
      seen.push_back(event->event_type + "#" + event->event_id);
    }
    seen.push_back("end@" + stream->interaction_id());
  };
  try {
    auto read = reading(std::move(client), seen);
    co_await core::with_timeout(std::move(read), std::chrono::duration<double>(limit));
  } catch (const core::TimeoutError&) {
    seen.push_back("timed out");
  } catch (const net::ConnectionError&) {
    seen.push_back("ConnectionError");
  }
  co_return seen;
}

// A stream that stops before it named its interaction has nothing to
// resume: it ends (its body ended) or fails (it broke) at once, with no
// request after the create and no pause, although a resumption here would
// first wait an hour.
TEST(HttpInteractionStream, AStreamThatNamedNothingStopsWithoutAPause) {
  struct Row {
    std::string name;
    std::string events;
    bool breaks;
    std::vector<std::string> outcome;
  };
  const std::string thought = sse_frame(thought_step_delta(0, "Plan", "e1"));
  const std::vector<Row> rows = {
      {"no event", "", false, {"end@"}},
      {"events that name nothing", thought, false, {"content.delta#e1", "end@"}},
      {"a break before the name", thought, true, {"content.delta#e1", "ConnectionError"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    asio::io_context io;
    LoopbackServer server(io, [&row](Exchange& exchange) -> asio::awaitable<void> {
      co_await exchange.start_events();
      if (!row.events.empty()) co_await exchange.chunk(row.events);
      if (!row.breaks) co_await exchange.end_events();
    });
    HttpInteractionsOptions options;
    options.base_url = server.base_url();
    options.api_key = "AIza-test-key";
    options.retry_base_delay = 3600;
    options.retry_max_delay = 3600;
    auto client = std::make_shared<HttpInteractionsClient>(options);
    EXPECT_EQ(run_client(io, server, read_within(client, 10)), row.outcome);
    EXPECT_EQ(server.requests.size(), 1u);
  }
}

}  // namespace
}  // namespace zelq::providers::google
