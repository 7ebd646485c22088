#include "zelq/providers/google/http_interactions_client.hpp"

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/error_text.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::providers::google {
namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using net::testing::run_client;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace testing;

const std::string kKey = "AIza-test-key";

std::string value_error_of(const std::function<void()>& action) {
  return net::testing::error_of<core::ValueError>(action);
}

std::shared_ptr<HttpInteractionsClient> client_for(const LoopbackServer& server) {
  HttpInteractionsOptions options;
  options.base_url = server.base_url();
  options.api_key = kKey;
  options.retry_base_delay = 0;
  return std::make_shared<HttpInteractionsClient>(options);
}

// Reads every event of a streamed create: their types and, last, "end".
asio::awaitable<std::vector<std::string>> read_all(std::shared_ptr<HttpInteractionsClient> client,
                                                   Value config) {
  CreateInteractionRequest request{.input = "bees", .agent = "deep-research-x", .config = config};
  CreateInteractionResult created = co_await client->create(std::move(request));
  auto& stream = std::get<InteractionEventStreamPtr>(created);
  std::vector<std::string> seen;
  while (auto event = co_await stream->next()) {
    seen.push_back(event->event_type + "#" + event->event_id);
  }
  seen.push_back("end@" + stream->interaction_id());
  co_return seen;
}

TEST(HttpInteractionsClientTest, ReadsClientParametersAndTheEnvironment) {
  ::setenv("GEMINI_API_KEY", "gem-1", 1);
  ::setenv("GOOGLE_API_KEY", "goo-1", 1);
  auto options = HttpInteractionsOptions::from_client_params(
      Value{{"api_key", "k-1"}, {"http_options", {{"timeout", 2500}}}, {"idle_timeout", 0.2}});
  EXPECT_EQ(options.api_key, "k-1");
  EXPECT_EQ(options.timeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(options.idle_timeout, std::chrono::milliseconds(200));
  EXPECT_EQ(options.base_url, "https://generativelanguage.googleapis.com/v1beta");
  options =
      HttpInteractionsOptions::from_client_params(Value{{"http_options", {{"timeout", nullptr}}}});
  EXPECT_EQ(options.api_key, "gem-1");
  EXPECT_EQ(options.timeout, std::nullopt);
  ::unsetenv("GEMINI_API_KEY");
  EXPECT_EQ(HttpInteractionsOptions::from_client_params(nullptr).api_key, "goo-1");
  ::unsetenv("GOOGLE_API_KEY");
  EXPECT_EQ(value_error_of([] { HttpInteractionsOptions::from_client_params(Value::object()); }),
            "No Google API key: pass api_key or set GEMINI_API_KEY or GOOGLE_API_KEY.");
  EXPECT_EQ(value_error_of([] {
              HttpInteractionsOptions::from_client_params(
                  Value{{"api_key", "k"}, {"http_options", {{"timeout", -5}}}});
            }),
            "Invalid Google client parameter 'http_options.timeout': expected milliseconds > 0 "
            "or null, got -5.");
  EXPECT_EQ(value_error_of([] {
              HttpInteractionsOptions::from_client_params(Value{{"key", "k"}});
            }),
            "Unknown Google client parameter 'key'; known: 'api_key', 'http_options', "
            "'max_concurrency', 'max_retries', 'retry_base_delay', 'retry_max_delay', "
            "'max_retry_after', 'connect_timeout', 'idle_timeout'.");
  EXPECT_EQ(value_error_of([] {
              HttpInteractionsOptions::from_client_params(Value{{"api_key", "AIza 1"}});
            }),
            "The Google API key holds white space or control characters.");
  EXPECT_EQ(value_error_of([] {
              HttpInteractionsOptions options;
              options.api_key = "k";
              options.base_url = "ftp://example.com";
              HttpInteractionsClient client(options);
            }),
            "invalid URL 'ftp://example.com': unsupported scheme 'ftp' (expected http or https)");
}

TEST(HttpInteractionsClientTest, StreamsTodaysWireAsContentDeltas) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk(sse_frame(created_event("int-1", "e1"), true) + ": keep-alive\n\n" +
                            sse_frame(thought_step_delta(0, "Plan", "e2")));
    const Value stop = {{"event_type", "step.stop"}, {"event_id", "e4"}};
    std::string second = sse_frame(text_step_delta(1, "Hi", "e3")) + sse_frame(stop) +
                         sse_frame(completed_event("int-1", "e5"));
    co_await exchange.chunk(std::move(second));
    // Anything after the completion is not read.
    co_await exchange.chunk(sse_frame(text_step_delta(1, "late", "e6")));
    co_await exchange.end_events();
  });
  auto client = client_for(server);
  const Value config = {
      {"timeout", 2.5}, {"background", true}, {"stream", true}, {"tools", Value::array()}};
  EXPECT_THAT(run_client(io, server, read_all(client, config)),
              ElementsAre("interaction.created#e1", "content.delta#e2", "content.delta#e3",
                          "step.stop#e4", "interaction.completed#e5", "end@int-1"));
  EXPECT_EQ(
      server.requests.at(0).body,
      R"({"input":"bees","agent":"deep-research-x","background":true,"stream":true,"tools":[]})");
}

