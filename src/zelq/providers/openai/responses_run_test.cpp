#include "zelq/providers/openai/detail/responses_run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "zelq/core/clean_up.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"

namespace zelq::providers::openai {
namespace {

namespace asio = boost::asio;
using core::Value;
using inference::LMInvokeOptions;
using inference::LMInvokerPtr;
using inference::LMOutput;
using inference::Message;
using inference::testing::RecordingEventEmitter;
using net::testing::CallerStop;
using net::testing::Exchange;
using net::testing::hold_cancel_request;
using net::testing::LoopbackServer;
using net::testing::run_client;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAre;

const std::string kKey = "sk-resp-secret-42";

// Serves the transcript: the POST stream stops after event `cut` (the
// connection drops) when set; a resume sends the events from
// "starting_after" itself on (one repeat, which must be skipped) to the end.
struct TranscriptServer {
  std::vector<std::string> events = testing::research_transcript();
  std::optional<std::size_t> cut{};

  asio::awaitable<void> operator()(Exchange& exchange) const {
    const std::string& target = exchange.request.target;
    if (target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      co_return;
    }
    std::size_t from = 0;
    std::size_t to = events.size();
    if (exchange.request.method == "GET") {
      const auto at = target.find("starting_after=");
      from = at == std::string::npos ? 0 : std::stoul(target.substr(at + 15));
    } else if (cut) {
      to = *cut + 1;
    }
    co_await exchange.start_events();
    for (std::size_t i = from; i < to; ++i) co_await exchange.chunk(events[i]);
    if (to == events.size()) co_await exchange.end_events();
  }
};

Value config_for(const LoopbackServer& server, Value extra = Value::object()) {
  Value config = {{"base_url", server.base_url()},
                  {"retry_base_delay", 0},
                  {"tools", {"code_interpreter", "web_search"}},
                  {"thinking", true}};
  for (auto it = extra.begin(); it != extra.end(); ++it) config[it.key()] = it.value();
  return config;
}

asio::awaitable<LMOutput> ask(LMInvokerPtr invoker, LMInvokeOptions options) {
  std::vector<Message> messages = {Message::user("How do bees navigate?")};
  co_return co_await invoker->invoke(std::move(messages), std::move(options));
}

LMOutput research(asio::io_context& io, LoopbackServer& server, const Value& config,
                  std::shared_ptr<RecordingEventEmitter> emitter) {
  LMInvokerPtr invoker =
      std::make_shared<OpenAILMInvoker>("openai/o4-mini-deep-research", kKey, config);
  LMInvokeOptions options;
  options.event_emitter = std::move(emitter);
  return run_client(io, server, ask(invoker, options));
}

std::string failure_of(asio::io_context& io, LoopbackServer& server, const Value& config) {
  try {
    research(io, server, config, nullptr);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

// Serves `events` on the stream of the POST, one chunk each.
LoopbackServer::Handler serving(std::vector<std::string> events) {
  return [events = std::move(events)](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    for (const std::string& event : events) co_await exchange.chunk(event);
    co_await exchange.end_events();
  };
}

// The events of a response whose one text is `text`, cited by `notes`: the
// text streamed in deltas of up to `piece` bytes (at sentence ends of
// `sentence` bytes), the annotations, then the completion; or, with
// `streamed` false, only a completion whose message carries the text and the
// annotations.
std::vector<std::string> cited_response(const std::string& text, const Value& notes, bool streamed,
                                        std::size_t piece = 240) {
  using testing::responses_event;
  long long sequence = 0;
  std::vector<std::string> events = {responses_event(
      "response.created", sequence++, {{"response", {{"id", "resp_1"}, {"status", "queued"}}}})};
  Value done = {{"id", "resp_1"}, {"status", "completed"}};
  const Value where = {{"item_id", "msg_1"}, {"output_index", 0}, {"content_index", 0}};
  if (streamed) {
    for (std::size_t at = 0; at < text.size(); at += piece) {
      Value delta = where;
      delta["delta"] = text.substr(at, piece);
      events.push_back(responses_event("response.output_text.delta", sequence++, delta));
    }
    for (const Value& note : notes) {
      Value added = where;
      added["annotation"] = note;
      events.push_back(responses_event("response.output_text.annotation.added", sequence++, added));
    }
  } else {
    const Value content = {{"type", "output_text"}, {"text", text}, {"annotations", notes}};
    done["output"] = {{{"id", "msg_1"}, {"type", "message"}, {"content", {content}}}};
  }
  events.push_back(responses_event("response.completed", sequence, {{"response", done}}));
  return events;
}

Value url_citation(long long start, long long end, const std::string& url = "https://s/") {
  return {{"type", "url_citation"},
          {"start_index", start},
          {"end_index", end},
          {"url", url},
          {"title", "T"}};
}

std::size_t quoted_bytes(const LMOutput& output) {
  std::size_t bytes = 0;
  for (const core::ChunkPtr& citation : output.citations()) bytes += citation->text().size();
  return bytes;
}

TEST(ResponsesRunTest, StreamsThinkingActivityAndAnswerInOrder) {
  asio::io_context io;
  LoopbackServer server(io, TranscriptServer{});
  auto emitter = std::make_shared<RecordingEventEmitter>();
  const LMOutput output = research(io, server, config_for(server), emitter);

  EXPECT_EQ(output.text(), "Bees use the sun’s position.");
  EXPECT_THAT(output.thinkings(), ElementsAre(inference::Thinking{"**Planning** the search."}));
  ASSERT_EQ(output.citations().size(), 1u);
  EXPECT_EQ(output.citations()[0]->text(), "sun’s position.");
  EXPECT_EQ(output.citations()[0]->metadata.dump(),
            R"({"url":"https://bees.example/sun","title":"Sun compass"})");

  EXPECT_THAT(emitter->types(),
              ElementsAre("thinking_start", "thinking", "thinking", "thinking_end", "activity",
                          "activity", "response_start", "response", "response", "response_end"));
  const auto events = emitter->events();
  EXPECT_EQ(events[1].value, "**Planning** ");
  EXPECT_EQ(events[4].value.dump(), R"({"type":"search","query":"bee navigation"})");
  EXPECT_EQ(events[5].value.dump(), R"j({"type":"code_interpreter","code":"print(2 + 2)"})j");
  EXPECT_EQ(events[8].value, "sun’s position.");
  for (std::size_t i : {1, 2, 3}) EXPECT_EQ(events[i].id, events[0].id);
  for (std::size_t i : {7, 8, 9}) EXPECT_EQ(events[i].id, events[6].id);
  EXPECT_NE(events[4].id, events[5].id);
  EXPECT_NE(events[0].id, events[6].id);

  ASSERT_EQ(server.requests.size(), 1u);
  EXPECT_EQ(server.requests[0].target, "/v1/responses");
  EXPECT_EQ(server.requests[0].header("Authorization"), "Bearer " + kKey);
  EXPECT_EQ(server.requests[0].body,
            R"({"model":"o4-mini-deep-research",)"
            R"("input":[{"role":"user","content":"How do bees navigate?"}],)"
            R"("tools":[{"type":"code_interpreter","container":{"type":"auto"}},)"
            R"({"type":"web_search_preview"}],"reasoning":{"summary":"auto"},)"
            R"("background":true,"stream":true})");
}

// The stream is cut after every event in turn: each resume asks for the
// events after the last one taken, and the output and the events are those
// of an unbroken stream.
TEST(ResponsesRunTest, ResumesADroppedStreamLosingAndRepeatingNothing) {
  std::vector<std::string> whole_types;
  {
    asio::io_context io;
    LoopbackServer server(io, TranscriptServer{});
    auto emitter = std::make_shared<RecordingEventEmitter>();
    research(io, server, config_for(server), emitter);
    whole_types = emitter->types();
  }
  const std::size_t last = testing::research_transcript().size() - 1;
  for (std::size_t cut = 0; cut < last; ++cut) {
    SCOPED_TRACE("cut after event " + std::to_string(cut));
    asio::io_context io;
    LoopbackServer server(io, TranscriptServer{.cut = cut});
    auto emitter = std::make_shared<RecordingEventEmitter>();
    const LMOutput output = research(io, server, config_for(server), emitter);
    EXPECT_EQ(output.texts(), std::vector<std::string>{"Bees use the sun’s position."});
    EXPECT_EQ(output.citations().size(), 1u);
    EXPECT_EQ(output.thinkings().size(), 1u);
    EXPECT_EQ(emitter->types(), whole_types);
    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_EQ(server.requests[1].method, "GET");
    EXPECT_EQ(server.requests[1].target,
              "/v1/responses/resp_1?stream=true&starting_after=" + std::to_string(cut));
  }

  // A stream that keeps breaking without a new event ends the attempt, and
  // the response is cancelled.
  {
    asio::io_context io;
    LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.target.ends_with("/cancel")) {
        co_await exchange.respond(200, "{}");
        co_return;
      }
      co_await exchange.start_events();
      if (exchange.request.method == "POST") {
        co_await exchange.chunk(testing::research_transcript().front());
      }
    });
    EXPECT_THAT(failure_of(io, server, config_for(server)),
                HasSubstr("The stream of the OpenAI response resp_1 broke 4 times in a row "
                          "without a new event"));
    ASSERT_EQ(server.requests.size(), 6u);
    EXPECT_EQ(server.requests[4].target, "/v1/responses/resp_1?stream=true&starting_after=0");
    EXPECT_EQ(server.requests[5].target, "/v1/responses/resp_1/cancel");
  }

  // Cut before the response is named: nothing to resume.
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.start_events();
    co_await exchange.chunk(": still queued\n\n");
  });
  EXPECT_THAT(failure_of(io, server, config_for(server)),
              HasSubstr("/v1/responses broke before it named the response"));
}

