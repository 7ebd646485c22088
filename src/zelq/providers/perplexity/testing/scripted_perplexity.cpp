#include "zelq/providers/perplexity/testing/scripted_perplexity.hpp"

#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::providers::perplexity::testing {

namespace asio = boost::asio;
using core::Value;

namespace {

// Lets other coroutines on the executor run first.
asio::awaitable<void> yield() {
  auto executor = co_await asio::this_coro::executor;
  co_await asio::post(executor, asio::use_awaitable);
}

class ScriptedStream : public ChatCompletionStream {
 public:
  ScriptedStream(ScriptedAnswer answer, std::shared_ptr<ClientRecord> record)
      : answer_(std::move(answer)), record_(std::move(record)) {}

  asio::awaitable<std::optional<StreamChunk>> next() override {
    co_await yield();
    if (record_->closed) throw core::RuntimeError("The Perplexity client is closed.");
    if (next_ < answer_.chunks.size()) {
      ++record_->chunks_read;
      co_return parse_stream_chunk(answer_.chunks[next_++], "A scripted chunk");
    }
    if (answer_.error) std::rethrow_exception(answer_.error);
    co_return std::nullopt;
  }

 private:
  ScriptedAnswer answer_;
  std::shared_ptr<ClientRecord> record_;
  std::size_t next_ = 0;
};

}  // namespace

class ScriptedClient : public PerplexityClient {
 public:
  ScriptedClient(std::shared_ptr<ScriptedPerplexity> service, std::shared_ptr<ClientRecord> record)
      : PerplexityClient(record->client_params),
        service_(std::move(service)),
        record_(std::move(record)) {}

  asio::awaitable<std::unique_ptr<ChatCompletionStream>> create_chat_completion_stream(
      ChatCompletionRequest request) override {
    check_request_options(request.options, "create_chat_completion_stream()");
    if (record_->closed) throw core::RuntimeError("The Perplexity client is closed.");
    record_->requests.push_back(request);
    ScriptedAnswer answer = service_->take_answer();
    co_await yield();
    if (answer.refusal) std::rethrow_exception(answer.refusal);
    co_return std::make_unique<ScriptedStream>(std::move(answer), record_);
  }

  void close() noexcept override { record_->closed = true; }

 private:
  std::shared_ptr<ScriptedPerplexity> service_;
  std::shared_ptr<ClientRecord> record_;
};

std::shared_ptr<ScriptedPerplexity> ScriptedPerplexity::create() {
  return std::shared_ptr<ScriptedPerplexity>(new ScriptedPerplexity());
}

ScriptedPerplexity& ScriptedPerplexity::push_answer(ScriptedAnswer answer) {
  answers_.push_back(std::move(answer));
  return *this;
}

ScriptedPerplexity& ScriptedPerplexity::push_chunks(std::vector<Value> chunks) {
  return push_answer(ScriptedAnswer{.chunks = std::move(chunks)});
}

ScriptedPerplexity& ScriptedPerplexity::fail_next_client(std::exception_ptr error) {
  client_failure_ = std::move(error);
  return *this;
}

ScriptedAnswer ScriptedPerplexity::take_answer() {
  const std::size_t index = requests_++;
  if (next_answer_ >= answers_.size()) {
    throw core::RuntimeError("No scripted answer for request " + std::to_string(index) + ".");
  }
  return answers_[next_answer_++];
}

PerplexityClientFactory ScriptedPerplexity::factory() {
  return [self = shared_from_this()](const Value& client_params) -> PerplexityClientPtr {
    if (auto failure = std::exchange(self->client_failure_, nullptr)) {
      std::rethrow_exception(failure);
    }
    auto record = std::make_shared<ClientRecord>();
    record->client_params = client_params;
    self->clients_.push_back(record);
    return std::make_shared<ScriptedClient>(self, std::move(record));
  };
}

Value text_chunk(std::string text, Value search_results) {
  Value chunk = {{"id", "c"},
                 {"model", "sonar-deep-research"},
                 {"choices",
                  {{{"index", 0},
                    {"delta", {{"role", "assistant"}, {"content", std::move(text)}}},
                    {"finish_reason", nullptr}}}}};
  if (!search_results.is_null()) chunk["search_results"] = std::move(search_results);
  return chunk;
}

Value search_result(int n) {
  Value result = search_result_without_snippet(n);
  result["snippet"] = "Snippet " + std::to_string(n) + ".";
  return result;
}

Value search_result_without_snippet(int n) {
  return {{"title", "Title " + std::to_string(n)},
          {"url", "https://example.com/" + std::to_string(n)},
          {"date", "2025-01-01"}};
}

}  // namespace zelq::providers::perplexity::testing
