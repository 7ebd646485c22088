// The language-model invoker of OpenAI and OpenAI-compatible servers, and
// the factory behind build_lm_invoker("openai/<model>", ...).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/providers/openai/openai_client.hpp"
#include "zelq/providers/openai/responses_request.hpp"

namespace zelq::providers::openai {

// Calls "{base_url}/chat/completions". An invocation sends the messages, the
// hyperparameters as request fields and, with a response schema, a
// json_schema response format whose parsed answer becomes the output's
// structured output. With an event emitter the answer is streamed: the
// emitter receives ResponseEvent start, each piece as the server sends it,
// and end, under one fresh id (reasoning text that a server streams comes
// first as a ThinkingEvent block of its own); the output holds the whole text
// as one item. Without an emitter the answer is read in one piece.
//
// A model whose name contains "deep-research" (o3-deep-research,
// o4-mini-deep-research, dated variants), and every model of an invoker
// configured with "tools", uses the Responses API, "{base_url}/responses",
// instead (see uses_responses_api and invoke_responses): a background
// response, streamed, whose reasoning summaries, answer text, citations and
// tool calls become thinking, response and activity events and the output's
// thinking, text and citations. A compatible server without that API
// answers them with a 404 for POST /responses (net::HttpError).
//
// At most max_concurrency requests of one invoker are in flight; the others
// wait in arrival order. 429 and 5xx answers are retried (see OpenAISettings).
class OpenAILMInvoker : public inference::BaseLMInvoker {
 public:
  // `model_id` is "openai/<model>" (or such a ModelId). `credentials`: the
  // API key, {"api_key": key}, or null for OPENAI_API_KEY. `config`: an
  // object (or null) of the OpenAISettings keys, "response_schema" (a JSON
  // Schema object, the invoker's response_schema) and
  // "response_schema_strict" (bool, default false: the "strict" flag sent
  // with the schema), and the Responses settings "tools", "thinking" and
  // "retry_config" (see ResponsesSettings; chat-completion requests read
  // none of them: reasoning text is streamed as thinking whenever a server
  // sends it, and their retries are those of 429 and 5xx answers). Throws zelq::core::ValueError
  // naming the bad value: a malformed model id or one of another provider, a bad setting, a missing
  // or malformed key (whose text is never shown).
  OpenAILMInvoker(const inference::ModelIdArg& model_id, const core::Value& credentials = nullptr,
                  const core::Value& config = nullptr);

  // The model name sent as "model".
  const std::string& model_name() const noexcept { return model_name_; }
  const OpenAISettings& settings() const noexcept { return client_->settings(); }

 protected:
  // Throws zelq::core::ValueError for an attachment without an OpenAI form or
  // a hyperparameter the invoker sets itself, before any request (Responses
  // invocations: see invoke_responses);
  // net::HttpError for a non-2xx answer (after the retries of 429 and 5xx);
  // net::ConnectionError when the connection fails or drops;
  // zelq::core::TimeoutError when the server stays silent longer than
  // idle_timeout (or a whole attempt overruns timeout);
  // zelq::core::RuntimeError for a malformed answer or stream, an error
  // reported inside the stream, a refusal, or a structured answer that is not
  // JSON; and what the emitter's handlers throw. Events already emitted stay
  // emitted (a failed stream sends no end event). Cancellation closes the
  // connection and propagates.
  boost::asio::awaitable<inference::LMOutput> _invoke(std::vector<inference::Message> messages,
                                                      inference::LMInvokeOptions options) override;

 private:
  std::string model_name_;
  bool strict_schema_ = false;
  std::shared_ptr<const OpenAIClient> client_;
  // Set when invocations go to the Responses API.
  std::shared_ptr<const ResponsesSettings> responses_;
};

// The factory of provider "openai" in the build_lm_invoker registry: a new
// OpenAILMInvoker for `model_id` with the given credentials and
// configuration. Throws what the constructor throws.
inference::LMInvokerPtr make_openai_lm_invoker(const inference::ModelId& model_id,
                                               const core::Value& credentials,
                                               const core::Value& config);

}  // namespace zelq::providers::openai