TEST(ResponsesRunTest, FailuresNameTheServiceMessageAndNeverTheKey) {
  core::LogCapture log;
  auto failing = [](std::string type, Value fields) {
    return [type, fields](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.target.ends_with("/cancel")) {
        co_await exchange.respond(500, R"({"error":{"message":"no cancel for )" + kKey + R"("}})");
        co_return;
      }
      const auto events = testing::research_transcript();
      co_await exchange.start_events();
      for (std::size_t i = 0; i < 5; ++i) co_await exchange.chunk(events[i]);
      co_await exchange.chunk(testing::responses_event(type, 5, fields));
      co_await exchange.end_events();
    };
  };
  const Value failed = {
      {"response",
       {{"id", "resp_1"},
        {"status", "failed"},
        {"error", {{"code", "server_error"}, {"message", "Key " + kKey + " broke"}}}}}};
  const Value incomplete = {
      {"response", {{"id", "resp_1"}, {"incomplete_details", {{"reason", "max_output_tokens"}}}}}};
  const Value error = {{"code", "rate_limit_exceeded"}, {"message", "Slow down"}};
  struct Case {
    std::string type;
    Value fields;
    std::string expected;
    bool cancels;
  };
  const std::vector<Case> cases = {
      {"response.failed", failed, "failed (server_error): Key *** broke.", false},
      {"response.incomplete", incomplete, "is incomplete: max_output_tokens.", false},
      {"response.cancelled", {{"response", {{"id", "resp_1"}}}}, "was cancelled.", false},
      {"error", error, "reports an error (rate_limit_exceeded): Slow down.", true}};
  for (const Case& c : cases) {
    asio::io_context io;
    LoopbackServer server(io, failing(c.type, c.fields));
    const std::string what = failure_of(io, server, config_for(server));
    EXPECT_THAT(what, HasSubstr("The OpenAI response resp_1 of POST " + server.base_url() +
                                "/responses " + c.expected));
    EXPECT_EQ(server.requests.back().target.ends_with("/resp_1/cancel"), c.cancels) << c.type;
  }

  asio::io_context io;
  LoopbackServer refusing(io, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(401, R"({"error":{"message":"Incorrect API key: )" + kKey + R"("}})");
  });
  const Value once = {{"retry_config", {{"max_retries", 2}, {"base_delay", 0}}}};
  EXPECT_EQ(failure_of(io, refusing, config_for(refusing, once)),
            "HTTP 401 from POST " + refusing.base_url() + "/responses: Incorrect API key: ***");
  EXPECT_EQ(refusing.requests.size(), 1u);  // a refused key is not retried

  // A 503 is retried by the API client only, not again by the policy.
  asio::io_context io2;
  LoopbackServer unavailable(io2, [](Exchange& exchange) -> asio::awaitable<void> {
    co_await exchange.respond(503, "<html>\n<body>Service\n  unavailable.</body>\n</html>");
  });
  const Value twice = {{"max_retries", 1},
                       {"retry_config", {{"max_retries", 2}, {"base_delay", 0}}}};
  EXPECT_EQ(failure_of(io2, unavailable, config_for(unavailable, twice)),
            "HTTP 503 from POST " + unavailable.base_url() + "/responses: Service unavailable.");
  EXPECT_EQ(unavailable.requests.size(), 2u);

  EXPECT_THAT(log.messages("OpenAILMInvoker", zelq::core::LogLevel::warn),
              ElementsAre(HasSubstr("Could not cancel the OpenAI response resp_1: HTTP 500")));
  for (const auto& line : log.lines()) EXPECT_THAT(line.message, Not(HasSubstr(kKey)));
}

