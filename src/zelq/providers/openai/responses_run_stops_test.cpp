// A response the service accepted is never created twice in one call, and a
// stop reaches the service however it lands.
#include "zelq/providers/openai/detail/responses_run.hpp"

#include <functional>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"

namespace zelq::providers::openai {
namespace {

namespace asio = boost::asio;
using core::RunFate;
using core::Value;
using inference::LMInvokeOptions;
using inference::LMInvokerPtr;
using inference::LMOutput;
using inference::Message;
using inference::testing::RecordingEventEmitter;
using net::testing::Exchange;
using net::testing::LoopbackServer;
using ::testing::HasSubstr;

LMInvokerPtr invoker_for(const LoopbackServer& server, Value extra = Value::object()) {
  Value config = {{"base_url", server.base_url()},
                  {"retry_base_delay", 0},
                  {"tools", {"code_interpreter", "web_search"}},
                  {"thinking", true},
                  {"retry_config", {{"max_retries", 3}, {"base_delay", 0}}}};
  for (auto it = extra.begin(); it != extra.end(); ++it) config[it.key()] = it.value();
  return std::make_shared<OpenAILMInvoker>("openai/o4-mini-deep-research", "sk-stops-secret-42",
                                           config);
}

asio::awaitable<LMOutput> ask(LMInvokerPtr invoker, LMInvokeOptions options) {
  std::vector<Message> messages = {Message::user("How do bees navigate?")};
  co_return co_await invoker->invoke(std::move(messages), std::move(options));
}

// What the server saw of one call.
struct Seen {
  int creates = 0;
  std::vector<std::string> cancels;
};

void count(Seen& seen, const Exchange& exchange) {
  const std::string& target = exchange.request.target;
  if (target.ends_with("/cancel")) {
    seen.cancels.push_back(target);
  } else if (exchange.request.method == "POST") {
    ++seen.creates;
  }
}

// Streams the transcript from its start, or after "starting_after".
asio::awaitable<void> serve_transcript(Exchange& exchange) {
  const auto events = testing::research_transcript();
  const std::string& target = exchange.request.target;
  const auto at = target.find("starting_after=");
  const std::size_t from = at == std::string::npos ? 0 : std::stoul(target.substr(at + 15)) + 1;
  co_await exchange.start_events();
  for (std::size_t i = from; i < events.size(); ++i) co_await exchange.chunk(events[i]);
  co_await exchange.end_events();
}

// Each answer of the service to the create that names no stream of events
// makes one create: a record naming the response is followed by its id; an
// answer that names nothing ends the call saying that a response may be
// going on, and buys no second one.
TEST(ResponsesRunCreates, AnAcceptedCreateIsNeverSentTwice) {
  enum class Answer { RECORD, EMPTY_STREAM, CLOSED_STREAM, RECORD_OF_NOTHING };
  struct Case {
    const char* name;
    Answer answer;
    bool answered;  // the call returns the response's text
    int gets;       // GETs of the response's events
  };
  const Case cases[] = {
      {"a record naming the response", Answer::RECORD, true, 1},
      {"an event stream that ends without an event", Answer::EMPTY_STREAM, false, 0},
      {"an event stream whose connection closes", Answer::CLOSED_STREAM, false, 0},
      {"a record that names no response", Answer::RECORD_OF_NOTHING, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    Seen seen;
    int gets = 0;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      count(seen, exchange);
      if (exchange.request.method == "GET") {
        ++gets;
        co_await serve_transcript(exchange);
        co_return;
      }
      switch (c.answer) {
        case Answer::RECORD:
          co_await exchange.respond(200, R"({"id":"resp_1","status":"queued"})");
          break;
        case Answer::RECORD_OF_NOTHING:
          co_await exchange.respond(200, R"({"status":"queued"})");
          break;
        case Answer::EMPTY_STREAM:
          co_await exchange.start_events();
          co_await exchange.end_events();
          break;
        case Answer::CLOSED_STREAM:
          co_await exchange.start_events();
          break;
      }
    });
    std::exception_ptr failure;
    LMOutput output;
    try {
      output = net::testing::run_client(io, server, ask(invoker_for(server), LMInvokeOptions()));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_EQ(seen.creates, 1);
    EXPECT_TRUE(seen.cancels.empty());
    EXPECT_EQ(gets, c.gets);
    if (c.answered) {
      ASSERT_FALSE(failure) << core::describe_exception(failure);
      EXPECT_EQ(output.text(), "Bees use the sun’s position.");
      continue;
    }
    ASSERT_TRUE(core::is_run_left_going(failure)) << core::describe_exception(failure);
    const core::RunReport* report = core::run_report_of(failure);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->fate(), RunFate::not_named);
    EXPECT_THAT(core::describe_exception(failure),
                HasSubstr("never named its run, which may be going on at the service; no new "
                          "run was started"));
  }
}

// A stop that lands while the create is unanswered lets it finish; the
// response it names is cancelled, and the call returns once the cancel is
// answered. A record answer is cancelled the same way.
TEST(ResponsesRunStops, AStopDuringTheCreateStillCancelsTheResponse) {
  for (const bool record : {false, true}) {
    SCOPED_TRACE(record ? "a record" : "a stream");
    asio::io_context io;
    asio::cancellation_signal signal;
    Seen seen;
    bool done = false;
    bool cancel_answered = false;
    std::exception_ptr failure;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      count(seen, exchange);
      if (exchange.request.target.ends_with("/cancel")) {
        cancel_answered = true;
        co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
        co_return;
      }
      if (exchange.request.method == "GET") {
        co_await serve_transcript(exchange);
        co_return;
      }
      // The create has been read; the caller stops now, before any answer.
      signal.emit(asio::cancellation_type::terminal);
      if (record) {
        co_await exchange.respond(200, R"({"id":"resp_1","status":"queued"})");
      } else {
        co_await serve_transcript(exchange);
      }
    });
    asio::co_spawn(io, ask(invoker_for(server), LMInvokeOptions()),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                     failure = e;
                     done = cancel_answered;
                     server.stop();
                   }));
    io.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(done) << "the call ended before the cancel was answered";
    EXPECT_EQ(seen.creates, 1);
    EXPECT_THAT(seen.cancels, ::testing::ElementsAre("/v1/responses/resp_1/cancel"));
    ASSERT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
    const core::RunReport* report = core::run_report_of(failure);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->fate(), RunFate::cancelled);
    EXPECT_EQ(report->shown_id(), "'resp_1'");
  }
}