TEST(HttpInteractionsClientTest, ResumesABrokenStreamAfterItsLastEvent) {
  asio::io_context io;
  int resumed = 0;
  std::string status = "in_progress";
  auto handler = [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (exchange.request.method == "GET" && target.find('?') == std::string::npos) {
      co_await exchange.respond(200, interaction_record("int/2", status).dump());
      co_return;
    }
    co_await exchange.start_events();
    if (exchange.request.method == "POST") {
      co_await exchange.chunk(sse_frame(created_event("int/2", "e1")) +
                              sse_frame(text_step_delta(0, "a", "e 2")));
      if (status == "in_progress") exchange.close();  // dropped mid-body
    } else if (++resumed == 1) {
      co_await exchange.chunk(sse_frame(text_step_delta(0, "b", "e3")));
    } else {
      co_await exchange.chunk(sse_frame(completed_event("int/2", "e4")) + "data: [DONE]\n\n");
    }
    if (exchange.request.method == "GET" || status != "in_progress") co_await exchange.end_events();
  };
  LoopbackServer server(io, handler);
  auto client = client_for(server);
  const Value streamed = {{"stream", true}};
  EXPECT_THAT(run_client(io, server, read_all(client, streamed)),
              ElementsAre("interaction.created#e1", "content.delta#e 2", "content.delta#e3",
                          "interaction.completed#e4", "end@int/2"));
  std::vector<std::string> targets;
  for (const auto& request : server.requests) targets.push_back(request.target);
  EXPECT_THAT(targets, ElementsAre("/v1/interactions", "/v1/interactions/int%2F2",
                                   "/v1/interactions/int%2F2?stream=true&last_event_id=e%202",
                                   "/v1/interactions/int%2F2",
                                   "/v1/interactions/int%2F2?stream=true&last_event_id=e3"));
  EXPECT_EQ(server.requests[2].header("x-goog-api-key"), kKey);

  // Closed after the interaction ended: no resumption.
  asio::io_context io2;
  status = "completed";
  LoopbackServer ended(io2, handler);
  EXPECT_THAT(run_client(io2, ended, read_all(client_for(ended), streamed)),
              ElementsAre("interaction.created#e1", "content.delta#e 2", "end@int/2"));
  EXPECT_EQ(ended.requests.size(), 2u);
}

