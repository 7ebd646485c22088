// A scripted Perplexity service for tests and examples: a client factory
// whose clients answer from a queue of scripted streams.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/providers/perplexity/perplexity_client.hpp"

namespace zelq::providers::perplexity::testing {

// One scripted answer.
struct ScriptedAnswer {
  // The chunks, each the JSON object the service streams; read through
  // parse_stream_chunk as the HTTP client reads them.
  std::vector<core::Value> chunks{};
  // Thrown by next() once the chunks are read, instead of the end of the
  // stream; null: the stream ends.
  std::exception_ptr error{};
  // Thrown by create_chat_completion_stream instead of answering; null: the
  // request is accepted.
  std::exception_ptr refusal{};
};

// What one client of the factory saw, in order of construction.
struct ClientRecord {
  core::Value client_params = core::Value::object();
  std::vector<ChatCompletionRequest> requests{};
  // Chunks handed out by this client's streams.
  std::size_t chunks_read = 0;
  bool closed = false;
};

// Each request, from any client, takes the next queued answer, in order of
// arrival; with the queue empty it fails with RuntimeError "No scripted
// answer for request <n>." (n from 0). A request with options named "model",
// "messages" or "stream" fails with TypeError before taking an answer, as
// the HTTP client does. Every next() first yields to the executor, so
// concurrent streams interleave. A stream of a closed client fails with
// RuntimeError "The Perplexity client is closed.".
//
// Not thread-safe: script it and run its clients on one thread. Clients keep
// the service alive.
class ScriptedPerplexity : public std::enable_shared_from_this<ScriptedPerplexity> {
 public:
  static std::shared_ptr<ScriptedPerplexity> create();

  ScriptedPerplexity& push_answer(ScriptedAnswer answer);
  // An answer of these chunks that ends normally.
  ScriptedPerplexity& push_chunks(std::vector<core::Value> chunks);
  // The next client construction throws `error` instead.
  ScriptedPerplexity& fail_next_client(std::exception_ptr error);

  // Builds clients of this service, recording each.
  PerplexityClientFactory factory();

  const std::vector<std::shared_ptr<ClientRecord>>& clients() const noexcept { return clients_; }
  // Requests received so far, from all clients.
  std::size_t requests() const noexcept { return requests_; }

 private:
  friend class ScriptedClient;
  ScriptedPerplexity() = default;
  ScriptedAnswer take_answer();

  std::vector<ScriptedAnswer> answers_;
  std::size_t next_answer_ = 0;
  std::size_t requests_ = 0;
  std::exception_ptr client_failure_;
  std::vector<std::shared_ptr<ClientRecord>> clients_;
};

// {"id": "c", "model": "sonar-deep-research", "choices": [{"index": 0,
// "delta": {"role": "assistant", "content": text}, "finish_reason": null}]},
// with "search_results" after "choices" when `search_results` is not null.
core::Value text_chunk(std::string text, core::Value search_results = nullptr);

// {"title": "Title <n>", "url": "https://example.com/<n>", "date":
// "2025-01-01", "snippet": "Snippet <n>."}; the second form has no
// "snippet".
core::Value search_result(int n);
core::Value search_result_without_snippet(int n);

}  // namespace zelq::providers::perplexity::testing
