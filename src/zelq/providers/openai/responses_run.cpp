#include "zelq/providers/openai/detail/responses_run.hpp"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "zelq/core/attempt_filter.hpp"
#include "zelq/core/clean_up.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/run_ledger.hpp"
#include "zelq/inference/retry_activity.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/resumable_stream.hpp"
#include "zelq/net/url.hpp"
#include "zelq/providers/openai/detail/responses_stream.hpp"

// GCC 12 reports a mismatched operator delete inside the frame handling of
// this file's coroutines once they are inlined into each other; Asio
// allocates and frees the frames with its own matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;

namespace {

// The cancel request may outlive a dead connection's connect timeout.
constexpr std::chrono::milliseconds kCancelGrace{10'000};

core::Logger logger() { return core::LoggerManager().get_logger("OpenAILMInvoker"); }

// The id of a response, which the server chose, as errors and logs show it:
// the key masked, on one line, cut when overlong.
std::string shown_id(const OpenAIClient& client, std::string_view id) {
  return client.quoting().line(id);
}

// Opens the stream of the named response, after the last event taken.
asio::awaitable<net::ApiEventStream> open_by_id(std::shared_ptr<const OpenAIClient> client,
                                                const ResponsesStreamReader& reader) {
  const auto after = reader.last_sequence_number();
  net::ApiRequest request;
  request.method = "GET";
  request.path =
      std::string(RESPONSES_PATH) + "/" + net::path_segment(reader.response_id()) + "?stream=true";
  if (after) request.path += "&starting_after=" + std::to_string(*after);
  co_return co_await client->api().request_events(std::move(request));
}

// A stream that stopped (`failure`: broke; null: ended) can be resumed only
// once it named its response: decided before any pause.
bool resumable(const OpenAIClient& client, const ResponsesStreamReader& reader,
               const std::exception_ptr& failure) {
  if (!reader.response_id().empty()) return true;
  throw core::RuntimeError(
      net::sentence("The stream of " + client.endpoint(RESPONSES_PATH) +
                    (failure ? " broke before it named the response: " +
                                   client.quoting().line(core::describe_exception(failure))
                             : " ended before it named the response")));
}

// Opens the stream of the response again after the last event taken (the
// stream's decision, resumable(), has seen it named). The first resumption of a stream is logged,
// and `logged` set: a stream the server keeps ending is resumed again and again, and says so once.
asio::awaitable<std::optional<net::ApiEventStream>> resume(
    std::shared_ptr<const OpenAIClient> client, const ResponsesStreamReader& reader,
    std::exception_ptr failure, bool& logged) {
  const std::string why =
      failure ? client->quoting().line(core::describe_exception(failure)) : std::string();
  if (!logged) {
    logged = true;
    const auto after = reader.last_sequence_number();
    logger()->info("Resuming the stream of the OpenAI response " +
                   shown_id(*client, reader.response_id()) +
                   (after ? " after event " + std::to_string(*after) : std::string()) +
                   (failure ? "; it broke: " + why : "; it ended before the response did"));
  }
  co_return co_await open_by_id(std::move(client), reader);
}

// The id a record names (a create answered with the response's record
// instead of its events); "" when it names none or is no JSON object.
std::string id_in_record(const OpenAIClient& client, const std::string& record) {
  try {
    const Value value =
        net::parse_json_object(record, "The answer of " + client.endpoint(RESPONSES_PATH),
                               client.quoting(), client.api().options().max_body_size);
    auto id = value.find("id");
    if (id != value.end() && id->is_string()) return id->get<std::string>();
  } catch (const std::exception&) {
    // Not a record: the answer's own error says what it was.
  }
  return {};
}

// Sends the request that creates the response and returns its stream. When
// the service answers with the response's record instead, the response it
// names is the one created: its events are read by id, as a resumption
// does; a create is never sent twice.
asio::awaitable<net::ApiEventStream> create(std::shared_ptr<const OpenAIClient> client, Value body,
                                            ResponsesStreamReader& reader,
                                            std::shared_ptr<core::RunLedger> run) {
  net::ApiRequest request;
  request.path = std::string(RESPONSES_PATH);
  request.body = std::move(body);
  request.run = run;
  std::exception_ptr not_a_stream;
  std::string id;
  try {
    co_return co_await client->api().request_events(std::move(request));
  } catch (const net::NotAnEventStreamError& error) {
    not_a_stream = std::current_exception();
    id = id_in_record(*client, error.body());
  }
  if (id.empty()) std::rethrow_exception(not_a_stream);
  reader.follow(id);
  run->named(id, client->quoting().quoted(id));
  co_return co_await open_by_id(std::move(client), reader);
}

// Creates the response and reads its events until it completes, resuming
// the stream where it broke, ended early or went silent. Names the run in
// `run` as soon as an event names it, and marks it ended once it completed.
asio::awaitable<void> read_response(std::shared_ptr<const OpenAIClient> client, Value body,
                                    ResponsesStreamReader& reader,
                                    std::shared_ptr<core::RunLedger> run) {
  net::ApiEventStream created = co_await create(client, std::move(body), reader, run);
  const OpenAISettings& settings = client->settings();
  const net::ResumeOptions pacing{.max_empty_resumes = MAX_RESUMES_WITHOUT_PROGRESS,
                                  .base_delay = settings.retry_base_delay,
                                  .max_delay = settings.retry_max_delay,
                                  .max_server_delay = settings.max_retry_after};
  bool logged = false;
  auto reopen = [client, &reader, &logged](std::exception_ptr failure) {
    return resume(client, reader, std::move(failure), logged);
  };
  auto decide = [client, &reader](const std::exception_ptr& failure) {
    return resumable(*client, reader, failure);
  };
  net::ResumableEventStream stream(std::move(created), reopen, pacing,
                                   "The stream of " + client->endpoint(RESPONSES_PATH), decide);
  while (std::optional<net::SseEvent> event = co_await stream.next()) {
    const bool unnamed = reader.response_id().empty();
    const std::size_t before = reader.events_taken();
    const bool completed = co_await reader.take(*event);
    if (reader.events_taken() == before) stream.mark_repeat();
    if (unnamed && !reader.response_id().empty()) {
      stream.set_subject("The stream of the OpenAI response " +
                         shown_id(*client, reader.response_id()));
      // May let a stop that waited for the name reach this coroutine.
      run->named(reader.response_id(), client->quoting().quoted(reader.response_id()));
    }
    if (completed) {
      run->ended();
      stream.close();
      co_return;
    }
  }
  throw core::RuntimeError("The stream of the OpenAI response " +
                           shown_id(*client, reader.response_id()) +
                           " ended before the response did.");
}

// Asks the service to stop the response `run` names; the outcome is kept in
// `run`, and a failure is logged, not thrown. Owns what it needs: it may
// go on after its call ended.
asio::awaitable<void> cancel_response(std::shared_ptr<const OpenAIClient> client,
                                      std::shared_ptr<core::RunLedger> run) {
  const std::string id = run->id();
  std::string problem;
  try {
    net::ApiRequest request;
    request.path = std::string(RESPONSES_PATH) + "/" + net::path_segment(id) + "/cancel";
    request.timeout = client->settings().connect_timeout + kCancelGrace;
    request.stops_work = true;
    co_await client->api().request_json(std::move(request));
  } catch (...) {
    problem = core::describe_exception(std::current_exception());
  }
  if (problem.empty()) {
    run->ended(true);
    co_return;
  }
  run->cancel_failed();
  logger()->warn("Could not cancel the OpenAI response " + shown_id(*client, id) + ": " +
                 client->quoting().line(problem));
}

asio::awaitable<void> nothing() { co_return; }

// Owns what it reads with: a stop may leave it to name its response alone.
asio::awaitable<LMOutput> read_output(std::shared_ptr<const OpenAIClient> client, Value body,
                                      std::shared_ptr<ResponsesStreamReader> reader,
                                      std::shared_ptr<core::RunLedger> run) {
  co_await read_response(std::move(client), std::move(body), *reader, std::move(run));
  co_return co_await reader->finish();
}

// One response: an attempt that ends before the response did (the
// caller's cancellation included) cancels it at the service before its
// failure leaves; a stop that lands while the create is unanswered lets it
// finish and name the response first.
asio::awaitable<LMOutput> run_attempt(std::shared_ptr<const OpenAIClient> client, Value body,
                                      std::shared_ptr<core::EventEmitter> emitter,
                                      std::shared_ptr<core::RunLedger> run) {
  auto reader = std::make_shared<ResponsesStreamReader>(
      std::move(emitter), client->endpoint(RESPONSES_PATH), client->quoting(),
      client->api().options().max_body_size);
  auto cancel = [client, reader, run] {
    if (reader->ended()) run->ended();
    if (run->fate() != core::RunFate::going) return nothing();
    return cancel_response(client, run);
  };
  // Built outside the co_await: GCC 12 destroys a closure made inside it
  // twice.
  auto attempt =
      core::with_clean_up(read_output(client, std::move(body), reader, run), cancel, run);
  co_return co_await std::move(attempt);
}

}  // namespace

asio::awaitable<LMOutput> invoke_responses(std::shared_ptr<const OpenAIClient> client,
                                           std::string model,
                                           std::shared_ptr<const ResponsesSettings> settings,
                                           std::vector<inference::Message> messages,
                                           inference::LMInvokeOptions options) {
  if (options.response_schema) {
    throw core::ValueError(
        "The OpenAI Responses requests of this invoker (deep-research models and requests with "
        "tools) do not offer structured output; leave the response schema out.");
  }
  ResponsesCall call = responses_call(model, messages, options.hyperparameters, *settings);
  // The one response the call's attempts may have going at a time.
  auto run = std::make_shared<core::RunLedger>();
  if (!call.retry_config) {
    co_return co_await run_attempt(std::move(client), std::move(call.body),
                                   std::move(options.event_emitter), std::move(run));
  }
  core::RetryConfig policy = *call.retry_config;
  if (!policy.retry_if) policy.retry_if = &core::is_worth_another_attempt<net::HttpError>;
  policy = inference::announce_retries(std::move(policy), options.event_emitter);
  policy.run = run;
  co_return co_await core::retry(&run_attempt, std::move(policy), std::move(client),
                                 std::move(call.body), std::move(options.event_emitter),
                                 std::move(run));
}

}  // namespace zelq::providers::openai

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