// The create stream names the interaction and goes silent; so does every
// resumption when `silent_resumes`, else the first one brings the rest.
// The silence ends each stream after the 200 ms idle limit, and the same
// interaction is resumed from its last event: one create, never a second.
TEST(HttpInteractionsClientTest, ASilentStreamResumesTheSameInteraction) {
  bool silent_resumes = false;
  auto handler = [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (exchange.request.method == "GET" && target.find('?') == std::string::npos) {
      co_await exchange.respond(200, interaction_record("int-5", "in_progress").dump());
      co_return;
    }
    co_await exchange.start_events();
    if (exchange.request.method == "POST") {
      co_await exchange.chunk(sse_frame(created_event("int-5", "e1")) +
                              sse_frame(text_step_delta(0, "a", "e2")));
    } else if (!silent_resumes) {
      co_await exchange.chunk(sse_frame(text_step_delta(0, "b", "e3")) +
                              sse_frame(completed_event("int-5", "e4")));
      co_await exchange.end_events();
      co_return;
    }
    co_await exchange.wait_for_close();
  };
  auto client_of = [](const LoopbackServer& server) {
    auto options = HttpInteractionsOptions::from_client_params(
        Value{{"api_key", kKey}, {"idle_timeout", 0.2}, {"retry_base_delay", 0}});
    options.base_url = server.base_url();
    options.max_resumes = 1;
    return std::make_shared<HttpInteractionsClient>(options);
  };
  auto targets = [](const LoopbackServer& server) {
    std::vector<std::string> seen;
    for (const auto& request : server.requests)
      seen.push_back(request.method + " " + request.target);
    return seen;
  };
  const Value streamed = {{"stream", true}};
  asio::io_context io;
  LoopbackServer server(io, handler);
  EXPECT_THAT(run_client(io, server, read_all(client_of(server), streamed)),
              ElementsAre("interaction.created#e1", "content.delta#e2", "content.delta#e3",
                          "interaction.completed#e4", "end@int-5"));
  EXPECT_THAT(targets(server),
              ElementsAre("POST /v1/interactions", "GET /v1/interactions/int-5",
                          "GET /v1/interactions/int-5?stream=true&last_event_id=e2"));

  // Resumptions that stay silent too: the cap ends the attempt.
  silent_resumes = true;
  asio::io_context io2;
  LoopbackServer stalled(io2, handler);
  std::string error;
  try {
    run_client(io2, stalled, read_all(client_of(stalled), streamed));
  } catch (const net::ConnectionError& e) {
    error = e.what();
  }
  EXPECT_EQ(error,
            "The event stream of the interaction 'int-5' broke 2 times in a row without a "
            "new event: No event from GET " +
                stalled.base_url() + "/interactions/int-5 within 200 ms.");
  const auto seen = targets(stalled);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "POST /v1/interactions"), 1);
  EXPECT_EQ(seen.size(), 5u);  // the create, then a record and a stream per resumption
}

