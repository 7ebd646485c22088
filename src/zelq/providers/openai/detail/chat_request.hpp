// The wire forms of the chat-completions endpoint: request bodies built from
// messages and options, and outputs read from answers and streamed chunks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/lm_output.hpp"
#include "zelq/inference/message.hpp"
#include "zelq/net/quoting.hpp"

namespace zelq::providers::openai {

// The "messages" array: each message with its role and, when it holds only
// texts, those joined by "\n" as "content" (the form every compatible server
// takes); otherwise a list of content parts: texts as
// {"type": "text"}, images (a URL, or bytes as a base64 data URL) as
// {"type": "image_url"}, PDF bytes as {"type": "file"} and WAV or MP3 bytes
// as {"type": "input_audio"}. A URL attachment without a MIME type is taken
// for an image. Throws zelq::core::ValueError naming the message and item
// (both counted from 0) and the item itself for any other attachment, and
// for an attachment in a system or assistant message.
core::Value chat_messages(const std::vector<inference::Message>& messages);

struct ChatRequestOptions {
  bool stream = false;
  // "strict" of the json_schema response format.
  bool strict_schema = false;
};

// The request body: "model", "messages", then the hyperparameters as fields
// in their order, then "stream": true when streaming, and "response_format"
// {"type": "json_schema", "json_schema": {"name", "schema", "strict"}} when
// the options carry a response schema (the name is the schema's "title"
// reduced to letters, digits, '_' and '-', else "response"). Throws
// zelq::core::ValueError for a hyperparameter the invoker sets itself
// ("model", "messages", "stream", "stream_options"; "response_format" when a
// schema is given), and what chat_messages() throws.
core::Value chat_request_body(const std::string& model,
                              const std::vector<inference::Message>& messages,
                              const inference::LMInvokeOptions& options,
                              const ChatRequestOptions& request);

// Fills `output` from the finished answer: the reasoning text (as a thinking
// part), the answer text (moved in) and, when `structured` is true, the
// answer parsed as JSON as the structured output, its value held to
// `max_memory` bytes of heap (the client's budget). Throws
// zelq::core::RuntimeError when the model refused ("The model refused:
// <refusal>") or a structured answer is not JSON, and core::JsonMemoryError
// (a refusal over a limit, which no retry repeats) for one whose value
// would hold more; the texts quoted are shown as `quoting` shows them (the
// refusal whole, with the keys masked).
void finish_output(inference::LMOutput& output, const std::string& thinking,
                   std::optional<std::string> text, const std::optional<std::string>& refusal,
                   bool structured, const net::Quoting& quoting, std::size_t max_memory);

// What one answer (or one streamed chunk) says: the first choice's
// reasoning text, answer text, refusal and finish reason, each absent when
// not given. `choice_key` is "message" for an answer, "delta" for a chunk.
struct ChoicePart {
  // Made member by member, not zero-filled first as a defaulted constructor
  // would be: a streamed answer makes one per chunk.
  ChoicePart() noexcept {}  // NOLINT(modernize-use-equals-default)

  std::optional<std::string> thinking{};
  std::optional<std::string> text{};
  std::optional<std::string> refusal{};
  std::optional<std::string> finish_reason{};
};

// Reads the first choice of `answer`. Throws zelq::core::RuntimeError naming
// `source` when the answer carries an "error" (with the server's message as
// `quoting` shows it, taken from `answer` itself: nothing is parsed again)
// or has no usable choice (a chunk without choices gives an empty part).
ChoicePart read_choice(const core::Value& answer, std::string_view choice_key,
                       std::string_view source, const net::Quoting& quoting);

}  // namespace zelq::providers::openai
