// An interaction the service accepted is never created twice in one call,
// and a stop reaches the service however it lands: GoogleDeepResearcher
// over the HTTP client against a loopback server.
#include "zelq/generation/deep_researcher/google_deep_researcher.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/generation/deep_researcher/testing/research_testing.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;
using core::RunFate;
using core::Value;
using inference::LMOutput;
using namespace net::testing;
using namespace providers::google::testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

GoogleDeepResearcherOptions options_for(const LoopbackServer& server) {
  return {.api_key = "AIza-stops-key",
          .retry_config = core::RetryConfig{.max_retries = 3, .base_delay = 0},
          .show_progress = true,
          .status_check_interval = 0,
          .client_factory = [url = server.base_url()](const Value& params) {
            auto options = providers::google::HttpInteractionsOptions::from_client_params(params);
            options.base_url = url;
            options.retry_base_delay = 0.001;
            return std::make_shared<providers::google::HttpInteractionsClient>(options);
          }};
}

asio::awaitable<LMOutput> research(const GoogleDeepResearcher& researcher,
                                   std::shared_ptr<core::EventEmitter> emitter) {
  ResearchRequest request{.query = "Why do bees dance?", .event_emitter = std::move(emitter)};
  co_return co_await researcher.research(std::move(request));
}

// Each answer of the service to a streamed create that brings no event
// makes one create: a record naming the interaction is followed by its
// status; a body that ends cleanly is an empty answer; a stream that breaks
// before naming its interaction ends the call saying it may be going on.
TEST(GoogleDeepResearcherCreates, AnAcceptedCreateIsNeverSentTwice) {
  enum class Answer { RECORD, EMPTY_STREAM, CLOSED_STREAM };
  struct Case {
    const char* name;
    Answer answer;
    std::vector<std::string> texts;  // empty: the call fails
  };
  const Case cases[] = {
      {"a record naming the interaction", Answer::RECORD, {"Bees dance."}},
      {"an event stream that ends without an event", Answer::EMPTY_STREAM, {}},
      {"an event stream whose connection closes", Answer::CLOSED_STREAM, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.method == "GET") {
        co_await exchange.respond(200, interaction_record("int-1", "completed", c.texts).dump());
        co_return;
      }
      if (c.answer == Answer::RECORD) {
        co_await exchange.respond(200, interaction_record("int-1", "in_progress").dump());
        co_return;
      }
      co_await exchange.start_events();
      if (c.answer == Answer::EMPTY_STREAM) co_await exchange.end_events();
    });
    GoogleDeepResearcher researcher(options_for(server));
    std::exception_ptr failure;
    LMOutput output;
    try {
      output = run_client(io, server, research(researcher, nullptr));
    } catch (...) {
      failure = std::current_exception();
    }
    EXPECT_EQ(testing::count_requests(server, "POST", "/v1/interactions"), 1u);
    EXPECT_EQ(testing::count_requests(server, "POST", "/cancel"), 0u);
    if (c.answer != Answer::CLOSED_STREAM) {
      ASSERT_FALSE(failure) << core::describe_exception(failure);
      EXPECT_EQ(output.texts(), c.texts);
      continue;
    }
    ASSERT_TRUE(core::is_run_left_going(failure)) << core::describe_exception(failure);
    EXPECT_EQ(core::run_report_of(failure)->fate(), RunFate::not_named);
    EXPECT_THAT(core::describe_exception(failure),
                HasSubstr("never named its run, which may be going on at the service"));
  }
}