// A service that ignores last_event_id: every stream replays the
// interaction's events from the start (ids that are not in any order) and
// closes; the stream after `completes_after` of them adds one new piece and
// the completion. A resumption that brings only repeats brings nothing new.
TEST(HttpInteractionsClientTest, SkipsTheEventsAResumptionReplays) {
  int completes_after = 0;
  int streams = 0;
  std::string p;  // put before every id
  auto handler = [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (exchange.request.method == "GET" && target.find('?') == std::string::npos) {
      co_await exchange.respond(200, interaction_record("int-6", "in_progress").dump());
      co_return;
    }
    std::string body = sse_frame(created_event("int-6", p + "k9")) +
                       sse_frame(text_step_delta(0, "Answer. ", p + "b2")) +
                       sse_frame(text_step_delta(0, "More. ", p + "a7"));
    if (++streams > completes_after) {
      body += sse_frame(text_step_delta(0, "End.", p + "c1")) +
              sse_frame(completed_event("int-6", p + "a0"));
    }
    co_await exchange.start_events();
    co_await exchange.chunk(std::move(body));
    co_await exchange.end_events();
  };
  const Value streamed = {{"stream", true}};

  // Two replays, then the completion: each event is taken once, also when
  // the ids differ only after a long part they share.
  for (const std::string& prefix : {std::string(), std::string(2'000, 'x')}) {
    p = prefix;
    completes_after = 3;
    streams = 0;
    asio::io_context io;
    LoopbackServer server(io, handler);
    EXPECT_THAT(run_client(io, server, read_all(client_for(server), streamed)),
                ElementsAre("interaction.created#" + p + "k9", "content.delta#" + p + "b2",
                            "content.delta#" + p + "a7", "content.delta#" + p + "c1",
                            "interaction.completed#" + p + "a0", "end@int-6"));
    EXPECT_EQ(streams, 4);
    EXPECT_EQ(server.requests.back().target,
              "/v1/interactions/int-6?stream=true&last_event_id=" + p + "a7");
  }
  p.clear();

  // Replays without end: the resumptions that bring nothing new reach the
  // cap long before the service would complete.
  completes_after = 50;
  streams = 0;
  asio::io_context io2;
  LoopbackServer replaying(io2, handler);
  std::vector<std::string> seen;
  auto read = [&](std::shared_ptr<HttpInteractionsClient> client) -> asio::awaitable<std::string> {
    CreateInteractionRequest request{
        .input = "bees", .agent = "deep-research-x", .config = streamed};
    CreateInteractionResult created = co_await client->create(std::move(request));
    auto& stream = std::get<InteractionEventStreamPtr>(created);
    try {
      while (auto event = co_await stream->next()) seen.push_back(event->event_id);
    } catch (const net::ConnectionError& e) {
      co_return e.what();
    }
    co_return "no error";
  };
  EXPECT_EQ(run_client(io2, replaying, read(client_for(replaying))),
            "The event stream of the interaction 'int-6' broke 4 times in a row without a "
            "new event: its body ended before the run did.");
  EXPECT_THAT(seen, ElementsAre("k9", "b2", "a7"));
  EXPECT_EQ(streams, 5);  // the create's, then four resumptions, the last three empty
}

// The service ends every connection after one new event, the stream of
// the create after naming the interaction; the stream after `completes_after`
// resumptions (when set) completes it. Every stream first sets `retry` as
// the reconnection time, when given. Returns the resumptions it saw.
LoopbackServer::Handler ending_every_connection(std::string retry, int completes_after,
                                                std::shared_ptr<int> resumptions) {
  return [=](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.method == "GET" &&
        exchange.request.target.find('?') == std::string::npos) {
      co_await exchange.respond(200, interaction_record("int-7", "in_progress").dump());
      co_return;
    }
    const int n = exchange.request.method == "POST" ? 0 : ++*resumptions;
    std::string body = retry.empty() ? "" : "retry: " + retry + "\n\n";
    body += n == 0 ? sse_frame(created_event("int-7", "e0"))
                   : sse_frame(text_step_delta(0, "x", "e" + std::to_string(n)));
    if (n > 0 && n == completes_after) body += sse_frame(completed_event("int-7", "done"));
    co_await exchange.start_events();
    co_await exchange.chunk(std::move(body));
    co_await exchange.end_events();
  };
}

// How reading the stream to its end within `limit` seconds ended.
asio::awaitable<std::string> read_within(std::shared_ptr<HttpInteractionsClient> client,
                                         double limit) {
  try {
    auto reading = read_all(std::move(client), Value{{"stream", true}});
    co_await core::with_timeout(std::move(reading), std::chrono::duration<double>(limit));
  } catch (const core::TimeoutError&) {
    co_return "timed out";
  }
  co_return "completed";
}

// However soon the service ends each connection, and whatever its SSE
// "retry" field says, every resumption waits: at least retry_base_delay, or
// the server's time when longer, at most max_retry_after. The caller's
// limit ends the stream on time; within it the service sees at most a
// resumption (a record and a stream) per pause.
TEST(HttpInteractionsClientTest, ResumptionsArePacedWhateverTheServerSays) {
  struct Row {
    std::string name;
    double floor;  // retry_base_delay
    std::string retry;
    double max_retry_after;
    int completes_after;  // 0: never
    double limit;
    std::string ending;
    int most_resumptions;
  };
  const std::vector<Row> rows = {
      {"the floor", 0.05, "", 60, 0, 0.5, "timed out", 13},
      {"the server's retry time", 0, "200", 60, 0, 0.5, "timed out", 4},
      {"a retry time of 0 keeps the floor", 0.05, "0", 60, 0, 0.5, "timed out", 13},
      {"no setting takes the floor away", 0, "0", 60, 0, 0.5, "timed out", 6},
      // Kept to max_retry_after: three resumptions end well within the limit.
      {"a retry time of days", 0, "999999999", 0.02, 3, 5, "completed", 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto resumptions = std::make_shared<int>(0);
    asio::io_context io;
    LoopbackServer server(io, ending_every_connection(row.retry, row.completes_after, resumptions));
    HttpInteractionsOptions options;
    options.base_url = server.base_url();
    options.api_key = kKey;
    options.retry_base_delay = row.floor;
    options.max_retry_after = row.max_retry_after;
    auto client = std::make_shared<HttpInteractionsClient>(options);
    EXPECT_EQ(run_client(io, server, read_within(client, row.limit)), row.ending);
    EXPECT_GE(*resumptions, 1);
    EXPECT_LE(*resumptions, row.most_resumptions);
  }
}

// `data` as an SSE event, with an "id" line when `sse_id` is given; its own
// "event_id" is dropped.
std::string id_frame(Value data, const std::string& sse_id = "") {
  data.erase("event_id");
  return (sse_id.empty() ? "" : "id: " + sse_id + "\n") + sse_frame(data);
}

// Ids only on SSE "id" lines, and not on every event: the events between
// two id lines carry the earlier id but have none of their own, so none of
// them is a repeat. The create's stream breaks; the resumption starts
// again at the last id taken (a repeat, skipped), then goes on.
TEST(HttpInteractionsClientTest, OnlyAnEventsOwnIdMakesItARepeat) {
  int records = 0;
  auto handler = [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (exchange.request.method == "GET" && target.find('?') == std::string::npos) {
      ++records;
      co_await exchange.respond(200, interaction_record("int-9", "in_progress").dump());
      co_return;
    }
    co_await exchange.start_events();
    if (exchange.request.method == "POST") {
      co_await exchange.chunk(
          id_frame(created_event("int-9", ""), "s1") + id_frame(text_step_delta(0, "A", "")) +
          id_frame(text_step_delta(0, "B", ""), "s2") + id_frame(text_step_delta(0, "C", "")));
      exchange.close();
      co_return;
    }
    co_await exchange.chunk(id_frame(text_step_delta(0, "B", ""), "s2") +
                            id_frame(text_step_delta(0, "D", ""), "s3") +
                            id_frame(completed_event("int-9", "")));
    co_await exchange.end_events();
  };
  auto read = [](std::shared_ptr<HttpInteractionsClient> client)
      -> asio::awaitable<std::vector<std::string>> {
    CreateInteractionRequest request{
        .input = "bees", .agent = "deep-research-x", .config = {{"stream", true}}};
    CreateInteractionResult created = co_await client->create(std::move(request));
    auto& stream = std::get<InteractionEventStreamPtr>(created);
    std::vector<std::string> seen;
    while (auto event = co_await stream->next()) {
      const Value* delta = event->data.contains("delta") ? &event->data["delta"] : nullptr;
      seen.push_back((delta ? delta->value("text", std::string()) : event->event_type) + "#" +
                     event->event_id);
    }
    co_return seen;
  };
  asio::io_context io;
  LoopbackServer server(io, handler);
  EXPECT_THAT(
      run_client(io, server, read(client_for(server))),
      ElementsAre("interaction.created#s1", "A#", "B#s2", "C#", "D#s3", "interaction.completed#"));
  EXPECT_EQ(records, 1);
  EXPECT_EQ(server.requests.back().target, "/v1/interactions/int-9?stream=true&last_event_id=s2");
}

// The answer to each request of the records test: status and body.
std::pair<int, std::string> record_answer(const net::testing::ReceivedRequest& request) {
  if (request.target == "/v1/interactions") {
    return {200, interaction_record("int-3", "queued").dump()};
  }
  if (request.target == "/v1/interactions/int-3") {
    Value record = interaction_record("int-3", "completed", {"One", "Two"});
    const Value content = {{{"type", "image"}, {"data", "..."}}, {{"type", "text"}}};
    record["steps"].push_back({{"type", "model_output"}, {"content", content}});
    return {200, record.dump()};
  }
  if (request.target == "/v1/interactions/int-3/cancel") {
    return {200, interaction_record("int-3", "cancelled").dump()};
  }
  return {404, R"({"error":{"code":404,"message":"Interaction not found"}})"};
}

asio::awaitable<void> serve_records(Exchange& exchange) {
  if (exchange.request.body.find("\"stream\"") == std::string::npos) {
    auto [status, body] = record_answer(exchange.request);
    co_await exchange.respond(status, std::move(body));
    co_return;
  }
  std::string events = sse_frame(created_event("int-4", "e1")) +
                       sse_frame(error_event(500, "Internal error near AIza-test-key"));
  co_await exchange.start_events();
  co_await exchange.chunk(std::move(events));
  co_await exchange.end_events();
}

struct Outcome {
  std::vector<Interaction> records;
  std::string errors;
};

// Creates without a stream, reads and cancels the interaction, then reads
// an unknown one and a stream that reports an error.
asio::awaitable<Outcome> records_and_errors(std::shared_ptr<HttpInteractionsClient> client) {
  Outcome outcome;
  CreateInteractionRequest request{
      .input = "q", .agent = "deep-research-x", .config = {{"timeout", 30}, {"background", true}}};
  CreateInteractionResult created = co_await client->create(std::move(request));
  outcome.records.push_back(std::get<Interaction>(std::move(created)));
  outcome.records.push_back(co_await client->get("int-3"));
  co_await client->cancel("int-3");
  try {
    co_await client->get("gone");
  } catch (const net::HttpError& e) {
    outcome.errors += std::string(e.what()) + "\n";
  }
  const Value streamed = {{"stream", true}};
  try {
    co_await read_all(client, streamed);
  } catch (const core::RuntimeError& e) {
    outcome.errors += e.what();
  }
  co_return outcome;
}

// An id goes into a path as one segment, and never as "." or "..".
TEST(HttpInteractionsClientTest, IdsNeverBecomeDotSegments) {
  HttpInteractionsOptions options;
  options.base_url = "http://127.0.0.1:9/v1";
  options.api_key = kKey;
  const HttpInteractionsClient client(options);
  for (const std::string id : {".", ".."}) {
    const std::string refused = "The id '" + id + "' cannot be a segment of a URL path.";
    EXPECT_EQ(value_error_of([&] { core::run_sync(client.get(id)); }), refused);
    EXPECT_EQ(value_error_of([&] { core::run_sync(client.cancel(id)); }), refused);
  }
}

TEST(HttpInteractionsClientTest, ReadsRecordsCancelsAndNamesErrors) {
  asio::io_context io;
  LoopbackServer server(io, serve_records);
  auto client = client_for(server);
  const Outcome outcome = run_client(io, server, records_and_errors(client));
  EXPECT_EQ(outcome.records.at(0), (Interaction{.id = "int-3", .status = "queued"}));
  EXPECT_EQ(outcome.records.at(1).status, "completed");
  EXPECT_EQ(outcome.records.at(1).outputs,
            (std::vector<InteractionOutput>{{.text = "One"}, {.text = "Two"}, {}}));
  EXPECT_EQ(outcome.errors,
            "HTTP 404 from GET " + server.base_url() +
                "/interactions/gone: Interaction not found\n"
                "The interactions service reported an error in the stream of POST " +
                server.base_url() + "/interactions: Internal error near *** (code 500).");
  ASSERT_EQ(server.requests.size(), 5u);
  EXPECT_EQ(server.requests[0].body,
            R"({"input":"q","agent":"deep-research-x","background":true})");
  EXPECT_EQ(server.requests[1].method, "GET");
  EXPECT_EQ(server.requests[2].method, "POST");
  EXPECT_EQ(server.requests[2].target, "/v1/interactions/int-3/cancel");
}

// The key in use, from the parameters, GEMINI_API_KEY or GOOGLE_API_KEY, is
// masked in a page's title and in a body that holds it JSON-escaped.
TEST(HttpInteractionsClientTest, TheKeyInUseIsMaskedWhereverItCameFrom) {
  for (const std::string from : {"api_key", "GEMINI_API_KEY", "GOOGLE_API_KEY"}) {
    SCOPED_TRACE(from);
    for (const char* name : {"GEMINI_API_KEY", "GOOGLE_API_KEY"}) {
      if (from == name) {
        ::setenv(name, kKey.c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
    asio::io_context io;
    int calls = 0;
    LoopbackServer server(io, [&calls](Exchange& exchange) -> asio::awaitable<void> {
      if (++calls == 1) {
        co_await exchange.respond(403, "<!DOCTYPE html><title>Denied: " + kKey + "</title>",
                                  "Content-Type: text/html\r\n");
      } else {
        co_await exchange.respond(403, R"({"detail":"AIza-test\u002dkey"})");
      }
    });
    Value params = {{"http_options", {{"base_url", server.base_url()}}}, {"retry_base_delay", 0}};
    if (from == "api_key") params["api_key"] = kKey;
    InteractionsClientPtr client = make_http_interactions_client(params);
    auto read = [](InteractionsClientPtr client) -> asio::awaitable<std::string> {
      std::string errors;
      for (int i = 0; i < 2; ++i) {
        try {
          co_await client->get("int-1");
        } catch (const net::HttpError& error) {
          errors += error.message() + "|";
        }
      }
      co_return errors;
    };
    EXPECT_EQ(run_client(io, server, read(client)), R"(Denied: ***|{"detail":"***"}|)");
  }
  ::unsetenv("GEMINI_API_KEY");
  ::unsetenv("GOOGLE_API_KEY");
}

}  // namespace
}  // namespace zelq::providers::google