// The response id is the service's: where it names the response in an
// error or a log line (also inside a URL), the key is masked and an
// overlong id cut, whether the stream keeps ending early, its resumption is
// refused or the response fails.
TEST(ResponsesRunTest, AResponseIdNeverShowsTheKey) {
  enum class Case { DROPS, GONE, FAILED };
  const std::string id = "resp_" + kKey + " " + std::string(2000, 'x');
  const std::string shown = "resp_*** " + std::string(300 - 9, 'x') + "...";
  for (const Case c : {Case::DROPS, Case::GONE, Case::FAILED}) {
    SCOPED_TRACE(static_cast<int>(c));
    core::LogCapture log;
    asio::io_context io;
    LoopbackServer server(io, [c, id](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.target.ends_with("/cancel")) {
        co_await exchange.respond(500, R"({"error":{"message":"no cancel"}})");
        co_return;
      }
      if (exchange.request.method == "GET" && c == Case::GONE) {
        co_await exchange.respond(404, R"({"error":{"message":"No such response."}})");
        co_return;
      }
      co_await exchange.start_events();
      if (exchange.request.method == "POST") {
        const Value created = {{"response", {{"id", id}, {"status", "queued"}}}};
        co_await exchange.chunk(testing::responses_event("response.created", 0, created));
      }
      if (c == Case::FAILED) {
        const Value failed = {{"response", {{"id", id}, {"error", {{"message", "No."}}}}}};
        co_await exchange.chunk(testing::responses_event("response.failed", 1, failed));
      }
      co_await exchange.end_events();
    });
    const std::string what = failure_of(io, server, config_for(server));
    EXPECT_THAT(what, Not(HasSubstr(kKey)));
    EXPECT_LT(what.size(), 1000u) << what;
    if (c == Case::DROPS) {
      EXPECT_THAT(what, HasSubstr("The stream of the OpenAI response " + shown +
                                  " broke 4 times in a row without a new event"));
      EXPECT_THAT(
          log.messages("OpenAILMInvoker", core::LogLevel::info),
          AllOf(SizeIs(1), Each(HasSubstr("Resuming the stream of the OpenAI response " + shown))));
    } else if (c == Case::GONE) {
      EXPECT_THAT(
          what, HasSubstr("HTTP 404 from GET " + server.base_url() + "/responses/resp_***%20xxx"));
    } else {
      EXPECT_THAT(what, HasSubstr("The OpenAI response " + shown + " of POST "));
    }
    for (const auto& line : log.lines()) {
      EXPECT_THAT(line.message, Not(HasSubstr(kKey)));
      EXPECT_LT(line.message.size(), 1000u) << line.message;
    }
  }
}