// Two stops in one handler end the call at once; the cancel of the named
// response still goes out, alone, and reaches the server after the call
// returned.
TEST(ResponsesRunStops, TwoStopsInOneTurnStillSendTheCancel) {
  asio::io_context io;
  asio::cancellation_signal signal;
  Seen seen;
  bool returned = false;
  bool cancel_after_return = false;
  std::exception_ptr failure;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    count(seen, exchange);
    if (exchange.request.target.ends_with("/cancel")) {
      cancel_after_return = returned;
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      server.stop();
      co_return;
    }
    const auto events = testing::research_transcript();
    co_await exchange.start_events();
    for (std::size_t i = 0; i < 5; ++i) co_await exchange.chunk(events[i]);
    co_await exchange.wait_for_close();
  });
  auto emitter = std::make_shared<RecordingEventEmitter>();
  emitter->add_handler([&](const core::Event&) -> asio::awaitable<void> {
    if (!std::exchange(returned, true) && !failure) {
      signal.emit(asio::cancellation_type::terminal);
      signal.emit(asio::cancellation_type::terminal);
    }
    co_return;
  });
  LMInvokeOptions options;
  options.event_emitter = emitter;
  bool done = false;
  asio::co_spawn(io, ask(invoker_for(server), options),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                   failure = e;
                   done = true;
                 }));
  io.run_for(std::chrono::seconds(20));
  ASSERT_TRUE(done);
  EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
  EXPECT_EQ(seen.creates, 1);
  EXPECT_THAT(seen.cancels, ::testing::ElementsAre("/v1/responses/resp_1/cancel"));
  EXPECT_TRUE(cancel_after_return) << "the call waited for its cancel";
}

