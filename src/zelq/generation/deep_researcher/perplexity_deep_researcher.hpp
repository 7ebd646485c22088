// PerplexityDeepResearcher: deep research with a Perplexity deep-research
// model, through Perplexity's streamed chat completions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/events.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/inference/think_tag_output_transformer.hpp"
#include "zelq/providers/perplexity/perplexity_client.hpp"

namespace zelq::generation::deep_researcher::perplexity_deep_researcher {

// Every accepted model name ends with it (case-sensitive).
inline constexpr std::string_view DEEP_RESEARCH_MODEL_SUFFIX = "-deep-research";
inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE = "";
inline constexpr std::string_view DEFAULT_USER_TEMPLATE = "{query}";
// Seconds: the time-out of the default retry policy.
inline constexpr int DEFAULT_TIMEOUT = 3600;

// Keys of the message records and of the search results.
struct Key {
  static constexpr std::string_view CONTENT = "content";
  static constexpr std::string_view ROLE = "role";
  static constexpr std::string_view SNIPPET = "snippet";
  static constexpr std::string_view TEXT = "text";
  static constexpr std::string_view TYPE = "type";
};

// The type of a content part of a message record.
struct InputType {
  static constexpr std::string_view TEXT = "text";
};

// The activity type of the search results.
struct OutputType {
  static constexpr std::string_view WEB_SEARCH = "web_search";
};

// Options of the PerplexityDeepResearcher constructor, in parameter order.
struct PerplexityDeepResearcherOptions {
  // The model every request names; the constructor refuses a name without
  // DEEP_RESEARCH_MODEL_SUFFIX.
  std::string model_name = "sonar-deep-research";
  // The API key; nullopt or empty: the client reads PERPLEXITY_API_KEY.
  std::optional<std::string> api_key{};
  // Turns query, history, extra contents and prompt variables into
  // messages; nullopt gives PromptBuilder(DEFAULT_SYSTEM_TEMPLATE,
  // DEFAULT_USER_TEMPLATE).
  std::optional<inference::PromptBuilder> prompt_builder{};
  // The policy each research call's attempts run under; nullopt gives a
  // policy with a time-out of DEFAULT_TIMEOUT seconds.
  std::optional<core::RetryConfig> retry_config{};
  // Stored on the instance; the emitter of a call is used either way.
  bool streamable = true;
  // Builds the client of each attempt from client_params; empty: the HTTP
  // client (providers::perplexity::default_client_factory()). Tests pass
  // the scripted service's factory.
  providers::perplexity::PerplexityClientFactory client_factory{};
};

// A research call turns the conversation into Perplexity message records
// and runs one streamed chat completion per attempt under the retry policy.
// Each attempt opens its own client, sends search-activity events and one
// response block (its <think> part sent as a thinking block) to the
// caller's emitter, and returns the answer text, the thinking and the
// citations of the first chunk that carries search results. Immutable after
// construction; research calls may run at once, each with its own clients.
class PerplexityDeepResearcher : public BaseDeepResearcher {
 public:
  // Builds the researcher, in this order: checks the model name (ValueError
  // "The model name must be a deep research model. Invalid model name:
  // 'sonar-pro'."), then stores the model name, the client parameters, the
  // prompt builder and the retry policy. The Perplexity client is part of
  // the library, so there is no optional package to check. Nothing is built
  // when it throws.
  explicit PerplexityDeepResearcher(PerplexityDeepResearcherOptions options = {});

  // Researches `request.query` and returns the output of the attempt that
  // succeeds: the answer text (one item, possibly empty) with its <think>
  // part moved into thinking, and the citations.
  //
  // Before any attempt: TypeError for kwargs or hyperparameters that are
  // not objects (or null), a prompt variable named like a research
  // argument, and a hyperparameter named "model", "messages" or "stream";
  // the prompt builder's errors. Non-text extra contents are dropped with
  // one warning ("The `PerplexityDeepResearcher` currently only supports
  // text extra contents. Ignoring unsupported extra contents: [...]."), and
  // non-text items of history messages with another ("The
  // `PerplexityDeepResearcher` currently only supports text history
  // contents. Ignoring unsupported history contents: [...].").
  // The hyperparameters are the request options (reasoning_effort,
  // search_mode, ...). Then the last attempt's failure, unchanged: a
  // refusal of the service is net::HttpError naming the service's message,
  // and ends the call at once when a new attempt cannot fix it (see
  // research_retry_policy), as a missing or malformed key does.
  //
  // A chat completion is no run at the service that could be cancelled: an
  // attempt that ends, however it ends, closes its client and with it the
  // connection, which stops the completion. So no call has more than one
  // completion going.
  //
  // Events of an attempt (with an emitter): for each chunk up to the first
  // one with search results, an "activity" event (type "web_search", its
  // sources the chunk's results, snippets included); the response block's
  // start at the first chunk; content events, the <think> part as a
  // thinking block; the end once the stream has ended. A failed attempt's
  // events stay sent and its block gets no end event; the next attempt
  // opens a new block under a new id. The researcher must outlive the
  // awaitable; cancellation closes the attempt's client and propagates.
  boost::asio::awaitable<inference::LMOutput> research(ResearchRequest request) const override;

  // The Perplexity model every request names.
  const std::string model_name;
  // What each attempt's client is built with: {"api_key": key} when a
  // non-empty key was given, else {}.
  const core::Value client_params;
  const inference::PromptBuilder prompt_builder;
  const core::RetryConfig retry_config;

 protected:
  // For a class derived from this one: `class_name` is its own name.
  PerplexityDeepResearcher(PerplexityDeepResearcherOptions options, std::string class_name);

  // The message records of `inputs`: [{"role": <role>, "content": [{"type":
  // "text", "text": <item>}, ...]}, ...], one part per text item in order.
  // Non-text items are left out (the service refuses them) and named in one
  // warning on the class's logger. The prompt builder writes only text, and
  // extra contents are filtered before, so such items come from the
  // history: the warning speaks of history contents.
  core::Value _format_messages(const std::vector<inference::Message>& inputs) const;

  using TransformerPtr = std::shared_ptr<inference::ThinkTagOutputTransformer>;
  using StreamChunkPtr = std::shared_ptr<const providers::perplexity::StreamChunk>;

  // One attempt: opens a client, streams the completion of `messages` with
  // `config` as request options, and returns the output (see research).
  // The client is closed on every way out. Throws what the client, the
  // emitter and the steps throw.
  boost::asio::awaitable<inference::LMOutput> _research(
      core::Value messages, core::Value config,
      std::shared_ptr<core::EventEmitter> event_emitter) const;

  // The citations of `event`'s search results (content: the snippet, "-"
  // when missing, null or empty; metadata: the other fields). With an
  // emitter, first sends the chunk's search activity (also when it has no
  // results). Throws what the emitter throws.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _process_citations(
      StreamChunkPtr event, TransformerPtr transformer) const;

  // Appends each non-empty delta content of `event` to `buffer->text`, and
  // with an emitter sends it as a content event of the block `buffer->id`.
  boost::asio::awaitable<void> _process_text(StreamChunkPtr event, TransformerPtr transformer,
                                             std::shared_ptr<inference::StreamBuffer> buffer) const;

 private:
  providers::perplexity::PerplexityClientFactory client_factory_;
};

}  // namespace zelq::generation::deep_researcher::perplexity_deep_researcher

namespace zelq::generation::deep_researcher {
using perplexity_deep_researcher::PerplexityDeepResearcher;
using perplexity_deep_researcher::PerplexityDeepResearcherOptions;
}  // namespace zelq::generation::deep_researcher