// The service ends every connection after one new event: each resumption
// waits at least retry_base_delay, the policy's time-out ends the attempt,
// and the resumptions are logged once.
TEST(ResponsesRunTest, AStreamEndedAfterEveryEventIsResumedAtAPace) {
  core::LogCapture log;
  auto resumptions = std::make_shared<long long>(0);
  asio::io_context io;
  LoopbackServer server(io, [resumptions](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      co_return;
    }
    const bool created = exchange.request.method == "POST";
    const long long sequence = created ? 0 : ++*resumptions;
    const Value response = {{"response", {{"id", "resp_1"}, {"status", "in_progress"}}}};
    co_await exchange.start_events();
    co_await exchange.chunk(testing::responses_event(
        created ? "response.created" : "response.in_progress", sequence, response));
    co_await exchange.end_events();
  });
  const Value limited = {{"retry_base_delay", 0.05},
                         {"retry_config", {{"max_retries", 0}, {"timeout", 0.5}}}};
  EXPECT_THAT(failure_of(io, server, config_for(server, limited)), HasSubstr("timed out"));
  EXPECT_GE(*resumptions, 1);
  EXPECT_LE(*resumptions, 13);
  EXPECT_TRUE(server.requests.back().target.ends_with("/resp_1/cancel"));
  EXPECT_THAT(log.messages("OpenAILMInvoker", core::LogLevel::info),
              ElementsAre(HasSubstr("Resuming the stream of the OpenAI response resp_1")));
}

// A response the service names "." or ".." is never resumed or cancelled
// through a path that a proxy would resolve to another endpoint.
TEST(ResponsesRunTest, AResponseIdIsNeverADotSegment) {
  for (const std::string id : {".", ".."}) {
    asio::io_context io;
    LoopbackServer server(io, [id](Exchange& exchange) -> asio::awaitable<void> {
      const Value created = {{"response", {{"id", id}, {"status", "queued"}}}};
      co_await exchange.start_events();
      co_await exchange.chunk(testing::responses_event("response.created", 0, created));
      co_await exchange.end_events();
    });
    EXPECT_EQ(failure_of(io, server, config_for(server)),
              "The id '" + id + "' cannot be a segment of a URL path.");
    EXPECT_EQ(server.requests.size(), 1u);
  }
}

