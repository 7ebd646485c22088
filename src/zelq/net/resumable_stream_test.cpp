#include "zelq/net/resumable_stream.hpp"

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/sse_parser.hpp"
#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::net {
namespace {

namespace asio = boost::asio;
using testing::Exchange;
using testing::LoopbackServer;
using testing::run_client;

constexpr std::size_t kEventLimit = 1024;

// "/v1/event" sends one small event and then one over the limit; "/v1/ends"
// ends its body at once, so that the stream is resumed.
asio::awaitable<void> events(Exchange& exchange) {
  co_await exchange.start_events();
  try {
    if (exchange.request.target == "/v1/event") {
      co_await exchange.chunk("data: first\n\n");
      co_await exchange.chunk("data: " + std::string(2 * kEventLimit, 'x') + "\n\n");
    }
    co_await exchange.end_events();
  } catch (const std::exception&) {
    // The client hung up at its limit.
  }
}

asio::awaitable<std::optional<ApiEventStream>> reopen_at_event(ApiClient client) {
  co_return co_await client.get_events("event");
}

// A row's texts name the endpoint of "event" as "@".
struct Row {
  const char* name;
  bool resumable;
  std::string path;     // of the stream as created
  std::string subject;  // of a resumable stream
  std::string refusal;
  std::size_t requests;
};

std::string at_endpoint(std::string text, const std::string& endpoint) {
  if (const auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, endpoint);
  return text;
}

// Reads the stream of `row` to its end.
asio::awaitable<bool> read_all(ApiClient client, Row row) {
  ApiEventStream first = co_await client.get_events(row.path);
  if (!row.resumable) {
    while (co_await first.next()) {
    }
    co_return true;
  }
  auto reopen = [client](std::exception_ptr) { return reopen_at_event(client); };
  ResumableEventStream stream(std::move(first), reopen, ResumeOptions{.base_delay = 0},
                              at_endpoint(row.subject, client.endpoint("GET", "event")));
  while (co_await stream.next()) {
  }
  co_return true;
}

// The what() of the refusal that ends the read, marked when it is not one
// over a limit.
std::string refusal_of(asio::io_context& io, LoopbackServer& server, const ApiClient& client,
                       const Row& row) {
  try {
    run_client(io, server, read_all(client, row));
  } catch (const SseEventTooLargeError& error) {
    const bool over_limit = core::is_over_limit(std::current_exception());
    return (over_limit ? "" : "not over a limit: ") + std::string(error.what());
  }
  return "read whole";
}

// An event over the size limit is refused naming the endpoint it came from,
// and the run as well where the stream knows it; it is never resumed past.
TEST(EventOverTheLimit, NamesTheStreamItCameFrom) {
  const std::string run = "The stream of the run 'run_1'";
  const std::string over = " the size limit of 1024 bytes";
  const std::vector<Row> rows = {
      {"a plain stream", false, "event", "", "An event of @ exceeds" + over + ".", 1},
      {"a resumable stream whose run is known", true, "event", run,
       run + " sent an event over" + over + " (@).", 1},
      {"a resumable stream named by its endpoint", true, "event", "The stream of @",
       "The stream of @ sent an event over" + over + ".", 1},
      {"a resumed stream names the connection it reads", true, "ends", run,
       run + " sent an event over" + over + " (@).", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    asio::io_context io;
    LoopbackServer server(io, &events);
    ApiClientOptions options;
    options.base_url = server.base_url();
    options.max_event_size = kEventLimit;
    const ApiClient client(options);
    EXPECT_EQ(refusal_of(io, server, client, row),
              at_endpoint(row.refusal, client.endpoint("GET", "event")));
    EXPECT_EQ(server.requests.size(), row.requests);
  }
}

}  // namespace
}  // namespace zelq::net