// A stop that lands while the create is unanswered lets it finish; the
// interaction it names, by its first event or by its record, is cancelled,
// and the call returns once the cancel is answered. Two stops in one turn
// end the call at once; the cancel of the named interaction still goes out,
// alone, after the call returned.
TEST(GoogleDeepResearcherStops, EveryStopReachesTheService) {
  enum class Stop { DURING_CREATE_STREAM, DURING_CREATE_RECORD, TWICE_WHILE_STREAMING };
  for (const Stop stop :
       {Stop::DURING_CREATE_STREAM, Stop::DURING_CREATE_RECORD, Stop::TWICE_WHILE_STREAMING}) {
    SCOPED_TRACE(static_cast<int>(stop));
    asio::io_context io;
    asio::cancellation_signal signal;
    bool returned = false;
    bool cancel_after_return = false;
    bool cancel_answered = false;
    bool answered_before_return = false;
    std::exception_ptr failure;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      const std::string& target = exchange.request.target;
      if (target.ends_with("/cancel")) {
        cancel_after_return = returned;
        co_await exchange.respond(200, interaction_record("int-1", "cancelled").dump());
        cancel_answered = true;
        if (returned) server.stop();
        co_return;
      }
      if (exchange.request.method == "GET") {
        co_await exchange.respond(200, interaction_record("int-1", "in_progress").dump());
        co_return;
      }
      // The create has been read; a stop during it lands before any answer.
      if (stop != Stop::TWICE_WHILE_STREAMING) signal.emit(asio::cancellation_type::terminal);
      if (stop == Stop::DURING_CREATE_RECORD) {
        co_await exchange.respond(200, interaction_record("int-1", "in_progress").dump());
        co_return;
      }
      co_await exchange.start_events();
      co_await exchange.chunk(sse_frame(created_event("int-1", "e0")) +
                              sse_frame(thought_step_delta(0, "Reading.", "e1")));
      co_await exchange.wait_for_close();
    });
    auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
    bool stopped = false;
    emitter->add_handler([&](const core::Event&) -> asio::awaitable<void> {
      if (stop == Stop::TWICE_WHILE_STREAMING && !std::exchange(stopped, true)) {
        signal.emit(asio::cancellation_type::terminal);
        signal.emit(asio::cancellation_type::terminal);
      }
      co_return;
    });
    GoogleDeepResearcher researcher(options_for(server));
    asio::co_spawn(io, research(researcher, emitter),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                     failure = e;
                     returned = true;
                     answered_before_return = cancel_answered;
                     if (cancel_answered) server.stop();
                   }));
    io.run_for(std::chrono::seconds(20));
    ASSERT_TRUE(returned);
    EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
    EXPECT_EQ(testing::count_requests(server, "POST", "/v1/interactions"), 1u);
    EXPECT_THAT(testing::request_lines(server),
                ::testing::Contains("POST /v1/interactions/int-1/cancel"));
    EXPECT_EQ(testing::count_requests(server, "POST", "/cancel"), 1u);
    if (stop == Stop::TWICE_WHILE_STREAMING) {
      EXPECT_TRUE(cancel_after_return) << "the call waited for its cancel";
      continue;
    }
    EXPECT_TRUE(answered_before_return) << "the call ended before the cancel was answered";
    const core::RunReport* report = core::run_report_of(failure);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->fate(), RunFate::cancelled);
  }
}

// Two stops that land while the create is unanswered end the call at once;
// the create is still let finish alone, and the interaction it names, once
// the call (and its researcher) are gone, is cancelled.
TEST(GoogleDeepResearcherStops, TwoStopsDuringTheCreateStillCancelTheInteraction) {
  asio::io_context io;
  asio::cancellation_signal signal;
  ReturnGate returned(io);
  std::exception_ptr failure;
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, interaction_record("int-1", "cancelled").dump());
      server.stop();
      co_return;
    }
    signal.emit(asio::cancellation_type::terminal);
    signal.emit(asio::cancellation_type::terminal);
    co_await returned.wait();
    co_await exchange.start_events();
    co_await exchange.chunk(sse_frame(created_event("int-1", "e0")));
    co_await exchange.wait_for_close();
  });
  auto researcher = std::make_unique<GoogleDeepResearcher>(options_for(server));
  asio::co_spawn(io, research(*researcher, nullptr),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                   failure = e;
                   researcher.reset();
                   returned.open();
                 }));
  io.run_for(std::chrono::seconds(20));
  // A call that waited for the create would not have returned: the server
  // answers it only after the call returned.
  ASSERT_TRUE(returned.is_open());
  EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
  EXPECT_EQ(testing::count_requests(server, "POST", "/v1/interactions"), 1u);
  EXPECT_THAT(testing::request_lines(server),
              ElementsAre("POST /v1/interactions", "POST /v1/interactions/int-1/cancel"));
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