TEST(ResponsesRunTest, AnEventTooDeepToReadIsRetriedLikeAnyFailedAttempt) {
  auto posts = std::make_shared<int>(0);
  asio::io_context io;
  LoopbackServer server(io, [posts](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      co_return;
    }
    const auto events = testing::research_transcript();
    const bool first = ++*posts == 1;
    co_await exchange.start_events();
    for (std::size_t i = 0; i < (first ? 5 : events.size()); ++i)
      co_await exchange.chunk(events[i]);
    if (first) {
      co_await exchange.chunk("event: x\ndata: {\"a\": " + std::string(600, '[') +
                              std::string(600, ']') + "}\n\n");
    }
    co_await exchange.end_events();
  });
  const Value retried = {{"retry_config", {{"max_retries", 1}, {"base_delay", 0}}}};
  EXPECT_EQ(research(io, server, config_for(server, retried), nullptr).text(),
            "Bees use the sun’s position.");
  EXPECT_EQ(*posts, 2);
  EXPECT_TRUE(server.requests.at(1).target.ends_with("/resp_1/cancel"));
}

// Sentence k holds 16 characters in 24 bytes (characters of one to four
// bytes), so a citation of characters [16k, 16k + 16) quotes exactly it.
TEST(ResponsesRunTest, CitationsQuoteTheCharactersTheyMark) {
  auto sentence = [](int k) {
    const std::string number = std::to_string(1000 + k).substr(1);
    return "Fact " + number + " \u2013 \u00e9\u20ac\U00010348. ";
  };
  ASSERT_EQ(sentence(7), "Fact 007 – é€𐍈. ");
  ASSERT_EQ(sentence(7).size(), 24u);
  std::string text;
  for (int k = 0; k < 200; ++k) text += sentence(k);
  Value notes = Value::array();
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {  // every sentence once, out of order
    const int k = i * 77 % 200;
    notes.push_back(url_citation(16 * k, 16 * k + 16, "https://s/" + std::to_string(k)));
    expected.push_back(sentence(k));
  }
  notes.push_back(url_citation(3190, 1LL << 40));  // runs past the end: the rest of the text
  expected.push_back("99 – é€𐍈. ");
  notes.push_back(url_citation(50, 10));                      // ends before it starts
  notes.push_back(url_citation(1LL << 40, (1LL << 40) + 5));  // past the end
  notes.push_back(url_citation(-5, 3));
  notes.push_back({{"type", "file_citation"}, {"start_index", 0}, {"end_index", 16}});
  expected.insert(expected.end(), 3, "");

  for (bool streamed : {true, false}) {
    SCOPED_TRACE(streamed ? "streamed" : "in the completed response");
    asio::io_context io;
    LoopbackServer server(io, serving(cited_response(text, notes, streamed)));
    const LMOutput output = research(io, server, config_for(server), nullptr);
    EXPECT_EQ(output.texts(), std::vector<std::string>{text});
    std::vector<std::string> quoted;
    for (const core::ChunkPtr& citation : output.citations()) quoted.push_back(citation->text());
    EXPECT_EQ(quoted, expected);
    EXPECT_EQ(output.citations().at(1)->metadata.dump(), R"({"url":"https://s/77","title":"T"})");
  }
}

// Citations may quote their text four times over, and 64 KiB besides (a
// short answer that many sources back): a stream that asks for more from
// what little it sent fails, and nothing is copied. A policy that would
// retry twice asks for it once: it would be refused again.
TEST(ResponsesRunTest, CitationsQuotingTheTextOverAndOverFailTheAttempt) {
  const std::string text(64 << 10, 'a');
  auto whole_text = [](std::size_t times) {
    return Value(std::vector<Value>(times, url_citation(0, 1LL << 40)));
  };
  for (bool streamed : {true, false}) {
    SCOPED_TRACE(streamed ? "streamed" : "in the completed response");
    {
      asio::io_context io;
      LoopbackServer server(io, serving(cited_response(text, whole_text(5), streamed, 16 << 10)));
      EXPECT_EQ(quoted_bytes(research(io, server, config_for(server), nullptr)), 5u * text.size());
    }
    {
      asio::io_context io;
      LoopbackServer server(io, serving(cited_response("Yes.", whole_text(40), streamed)));
      EXPECT_EQ(quoted_bytes(research(io, server, config_for(server), nullptr)), 160u);
    }
    asio::io_context io;
    LoopbackServer server(io, serving(cited_response(text, whole_text(100), streamed, 16 << 10)));
    const Value retried = {{"retry_config", {{"max_retries", 2}, {"base_delay", 0}}}};
    EXPECT_EQ(failure_of(io, server, config_for(server, retried)),
              "The citations of the OpenAI response resp_1 of POST " + server.base_url() +
                  "/responses quote 6553600 bytes of its 65536 bytes of text, more than the "
                  "limit of 327680 (4 times the text and 65536 bytes).");
    EXPECT_EQ(server.requests.size(), 1u);  // the response had ended: nothing to cancel
  }
}

// A text may carry one citation per 64 bytes, and 1024 besides (a short
// answer that many sources back). One more fails the attempt: a streamed
// one as it arrives, before it is kept, and the response is cancelled. A
// policy that would retry twice asks for it once: it would be refused again.
TEST(ResponsesRunTest, CitationsBeyondOnePer64BytesOfTextFailTheAttempt) {
  const Value empty_citation = {{"type", "url_citation"}};
  auto citations = [&](std::size_t count) {
    return Value(std::vector<Value>(count, empty_citation));
  };
  // Serves the response, and answers its cancellation.
  auto serving_cancellable = [](std::vector<std::string> events) {
    return [events = std::move(events)](Exchange& exchange) -> asio::awaitable<void> {
      if (exchange.request.target.ends_with("/cancel")) {
        co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
        co_return;
      }
      co_await exchange.start_events();
      try {
        for (const std::string& event : events) co_await exchange.chunk(event);
        co_await exchange.end_events();
      } catch (const std::exception&) {
        // The client hung up at the citation too many.
      }
    };
  };
  const std::string text(64 << 10, 'a');
  struct Case {
    std::string text;
    std::size_t citations;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"Yes.", 1024, false}, {"Yes.", 1025, true}, {text, 2048, false}, {text, 2049, true}};
  for (bool streamed : {true, false}) {
    for (const Case& shape : cases) {
      SCOPED_TRACE((streamed ? "streamed, " : "in the completed response, ") +
                   std::to_string(shape.citations));
      asio::io_context io;
      LoopbackServer server(io, serving_cancellable(cited_response(
                                    shape.text, citations(shape.citations), streamed, 16 << 10)));
      if (!shape.refused) {
        EXPECT_THAT(research(io, server, config_for(server), nullptr).citations(),
                    SizeIs(shape.citations));
        continue;
      }
      const std::size_t limit = shape.citations - 1;
      const Value retried = {{"retry_config", {{"max_retries", 2}, {"base_delay", 0}}}};
      EXPECT_EQ(failure_of(io, server, config_for(server, retried)),
                "The citations of the OpenAI response resp_1 of POST " + server.base_url() +
                    "/responses number " + std::to_string(shape.citations) + " for its " +
                    std::to_string(shape.text.size()) + " bytes of text, more than the limit of " +
                    std::to_string(limit) + " (one per 64 bytes of text and 1024 besides).");
      // A stream refused before its end leaves a response running: it is
      // cancelled. A completed one has nothing left to cancel.
      ASSERT_EQ(server.requests.size(), streamed ? 2u : 1u);
      if (streamed) {
        EXPECT_EQ(server.requests[1].target, "/v1/responses/resp_1/cancel");
      }
    }
  }
}

