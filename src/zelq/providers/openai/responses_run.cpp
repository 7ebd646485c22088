#include "zelq/providers/openai/responses_run.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/url.hpp"
#include "zelq/providers/openai/responses_stream.hpp"

namespace zelq::providers::openai {

namespace asio = boost::asio;
using core::Value;
using inference::LMOutput;

namespace {

// The cancel request may outlive a dead connection's connect timeout.
constexpr double kCancelGrace = 10.0;

core::Logger logger() { return core::LoggerManager().get_logger("OpenAILMInvoker"); }

// Failures worth a new response: not the caller's mistakes (a refused key,
// a malformed request), which fail the same way every time.
bool worth_retrying(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const net::HttpError& error) {
    const int status = error.status();
    return status >= 500 || status == 408 || status == 409 || status == 429;
  } catch (const core::ValueError&) {
    return false;
  } catch (const core::TypeError&) {
    return false;
  } catch (...) {
    return true;
  }
}

std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown failure";
  }
}

asio::awaitable<void> sleep_for(double seconds) {
  asio::steady_timer timer(co_await asio::this_coro::executor, core::detail::timer_duration(seconds));
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<net::ApiEventStream> resume(std::shared_ptr<const OpenAIClient> client,
                                            std::string id, std::optional<long long> after) {
  net::ApiRequest request;
  request.method = "GET";
  request.path = std::string(RESPONSES_PATH) + "/" + net::path_segment(id) + "?stream=true";
  if (after) request.path += "&starting_after=" + std::to_string(*after);
  co_return co_await client->api().request_events(std::move(request));
}

// Reads `stream` (or, when it is empty, a resumed one) until the response
// completes: returns nullopt then, or why the stream broke or ended early.
asio::awaitable<std::optional<std::string>> read_stream(
    std::shared_ptr<const OpenAIClient> client, std::optional<net::ApiEventStream>& stream,
    ResponsesStreamReader& reader) {
  std::exception_ptr broke;
  try {
    if (!stream) {
      stream.emplace(co_await resume(client, reader.response_id(), reader.last_sequence_number()));
    }
    while (auto event = co_await stream->next()) {
      if (co_await reader.take(*event)) co_return std::nullopt;
    }
  } catch (const net::ConnectionError&) {
    broke = std::current_exception();
  } catch (const core::TimeoutError&) {
    broke = std::current_exception();
  }
  stream.reset();
  co_return broke ? ": " + client->mask(what_of(broke)) : std::string(" before the response ended");
}

// Creates the response and reads its events until it completes, resuming
// the stream where it broke.
asio::awaitable<void> read_response(std::shared_ptr<const OpenAIClient> client, Value body,
                                    ResponsesStreamReader& reader) {
  std::optional<net::ApiEventStream> stream;
  stream.emplace(co_await client->api().post_events(std::string(RESPONSES_PATH), std::move(body)));
  const OpenAISettings& settings = client->settings();
  for (int fruitless = 0;;) {
    const std::size_t before = reader.events_taken();
    const std::optional<std::string> why = co_await read_stream(client, stream, reader);
    if (!why) co_return;
    if (reader.response_id().empty()) {
      throw core::RuntimeError("The stream of " + client->endpoint(RESPONSES_PATH) +
                               " broke before it named the response" + *why);
    }
    fruitless = reader.events_taken() > before ? 0 : fruitless + 1;
    if (fruitless > MAX_RESUMES_WITHOUT_PROGRESS) {
      throw core::RuntimeError("The stream of the OpenAI response " + reader.response_id() +
                               " broke " + std::to_string(fruitless) +
                               " times in a row without a new event" + *why);
    }
    const auto after = reader.last_sequence_number();
    logger()->info("Resuming the stream of the OpenAI response " + reader.response_id() +
                   (after ? " after event " + std::to_string(*after) : std::string()) +
                   "; it broke" + *why);
    if (fruitless > 0) {
      co_await sleep_for(std::min(settings.retry_max_delay,
                                  settings.retry_base_delay * std::pow(2.0, fruitless - 1)));
    }
  }
}

// Asks the service to stop the response; a failure is logged, not thrown.
asio::awaitable<void> cancel_response(std::shared_ptr<const OpenAIClient> client, std::string id) {
  std::string problem;
  try {
    net::ApiRequest request;
    request.path = std::string(RESPONSES_PATH) + "/" + net::path_segment(id) + "/cancel";
    auto call = client->api().request_json(std::move(request));
    const double limit = client->settings().connect_timeout + kCancelGrace;
    co_await core::with_timeout(std::move(call), std::chrono::duration<double>(limit));
  } catch (const std::exception& error) {
    problem = error.what();
  }
  if (!problem.empty()) {
    logger()->warn(client->mask("Could not cancel the OpenAI response " + id + ": " + problem));
  }
}

asio::awaitable<LMOutput> run_attempt(std::shared_ptr<const OpenAIClient> client, Value body,
                                      std::shared_ptr<core::EventEmitter> emitter) {
  ResponsesStreamReader reader(std::move(emitter), client->endpoint(RESPONSES_PATH),
                               client->secret());
  std::exception_ptr failure;
  try {
    co_await read_response(client, std::move(body), reader);
    co_return co_await reader.finish();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!reader.response_id().empty() && !reader.ended()) {
    // Also after the caller's cancellation, which already reached this
    // coroutine: the cancel request runs with a fresh cancellation state,
    // and the failure that led here (operation_aborted then) propagates.
    const bool throws = co_await asio::this_coro::throw_if_cancelled();
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await asio::this_coro::reset_cancellation_state();
    co_await cancel_response(client, reader.response_id());
    co_await asio::this_coro::throw_if_cancelled(throws);
  }
  std::rethrow_exception(failure);
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
  if (!call.retry_config) {
    co_return co_await run_attempt(std::move(client), std::move(call.body),
                                   std::move(options.event_emitter));
  }
  core::RetryConfig policy = *call.retry_config;
  if (!policy.retry_if) policy.retry_if = &worth_retrying;
  co_return co_await core::retry(&run_attempt, std::move(policy), std::move(client),
                                 std::move(call.body), std::move(options.event_emitter));
}

}  // namespace zelq::providers::openai