// Cancel requests have a pool of their own, as large as the requests in
// flight: with 200 calls each stopped once its response is named, no more
// than twice max_concurrency requests are ever in flight, and every
// response gets its cancel.
TEST(ResponsesRunStops, CancelRequestsHaveABoundedPoolOfTheirOwn) {
  constexpr int kCalls = 200;
  constexpr std::size_t kSlots = 2;
  asio::io_context io;
  int created = 0;
  std::size_t cancels_in_flight = 0;
  std::size_t peak_cancels = 0;
  std::set<std::string> cancelled;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    const std::string& target = exchange.request.target;
    if (target.ends_with("/cancel")) {
      peak_cancels = std::max(peak_cancels, ++cancels_in_flight);
      // Held a little, so that cancels pile up while new responses start.
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(2));
      co_await pause.async_wait(asio::use_awaitable);
      --cancels_in_flight;
      cancelled.insert(target);
      co_await exchange.respond(200, R"({"status":"cancelled"})");
      co_return;
    }
    // The response is named and its reasoning begins; then the stream holds.
    const std::string id = "resp_" + std::to_string(++created);
    co_await exchange.start_events();
    for (std::string& event : testing::research_opening(id)) {
      co_await exchange.chunk(std::move(event));
    }
    co_await exchange.wait_for_close();
  });
  LMInvokerPtr invoker = invoker_for(server, {{"max_concurrency", kSlots}});
  std::vector<asio::cancellation_signal> signals(kCalls);
  int done = 0;
  for (int call = 0; call < kCalls; ++call) {
    // Each call is stopped once, at the first event of its response.
    auto emitter = std::make_shared<RecordingEventEmitter>();
    auto stopped = std::make_shared<bool>(false);
    emitter->add_handler([&, call, stopped](const core::Event&) -> asio::awaitable<void> {
      if (!std::exchange(*stopped, true)) {
        asio::post(io, [&, call] { signals[call].emit(asio::cancellation_type::terminal); });
      }
      co_return;
    });
    LMInvokeOptions options;
    options.event_emitter = emitter;
    asio::post(io, [&, call, options] {
      asio::co_spawn(
          io, ask(invoker, options),
          asio::bind_cancellation_slot(signals[call].slot(), [&](std::exception_ptr, LMOutput) {
            if (++done == kCalls) server.stop();
          }));
    });
  }
  io.run_for(std::chrono::seconds(60));
  EXPECT_EQ(done, kCalls);
  EXPECT_LE(server.peak, 2 * kSlots);
  EXPECT_LE(peak_cancels, kSlots);
  EXPECT_EQ(cancelled.size(), static_cast<std::size_t>(created));
}

// Two stops that land while the create is unanswered end the call at once;
// the create is still let finish alone, and the response it names, once the
// call has returned, is cancelled.
TEST(ResponsesRunStops, TwoStopsDuringTheCreateStillCancelTheResponse) {
  asio::io_context io;
  asio::cancellation_signal signal;
  net::testing::ReturnGate returned(io);
  Seen seen;
  std::exception_ptr failure;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    count(seen, exchange);
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      server.stop();
      co_return;
    }
    // The create has been read; the caller stops twice, and the create is
    // answered only once the call has returned.
    signal.emit(asio::cancellation_type::terminal);
    signal.emit(asio::cancellation_type::terminal);
    co_await returned.wait();
    co_await serve_transcript(exchange);
  });
  asio::co_spawn(io, ask(invoker_for(server), LMInvokeOptions()),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                   failure = e;
                   returned.open();
                 }));
  io.run_for(std::chrono::seconds(20));
  // A call that waited for the create would not have returned: the server
  // answers it only after the call returned.
  ASSERT_TRUE(returned.is_open());
  EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
  EXPECT_EQ(core::run_report_of(failure)->fate(), RunFate::not_named);
  EXPECT_EQ(seen.creates, 1);
  EXPECT_THAT(seen.cancels, ::testing::ElementsAre("/v1/responses/resp_1/cancel"));
}

}  // namespace
}  // namespace zelq::providers::openai