TEST(ResponsesRunTest, CancellingTheCallCancelsTheResponse) {
  asio::io_context io;
  LoopbackServer server(io, [](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
      co_return;
    }
    const auto events = testing::research_transcript();
    co_await exchange.start_events();
    for (std::size_t i = 0; i < 15; ++i) co_await exchange.chunk(events[i]);
    co_await exchange.wait_for_close();
  });
  asio::cancellation_signal signal;
  auto emitter = std::make_shared<RecordingEventEmitter>();
  // One cancellation, at the first response event: a second would end the
  // cancel request at once.
  bool stopped = false;
  emitter->add_handler([&](const core::Event& event) -> asio::awaitable<void> {
    if (event.type == "response" && !stopped) {
      stopped = true;
      asio::post(io, [&] { signal.emit(asio::cancellation_type::terminal); });
    }
    co_return;
  });
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
      "openai/o4-mini-deep-research", kKey,
      config_for(server, {{"retry_config", {{"max_retries", 3}, {"base_delay", 0}}}}));
  LMInvokeOptions options;
  options.event_emitter = emitter;
  std::exception_ptr failure;
  bool done = false;
  asio::co_spawn(io, ask(invoker, options),
                 asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                   failure = e;
                   done = true;
                   server.stop();
                 }));
  io.run_for(std::chrono::seconds(20));
  ASSERT_TRUE(done);
  ASSERT_TRUE(failure);
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(error.code(), asio::error::operation_aborted);
  }
  ASSERT_EQ(server.requests.size(), 2u);  // cancellation is not retried
  EXPECT_EQ(server.requests[1].method, "POST");
  EXPECT_EQ(server.requests[1].target, "/v1/responses/resp_1/cancel");
  EXPECT_EQ(server.requests[1].header("Authorization"), "Bearer " + kKey);
}

