// The reference formatter that asks a language model, batch by batch, which
// candidate chunks back the response.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/generation/reference_formatter/reference_formatter.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/inference/prompt_builder.hpp"

namespace zelq::generation::reference_formatter {

namespace detail {

// Chunks per language-model request.
inline constexpr int DEFAULT_BATCH_SIZE = 5;
// The metadata key that names a chunk in the prompt and in the answer.
inline constexpr std::string_view DEFAULT_REFERENCE_METADATA = "file_name";
// The system prompt of reference selection (377 characters), with the
// prompt variables "context" and "response".
inline constexpr std::string_view DEFAULT_SYSTEM_TEMPLATE =
    "\n"
    "You are a helpful assistant that filters the candidate chunks based on their relevance to "
    "the generated response.\n"
    "\n"
    "Here are the candidate chunks:\n"
    "<Context>\n"
    "{context}\n"
    "</Context>\n"
    "\n"
    "Here is the generated response:\n"
    "<Response>\n"
    "{response}\n"
    "</Response>\n"
    "\n"
    "Return only the chunks that are relevant to the generated response, if any.\n"
    "If there are no relevant chunks, return an empty list.\n";

// The consecutive slices of `chunks` of up to `batch_size` chunks each, in
// order. A negative size gives no batch. Throws ValueError "range() arg 3
// must not be zero" for a size of 0.
std::vector<std::vector<core::ChunkPtr>> make_batches(const std::vector<core::ChunkPtr>& chunks,
                                                      int batch_size);

// The context text of one batch: per chunk "<Chunk>\n<key>: <value>\ncontent:
// \n<content>\n</Chunk>", joined by "\n\n". The value and the content are
// written as str() writes them (a missing value as None, bytes as b'...').
std::string format_reference_context(const std::vector<core::ChunkPtr>& chunks,
                                     const std::string& key);

// The chunks of `batch`, in order, whose metadata value under `key` (null
// when missing) equals, by Python's ==, an element of `selected`. Anything
// but a list in `selected` (null, a text, a mapping) selects nothing.
std::vector<core::ChunkPtr> select_listed(const std::vector<core::ChunkPtr>& batch,
                                          const std::string& key, const core::Value& selected);

// Awaits the selections of all batches together and concatenates them in
// batch order. When one fails, waits for the others, then rethrows the first
// failure.
boost::asio::awaitable<std::vector<core::ChunkPtr>> gather_batch_selections(
    std::vector<boost::asio::awaitable<std::vector<core::ChunkPtr>>> batches);

// The JSON Schema of the answer: an object "RelevantChunks" with one
// required member `key`, a list of texts.
core::Value relevant_chunks_schema(const std::string& key);

}  // namespace detail

// Constructor options of LMReferenceFormatter, in parameter order after the
// invoker; the five formatting fields mean what they mean in
// ReferenceFormatterOptions.
struct LMReferenceFormatterOptions {
  // Chunks per request; not validated (0 fails at a call with chunks, a
  // negative size selects nothing).
  int batch_size = detail::DEFAULT_BATCH_SIZE;
  // The metadata key by which the model names chunks.
  std::string reference_metadata = std::string(detail::DEFAULT_REFERENCE_METADATA);
  bool stringify = true;
  FormatReferencesFunc format_references_func{};
  FormatChunkFunc format_chunk_func{};
  core::Value format_chunk_metadata_map = nullptr;
  bool streamable = true;
  // Invokers tried, in order, when the invoker fails.
  std::vector<inference::LMInvokerPtr> fallback_lms{};
  // The prompt sent with every request (its templates use "context" and
  // "response"); nullopt uses DEFAULT_SYSTEM_TEMPLATE.
  std::optional<inference::PromptBuilder> prompt_builder{};
};

// Selects references by asking a language model: the candidates go out in
// batches of `batch_size`, one request per batch, all at once; each request
// shows the response and the batch's chunks, named by their metadata value
// under `reference_metadata`, and the model answers with a structured
// object whose member of that name lists the relevant names. The selection
// keeps input order.
class LMReferenceFormatter : public BaseReferenceFormatter, public inference::LMComponent {
 public:
  // Binds `lm_invoker` and its fallbacks with the formatter's own prompt
  // (options.prompt_builder, else the default system template); the
  // invokers are not changed and may be shared. The invoker must answer with
  // a structured object as described above (from_preset builds one that
  // does). Throws the ValueError of LMComponent for a null invoker or
  // fallback, and what BaseReferenceFormatter's constructor throws.
  explicit LMReferenceFormatter(inference::LMInvokerPtr lm_invoker,
                                LMReferenceFormatterOptions options = {});

  // A formatter whose new invoker for `model_id` (through build_lm_invoker,
  // with `credentials`) carries the preset system prompt and answers in
  // relevant_chunks_schema(options.reference_metadata). Throws what
  // build_lm_invoker and the constructor throw.
  static std::unique_ptr<LMReferenceFormatter> from_preset(inference::ModelIdArg model_id,
                                                           LMReferenceFormatterOptions options = {},
                                                           core::Value credentials = nullptr);

  std::string class_name() const override { return "LMReferenceFormatter"; }
  std::set<std::string, std::less<>> prompt_vars() const override;
  std::optional<std::string> default_system_template() const override;
  std::optional<std::string> default_user_template() const override;

  // Read at every call (do not change them while calls run).
  int batch_size = detail::DEFAULT_BATCH_SIZE;
  std::string reference_metadata;

 protected:
  // An empty list at once for no candidates; otherwise every batch's
  // selection, in batch order. All requests run at once; when one fails,
  // the call waits for the others and then rethrows the first failure. A
  // batch whose answer has no structured object, lacks the member or holds
  // anything but a list there selects nothing. Throws the ValueError of
  // make_batches before any request. Cancellation reaches every request.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _get_relevant_chunks(
      std::string response, std::vector<core::ChunkPtr> chunks) const override;

  // One request over one batch, and that batch's selection.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _process_batch(
      std::vector<core::ChunkPtr> chunks, std::string response) const;

  // format_reference_context over `reference_metadata`.
  std::string _format_context(const std::vector<core::ChunkPtr>& chunks) const;
};

}  // namespace zelq::generation::reference_formatter
