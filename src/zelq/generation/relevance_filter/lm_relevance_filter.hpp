// LMRelevanceFilter: a language-model component judges all batches of
// chunks at once.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/relevance_filter/chunk_format.hpp"
#include "zelq/generation/relevance_filter/relevance_filter.hpp"
#include "zelq/inference/lm_component.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/model_id.hpp"

namespace zelq::generation::relevance_filter {
namespace detail {

inline constexpr int LM_DEFAULT_BATCH_SIZE = 5;
inline constexpr std::string_view LM_DEFAULT_CHUNK_TEMPLATE =
    "[CHUNK]\nContent:\n{content}\n{metadata}";
// The system prompt; its placeholders are {context} and {query}.
inline constexpr std::string_view LM_DEFAULT_SYSTEM_TEMPLATE =
    "\nYou are a helpful assistant that filters chunks based on their relevance to a query.\n"
    "\nHere are the candidate chunks:\n<Context>\n{context}\n</Context>\n"
    "\nHere is the query:\n<Query>\n{query}\n</Query>\n"
    "\nEvaluate whether each chunk is relevant to the query.\n"
    "The results length must match the number of candidate chunk.\n";

}  // namespace detail

// One verdict of the model's answer, for one chunk of the batch.
struct RelevanceFilterItem {
  // The model's reason; not read by the filter.
  std::string explanation;
  // The verdict: whether the chunk is kept.
  bool is_relevant = false;

  // The JSON Schema of one verdict (both fields required).
  static core::Value model_json_schema();
};

// The whole answer of one invocation: the verdicts of a batch.
struct RelevanceFilter {
  // One verdict per chunk of the batch, in batch order.
  std::vector<RelevanceFilterItem> results;

  // The JSON Schema the model's answers follow (the item schema under
  // "$defs").
  static core::Value model_json_schema();
};

// Constructor options of LMRelevanceFilter, in parameter order after the
// invoker.
struct LMRelevanceFilterOptions {
  // Chunks per invocation; at least 1.
  int batch_size = detail::LM_DEFAULT_BATCH_SIZE;
  // A batch that fails with a ValueError is retained whole (true) or
  // dropped whole (false), after a warning.
  bool on_failure_keep_all = true;
  // Metadata field names shown per chunk, in this order.
  std::vector<std::string> metadata{};
  // The chunk template or formatting function.
  ChunkFormat chunk_format = std::string(detail::LM_DEFAULT_CHUNK_TEMPLATE);
  // Fallback invokers of the default slot, tried in order after a failure.
  std::vector<inference::LMInvokerPtr> fallback_lms{};
};

// Options of LMRelevanceFilter::from_preset besides the model id.
struct LMRelevanceFilterPresetOptions {
  // An API key, an object, or null to let the provider find them.
  core::Value credentials = nullptr;
  // Replace the class's system prompt, or add a user prompt.
  std::optional<std::string> system_template{};
  std::optional<std::string> user_template{};
  LMRelevanceFilterOptions filter{};
};

// Keeps the chunks that a language model judges relevant to the query. The
// chunks are cut into batches of `batch_size`; every batch is written as the
// prompt variable "context" beside "query" and all batches are invoked at
// once through the default slot, whose answer must hold under "results" one
// verdict object per chunk of its batch (RelevanceFilter). Only a verdict's
// "is_relevant" is read, by Python truthiness. A batch that fails with a
// ValueError (context writing, invocation, or a bad answer) logs the
// warning "Using default fallback due to failed batch processing: <error>"
// and is retained or dropped whole; the other batches keep their verdicts.
// Any other error ends the call once every batch has finished.
//
// The public members are read at each call and may be changed between calls;
// one instance may serve overlapping calls.
class LMRelevanceFilter : public BaseRelevanceFilter, public inference::LMComponent {
 public:
  // Throws ValueError "The `batch_size` parameter must be greater than 0.",
  // "The chunk_format function must not be empty.", then LMComponent's
  // errors (a null invoker or fallback). The invokers are stored unchanged:
  // the filter keeps its own prompt builder, built from the class's system
  // prompt (LM_DEFAULT_SYSTEM_TEMPLATE), and fills it for every call, so an
  // invoker may serve other components at once.
  explicit LMRelevanceFilter(inference::LMInvokerPtr lm_invoker,
                             LMRelevanceFilterOptions options = {});

  // A filter for `model_id` ("provider/name" or a ModelId) with the class's
  // prompt and answers in the RelevanceFilter schema. Throws what
  // build_lm_invoker and the constructor throw.
  static std::unique_ptr<LMRelevanceFilter> from_preset(
      inference::ModelIdArg model_id, LMRelevanceFilterPresetOptions options = {});

  std::string class_name() const override { return "LMRelevanceFilter"; }
  std::set<std::string, std::less<>> prompt_vars() const override { return {"context", "query"}; }
  std::optional<std::string> default_system_template() const override {
    return std::string(detail::LM_DEFAULT_SYSTEM_TEMPLATE);
  }

  int batch_size = detail::LM_DEFAULT_BATCH_SIZE;
  bool on_failure_keep_all = true;
  std::vector<std::string> metadata;
  ChunkFormat chunk_format;

 protected:
  // The kept chunks of every batch, in input order whatever order the
  // batches finish in; an empty list at once for no chunks. Throws
  // ValueError "The `batch_size` parameter must be greater than 0." when
  // batch_size was set below 1 after construction, before any invocation.
  // Cancellation reaches every running batch and propagates.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _filter(std::vector<core::ChunkPtr> chunks,
                                                              std::string query) const override;
  // Judges one batch; a ValueError never leaves it (the fallback above).
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _process_batch(
      std::vector<core::ChunkPtr> chunks, std::string query) const;
  // One chunk's text: the formatting function's result, or the template
  // filled with "content", the metadata block as "metadata" (when the
  // template contains "{metadata}") and one argument per configured field.
  // Throws KeyError for a template key without an argument, ValueError for
  // a malformed template, IndexError for a positional field, AttributeError
  // for an attribute in a field ({content.x}); only the ValueError falls
  // back, the others end the call.
  std::string _format_chunk(const core::Chunk& chunk) const;
  // The chunks of the batch whose verdict is relevant, in batch order.
  // Throws ValueError: "Expected list, got <class '<type>'>" when `results`
  // is not a list; the mismatch message when its length differs from the
  // batch's; "Malformed relevance for chunk: <repr>" for a verdict that is
  // not an object; "Missing 'is_relevant' key in result" for a verdict
  // without that key. No verdict counts when one fails.
  std::vector<core::ChunkPtr> _process_results(const core::Value& results,
                                               const std::vector<core::ChunkPtr>& chunks) const;

 private:
  // Steps of _process_batch inside its fallback guard.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> judge_batch(
      std::vector<core::ChunkPtr> chunks, std::string query) const;
};

}  // namespace zelq::generation::relevance_filter