// An attempt that fails on a malformed event cancels its response. The
// caller's first cancellation or deadline, landing while the server holds
// that cancel request, does not stop it: the service gets the cancel and
// answers it, and the caller gets its cancellation or time-out, which is not
// retried. After a second cancellation the call ends at once and leaves the
// cancel request to go on alone (here the server stops with the call).
TEST(ResponsesRunTest, TheCancelOfAFailedAttemptOutlastsTheCallersFirstCancellation) {
  using Stop = CallerStop;
  constexpr auto kLimit = std::chrono::seconds(1);
  for (const Stop stop : {Stop::DEADLINE, Stop::CANCEL, Stop::CANCEL_TWICE}) {
    SCOPED_TRACE(static_cast<int>(stop));
    core::LogCapture log;
    asio::io_context io;
    asio::cancellation_signal signal;
    std::chrono::steady_clock::time_point created;
    LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
      if (!exchange.request.target.ends_with("/cancel")) {
        created = std::chrono::steady_clock::now();
        const auto events = testing::research_transcript();
        co_await exchange.start_events();
        for (std::size_t i = 0; i < 5; ++i) co_await exchange.chunk(events[i]);
        co_await exchange.chunk("event: response.output_text.delta\ndata: {\"type\": \n\n");
        co_await exchange.wait_for_close();
        co_return;
      }
      // Under a deadline (set before the create came) the cancel is held until it passed.
      const auto deadline = created + kLimit + std::chrono::milliseconds(1);
      if (!co_await hold_cancel_request(exchange, stop, deadline, signal)) co_return;
      co_await exchange.respond(200, R"({"id":"resp_1","status":"cancelled"})");
    });
    LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
        "openai/o4-mini-deep-research", kKey,
        config_for(server, {{"retry_config", {{"max_retries", 3}, {"base_delay", 0}}}}));
    asio::awaitable<LMOutput> call = ask(invoker, LMInvokeOptions());
    if (stop == Stop::DEADLINE) call = core::with_timeout(std::move(call), kLimit);
    std::exception_ptr failure;
    bool done = false;
    const auto started = std::chrono::steady_clock::now();
    asio::co_spawn(io, std::move(call),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e, LMOutput) {
                     failure = e;
                     done = true;
                     server.stop();
                   }));
    io.run_for(std::chrono::seconds(20));
    ASSERT_TRUE(done);
    ASSERT_TRUE(failure);
    if (stop == Stop::DEADLINE) {
      EXPECT_EQ(core::describe_exception(failure), "Operation timed out after 1 seconds");
    } else {
      EXPECT_TRUE(core::is_cancellation(failure)) << core::describe_exception(failure);
    }
    ASSERT_EQ(server.requests.size(), 2u);  // one attempt, then its cancel
    EXPECT_EQ(server.requests[1].target, "/v1/responses/resp_1/cancel");
    const auto warnings = log.messages("OpenAILMInvoker", zelq::core::LogLevel::warn);
    if (stop == Stop::CANCEL_TWICE) {
      EXPECT_THAT(warnings, ElementsAre(::testing::StartsWith(
                                "Could not cancel the OpenAI response resp_1: connection to")));
      // Ended by the cancellation, long before the clean-up's own limit.
      EXPECT_LT(std::chrono::steady_clock::now() - started, core::CLEAN_UP_TIME_LIMIT / 2);
    } else {
      EXPECT_THAT(warnings, ::testing::IsEmpty());
    }
  }
}

TEST(ResponsesRunTest, HyperparametersApplyToTheirCallOnly) {
  asio::io_context io;
  LoopbackServer server(io, TranscriptServer{});
  LMInvokerPtr invoker =
      std::make_shared<OpenAILMInvoker>("openai/o3-deep-research", kKey, config_for(server));
  auto twice = [](LMInvokerPtr lm) -> asio::awaitable<LMOutput> {
    LMInvokeOptions options;
    options.hyperparameters = {{"reasoning", {{"effort", "high"}}},
                               {"tools", {{{"type", "mcp_server"}, {"name", "f"}, {"url", "u"}}}},
                               {"max_tool_calls", 5},
                               {"timeout", 60}};
    std::vector<Message> first = {Message::user("a")};
    std::vector<Message> second = {Message::user("b")};
    co_await lm->invoke(std::move(first), std::move(options));
    co_return co_await lm->invoke(std::move(second));
  };
  run_client(io, server, twice(invoker));
  ASSERT_EQ(server.requests.size(), 2u);
  EXPECT_EQ(server.requests[0].body,
            R"({"model":"o3-deep-research","input":[{"role":"user","content":"a"}],)"
            R"("tools":[{"type":"mcp","server_label":"f","server_url":"u",)"
            R"("require_approval":"never"}],"reasoning":{"summary":"auto","effort":"high"},)"
            R"("max_tool_calls":5,"background":true,"stream":true})");
  EXPECT_EQ(server.requests[1].json().at("tools").size(), 2u);
  EXPECT_FALSE(server.requests[1].json().contains("max_tool_calls"));

  LMInvokeOptions bad;
  bad.hyperparameters = {{"stream", false}};
  EXPECT_THROW(core::run_sync(invoker->invoke({Message::user("c")}, bad)), core::ValueError);
  LMInvokeOptions structured;
  structured.response_schema = Value{{"type", "object"}};
  EXPECT_THROW(core::run_sync(invoker->invoke({Message::user("c")}, structured)),
               core::ValueError);
  EXPECT_EQ(server.requests.size(), 2u);
}

}  // namespace
}  // namespace zelq::providers::openai

