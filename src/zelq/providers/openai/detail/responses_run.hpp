// One invocation through OpenAI's Responses API: the response is created in
// background mode and streamed; a dropped stream is resumed where it broke;
// a call that ends before the response does cancels it at the service.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/providers/openai/openai_client.hpp"
#include "zelq/providers/openai/responses_request.hpp"

namespace zelq::providers::openai {

// The path of the Responses endpoint under the base URL.
inline constexpr std::string_view RESPONSES_PATH = "responses";
// A stream that breaks this many times in a row without giving a new event
// ends the attempt.
inline constexpr int MAX_RESUMES_WITHOUT_PROGRESS = 3;

// Invokes `model` through "{base_url}/responses" with the request of
// responses_call (hyperparameters over `settings`), under the call's retry
// policy: each attempt POSTs a new background response with "stream": true
// and reads its events (ResponsesStreamReader) into the output, sending
// thinking, response and activity events to options.event_emitter.
//
// The policy retries only what a new response may fix: without its own
// retry_if, core::is_worth_another_attempt with net::HttpError (never the
// 429 or 5xx answers the API client has already retried, a refusal that
// cannot change, an argument error or a cancellation; an event the service
// sent that is malformed or nested too deep is retried). With an emitter,
// each new attempt is announced first by an activity event of
// inference::RetryActivity (inference::announce_retries).
//
// A stream that breaks (the connection drops or stays silent longer than
// the idle timeout, or the body ends before a terminal event) is resumed
// (net::ResumableEventStream) with GET "responses/{id}?stream=true&
// starting_after=<last sequence number>", each time after a pause
// (net::ResumeOptions): at least retry_base_delay seconds, or the server's
// SSE "retry" time when longer (up to max_retry_after), and a back-off of
// retry_base_delay * 2^(k-1) seconds before the k-th empty resume in a row
// (capped at retry_max_delay); after MAX_RESUMES_WITHOUT_PROGRESS empty
// resumes in a row the attempt fails. The first resumption of a stream is
// logged as one info line on the logger "OpenAILMInvoker"; later ones are
// not. The policy's time-out ends the resumptions and their pauses with
// the attempt.
//
// When an attempt ends before the response did (the caller's cancellation,
// the policy's time-out, a failing emitter, a broken stream), the response
// is cancelled at the service with POST "responses/{id}/cancel" (best
// effort, a request limited to connect_timeout + 10 seconds; a failure is
// logged as a warning on the logger "OpenAILMInvoker", key masked) before
// the failure propagates. That request runs on through the caller's first
// cancellation or deadline, whether it came before the request or during it;
// the next one ends it at once, and core::CLEAN_UP_TIME_LIMIT bounds it
// (core::with_clean_up). A caller cancelled so gets its cancellation or
// time-out, never the attempt's failure.
//
// Throws before any request: zelq::core::ValueError for a response schema
// (structured output is not offered here) and what responses_call throws.
// Then, once the policy is used up: zelq::core::RuntimeError naming the
// response and the service's message for a failed, incomplete or cancelled
// response or an error event, and for a stream that breaks or ends before
// it names the response; net::ConnectionError "The stream of the OpenAI
// response <id> broke <n> times in a row without a new event: <why>." and
// for a broken connection; net::HttpError; zelq::core::TimeoutError; what
// the emitter throws.
// Cancellation propagates (operation_aborted) after the cancel request.
// `client` is kept alive by the call.
boost::asio::awaitable<inference::LMOutput> invoke_responses(
    std::shared_ptr<const OpenAIClient> client, std::string model,
    std::shared_ptr<const ResponsesSettings> settings, std::vector<inference::Message> messages,
    inference::LMInvokeOptions options);

}  // namespace zelq::providers::openai
