// The run-time operations of MapReduceSynthesisStrategy: the map iterations
// and the reduce phase.
#include <exception>
#include <utility>

#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/response_synthesizer/strategy/detail/lm_binding.hpp"
#include "zelq/generation/response_synthesizer/strategy/map_reduce_synthesis_strategy.hpp"

namespace zelq::generation::response_synthesizer::strategy {
namespace {

constexpr std::string_view MAP_SLOT = "map";
constexpr std::string_view REDUCE_SLOT = "reduce";

// `chunks` cut into consecutive batches of `batch_size`, the last one
// holding the remainder.
std::vector<std::vector<core::ChunkPtr>> cut_batches(const std::vector<core::ChunkPtr>& chunks,
                                                     std::size_t batch_size) {
  std::vector<std::vector<core::ChunkPtr>> batches;
  for (std::size_t i = 0; i < chunks.size(); i += batch_size) {
    const std::size_t end = std::min(chunks.size(), i + batch_size);
    batches.emplace_back(chunks.begin() + static_cast<std::ptrdiff_t>(i),
                         chunks.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return batches;
}

}  // namespace

boost::asio::awaitable<core::Value> MapReduceSynthesisStrategy::synthesize(
    SynthesisContext& context) const {
  int iteration = 0;
  while (iteration < max_iterations_ &&
         context.chunks.size() > static_cast<std::size_t>(batch_size_)) {
    ++iteration;
    auto map = _map(context, iteration);
    co_await std::move(map);
  }
  auto reduce = _reduce(context);
  inference::LMOutput result = co_await std::move(reduce);
  co_return extractor_func_(result);
}

boost::asio::awaitable<void> MapReduceSynthesisStrategy::_map(SynthesisContext& context,
                                                              int iteration) const {
  const std::shared_ptr<core::EventEmitter> event_emitter = context.event_emitter;
  context.event_emitter = nullptr;
  std::exception_ptr failure;
  std::size_t mapped = 0;
  try {
    auto batches = map_batches(context, iteration);
    mapped = co_await std::move(batches);
  } catch (...) {
    failure = std::current_exception();
  }
  context.event_emitter = event_emitter;
  if (failure) std::rethrow_exception(failure);
  _logger()->info("Successfully mapped chunks into " + std::to_string(mapped) +
                  " non-empty draft response(s).");
}

// The body of one map iteration, run while the emitter is off. Returns the
// number of new chunks.
boost::asio::awaitable<std::size_t> MapReduceSynthesisStrategy::map_batches(
    SynthesisContext& context, int iteration) const {
  std::vector<boost::asio::awaitable<repacker::RepackResult>> repacks;
  for (auto& batch : cut_batches(context.chunks, static_cast<std::size_t>(batch_size_))) {
    repacks.push_back(chunks_repacker_->repack(std::move(batch)));
  }
  auto gather_repacks = core::parallel_gather(std::move(repacks));
  std::vector<repacker::RepackResult> context_batches = co_await std::move(gather_repacks);

  std::vector<boost::asio::awaitable<inference::LMOutput>> tasks;
  for (auto& batch_context : context_batches) {
    core::Value kwargs = core::Value::object();
    kwargs[std::string(SynthesisPromptKey::CONTEXT)] =
        detail::repacked_text(std::move(batch_context));
    tasks.push_back(_synthesize_with_lm(
        context, LMSynthesisOptions{.slot = std::string(MAP_SLOT), .kwargs = std::move(kwargs)}));
  }
  const std::size_t calls = tasks.size();
  _logger()->info("Mapping " + std::to_string(context.chunks.size()) + " chunk(s) into " +
                  std::to_string(calls) + " draft response(s) [Iteration " +
                  std::to_string(iteration) + " out of possible " +
                  std::to_string(max_iterations_) + "]");
  auto gather_tasks = core::parallel_gather(std::move(tasks));
  std::vector<inference::LMOutput> map_results = co_await std::move(gather_tasks);

  std::vector<core::ChunkPtr> mapped_chunks;
  for (const inference::LMOutput& result : map_results) {
    std::string text = _extract_mapped_text(result);
    if (!text.empty()) mapped_chunks.push_back(core::make_chunk(std::move(text)));
  }
  if (mapped_chunks.empty()) {
    throw core::ValueError("Map phase produced 0 non-empty result(s) from " +
                           std::to_string(calls) +
                           " map call(s); refusing to reduce without mapped context.");
  }
  context.chunks = std::move(mapped_chunks);
  co_return context.chunks.size();
}

std::string MapReduceSynthesisStrategy::_extract_mapped_text(
    const inference::LMOutput& result) const {
  std::string mapped;
  bool first = true;
  for (const std::string& text : result.texts()) {
    if (core::py_is_blank(text)) continue;
    if (!first) mapped += chunks_repacker_->delimiter;
    mapped += text;
    first = false;
  }
  return mapped;
}

boost::asio::awaitable<inference::LMOutput> MapReduceSynthesisStrategy::_reduce(
    SynthesisContext& context) const {
  _logger()->info(_get_reduce_log_message(context));
  const core::Value key_defaults = _prompt_builder(REDUCE_SLOT).key_defaults();
  auto repack = chunks_repacker_->repack(context.chunks);
  std::string reduce_context = detail::repacked_text(co_await std::move(repack));
  context.set_prompt_variable(SynthesisPromptKey::CONTEXT,
                              reduce_context.empty()
                                  ? detail::key_default(key_defaults, SynthesisPromptKey::CONTEXT)
                                  : core::Value(std::move(reduce_context)));
  auto call = _synthesize_with_lm(context, LMSynthesisOptions{.slot = std::string(REDUCE_SLOT)});
  inference::LMOutput result = co_await std::move(call);
  _logger()->info("Successfully reduced mapped context(s) into a final response.");
  co_return result;
}

std::string MapReduceSynthesisStrategy::_get_reduce_log_message(
    const SynthesisContext& context) const {
  const std::size_t num_chunks = context.chunks.size();
  if (num_chunks == 0) return "Synthesizing response without any provided context.";
  const char* reason = num_chunks <= static_cast<std::size_t>(batch_size_)
                           ? "Context is compact enough"
                           : "Max iterations reached";
  return std::string(reason) + ", reducing " + std::to_string(num_chunks) +
         " mapped context(s) into a final response.";
}

}  // namespace zelq::generation::response_synthesizer::strategy