namespace zelq::providers::openai {
namespace {

// With every request slot taken, a stopped call's cancel request does not
// queue behind the call that took the slot it gave back: the service gets
// it, and the call returns its cancellation once it is answered.
TEST(ResponsesRunTest, ACancelRequestNeverWaitsForARequestSlot) {
  asio::io_context io;
  int created = 0;
  int cancels = 0;
  std::array<bool, 3> done{};
  LoopbackServer server(io, [&](Exchange& exchange) -> asio::awaitable<void> {
    if (exchange.request.target.ends_with("/cancel")) {
      co_await exchange.respond(200, R"({"status":"cancelled"})");
      if (++cancels == 3 && done[0] && done[1] && done[2]) server.stop();
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
  LMInvokerPtr invoker = std::make_shared<OpenAILMInvoker>(
      "openai/o4-mini-deep-research", kKey,
      config_for(server, {{"max_concurrency", 2}, {"retry_config", {{"max_retries", 0}}}}));
  // A and B take both slots and C waits for one. A is stopped once, at its
  // first thought; once A has ended and C has begun, B and C are stopped
  // twice, which ends them at once and still sends their cancels.
  std::array<asio::cancellation_signal, 3> signals;
  std::array<std::exception_ptr, 3> failures;
  bool c_began = false;
  auto stop_twice = [&](std::size_t call) {
    signals[call].emit(asio::cancellation_type::terminal);
    signals[call].emit(asio::cancellation_type::terminal);
  };
  auto stop_b_and_c = [&] {
    if (!done[0] || !c_began) return;
    stop_twice(1);
    stop_twice(2);
  };
  auto first_stopped = std::make_shared<bool>(false);
  asio::post(io, [&] {
    for (std::size_t call = 0; call < 3; ++call) {
      auto emitter = std::make_shared<RecordingEventEmitter>();
      if (call == 0) {
        emitter->add_handler([&, first_stopped](const core::Event&) -> asio::awaitable<void> {
          if (!std::exchange(*first_stopped, true)) {
            asio::post(io, [&] { signals[0].emit(asio::cancellation_type::terminal); });
          }
          co_return;
        });
      }
      if (call == 2) {
        emitter->add_handler([&](const core::Event&) -> asio::awaitable<void> {
          if (!std::exchange(c_began, true)) asio::post(io, stop_b_and_c);
          co_return;
        });
      }
      LMInvokeOptions options;
      options.event_emitter = emitter;
      asio::co_spawn(io, ask(invoker, options),
                     asio::bind_cancellation_slot(
                         signals[call].slot(), [&, call](std::exception_ptr e, LMOutput) {
                           failures[call] = e;
                           done[call] = true;
                           if (call == 0) stop_b_and_c();
                           if (cancels == 3 && done[0] && done[1] && done[2]) server.stop();
                         }));
    }
  });
  io.run_for(std::chrono::seconds(20));
  ASSERT_THAT(done, Each(true));
  for (const auto& failure : failures) EXPECT_TRUE(core::is_cancellation(failure));
  std::vector<std::string> targets;
  for (const auto& request : server.requests) targets.push_back(request.target);
  // A's create, B's, C's once A gave back its slot, and A's cancel, sent
  // while B and C held both slots; then B's and C's cancels, sent after
  // their calls ended.
  EXPECT_THAT(targets, UnorderedElementsAre("/v1/responses", "/v1/responses", "/v1/responses",
                                            "/v1/responses/resp_1/cancel",
                                            "/v1/responses/resp_2/cancel",
                                            "/v1/responses/resp_3/cancel"));
}

}  // namespace
}  // namespace zelq::providers::openai
