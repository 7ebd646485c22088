#include "zelq/generation/reference_formatter/reference_formatter.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/uuid.hpp"
#include "zelq/generation/reference_formatter/detail/value_equality.hpp"

namespace zelq::generation::reference_formatter {
namespace {

using core::ChunkPtr;
using core::Value;

constexpr const char* kResponseError =
    "The input kwargs for reference formatter must include a non-empty `response` key of type "
    "`str`.";
constexpr const char* kChunksError =
    "The input kwargs for reference formatter must include a `chunks` key of type "
    "`list[Chunk]`.";

// The metadata value under the key that `role` names in `map`; null when the
// map names no text key for the role or the metadata lacks it. A reference
// into the metadata, not a copy: a copy recurses as deep as the value is
// nested.
const Value& metadata_for_role(const Value& map, const char* role, const Value& metadata) {
  static const Value kNone;
  const auto key = map.find(role);
  if (key == map.end() || !key->is_string() || !metadata.is_object()) return kNone;
  const auto value = metadata.find(key->get_ref<const std::string&>());
  return value == metadata.end() ? kNone : *value;
}

std::string content_repr(const core::Chunk& chunk) {
  return chunk.is_text() ? core::py_repr(chunk.text()) : core::py_bytes_repr(chunk.bytes());
}

bool is_empty(const ReferenceResult& result) {
  return std::visit([](const auto& value) { return value.empty(); }, result);
}

}  // namespace

std::string format_references_as_string(const std::vector<Value>& formatted_chunks) {
  if (formatted_chunks.empty()) return "";
  detail::PyValueSet seen;
  seen.reserve(formatted_chunks.size());
  std::string text = "References:";
  std::size_t number = 0;
  for (const Value& entry : formatted_chunks) {
    if (!seen.insert(entry).second) continue;
    text += "\n" + std::to_string(++number) + ". " + core::py_str(entry);
  }
  return text;
}

FormatChunkFunc format_chunk_as_string(std::shared_ptr<const Value> metadata_map) {
  if (!metadata_map) throw core::ValueError("The metadata map of a chunk renderer is null.");
  if (!metadata_map->is_object()) {
    throw core::ValueError(
        "The metadata map of a chunk renderer must be a mapping of text to "
        "text, not " +
        core::py_repr(*metadata_map) + ".");
  }
  return [map = std::move(metadata_map)](const core::Chunk& chunk) -> Value {
    const Value& title = metadata_for_role(*map, "title", chunk.metadata);
    const Value& url = metadata_for_role(*map, "url", chunk.metadata);
    if (!core::py_truthy(url)) return title;
    return "[" + core::py_str(title) + "](" + core::py_str(url) + ")";
  };
}

FormatChunkFunc format_chunk_as_string(Value metadata_map) {
  return format_chunk_as_string(std::make_shared<const Value>(std::move(metadata_map)));
}

namespace detail {
const Value& default_format_chunk_metadata_map() {
  static const Value map = {{"title", "file_name"}, {"url", "file_url"}};
  return map;
}
}  // namespace detail

const Value& DEFAULT_FORMAT_CHUNK_METADATA_MAP = detail::default_format_chunk_metadata_map();

BaseReferenceFormatter::BaseReferenceFormatter(ReferenceFormatterOptions options)
    : stringify(options.stringify), streamable(options.streamable) {
  format_references_func = options.format_references_func
                               ? std::move(options.format_references_func)
                               : FormatReferencesFunc(format_references_as_string);
  if (options.format_chunk_func) {
    format_chunk_func = std::move(options.format_chunk_func);
  } else if (core::py_truthy(options.format_chunk_metadata_map)) {
    format_chunk_func = format_chunk_as_string(std::move(options.format_chunk_metadata_map));
  } else {
    // The shared default, referred to without owning it: it lives as long
    // as the library.
    format_chunk_func = format_chunk_as_string(
        std::shared_ptr<const Value>(std::shared_ptr<void>(), &DEFAULT_FORMAT_CHUNK_METADATA_MAP));
  }
}

boost::asio::awaitable<ReferenceResult> BaseReferenceFormatter::format_reference(
    FormatReferenceOptions options) const {
  if (!options.response || core::py_is_blank(*options.response)) {
    throw core::ValueError(kResponseError);
  }
  if (!options.chunks) throw core::ValueError(kChunksError);
  for (const ChunkPtr& chunk : *options.chunks) {
    if (!chunk) throw core::ValueError(kChunksError);
  }
  const std::vector<ChunkPtr>& chunks = *options.chunks;
  auto emitter = streamable ? std::move(options.event_emitter) : nullptr;
  auto run =
      _run_main([this, &chunks] { return _format_input_event(chunks); },
                _format_selected(std::move(*options.response), chunks, std::move(emitter)),
                [this](const ReferenceResult& output) { return _format_output_event(output); });
  co_return co_await std::move(run);
}

boost::asio::awaitable<ReferenceResult> BaseReferenceFormatter::format_reference(
    std::string response, std::vector<ChunkPtr> chunks,
    std::shared_ptr<core::EventEmitter> event_emitter) const {
  return format_reference(FormatReferenceOptions{.response = std::move(response),
                                                 .chunks = std::move(chunks),
                                                 .event_emitter = std::move(event_emitter)});
}

boost::asio::awaitable<ReferenceResult> BaseReferenceFormatter::_format_selected(
    std::string response, std::vector<ChunkPtr> chunks,
    std::shared_ptr<core::EventEmitter> emitter) const {
  auto select = _get_relevant_chunks(std::move(response), std::move(chunks));
  std::vector<ChunkPtr> relevant = co_await std::move(select);
  for (const ChunkPtr& chunk : relevant) {
    if (!chunk) throw core::RuntimeError(class_name() + " selected a null chunk.");
  }
  ReferenceResult references = stringify ? ReferenceResult(_format_as_string(relevant))
                                         : ReferenceResult(std::move(relevant));
  if (emitter && !is_empty(references)) {
    for (core::Event& event : _create_reference_events(core::new_uuid(), references)) {
      co_await emitter->emit(std::move(event));
    }
  }
  co_return references;
}

std::vector<core::Event> BaseReferenceFormatter::_create_reference_events(
    const std::string& id_, const ReferenceResult& values) {
  std::vector<Value> event_values;
  if (const auto* text = std::get_if<std::string>(&values)) {
    event_values.emplace_back(*text);
  } else {
    for (const ChunkPtr& chunk : std::get<std::vector<ChunkPtr>>(values)) {
      event_values.push_back(chunk->model_dump());
    }
  }
  std::vector<core::Event> events;
  events.reserve(event_values.size());
  for (Value& value : event_values) {
    events.push_back(core::Event{
        .id = id_, .type = std::string(core::EventType::REFERENCE), .value = std::move(value)});
  }
  return events;
}

std::string BaseReferenceFormatter::_format_as_string(const std::vector<ChunkPtr>& chunks) const {
  std::vector<Value> entries;
  entries.reserve(chunks.size());
  for (const ChunkPtr& chunk : chunks) entries.push_back(format_chunk_func(*chunk));
  return format_references_func(entries);
}

boost::asio::awaitable<std::vector<ChunkPtr>> BaseReferenceFormatter::_get_relevant_chunks(
    std::string, std::vector<ChunkPtr>) const {
  throw core::NotImplementedError();
  co_return std::vector<ChunkPtr>{};
}

std::string BaseReferenceFormatter::_format_input_event(const std::vector<ChunkPtr>& chunks) const {
  return core::start_prefix(*this) + "Formatting references using " +
         std::to_string(chunks.size()) + " candidate chunks.";
}

std::string BaseReferenceFormatter::_format_output_event(const ReferenceResult& output) const {
  std::string printed;
  if (const auto* text = std::get_if<std::string>(&output)) {
    printed = core::py_repr(*text);
  } else {
    printed = "[";
    for (const ChunkPtr& chunk : std::get<std::vector<ChunkPtr>>(output)) {
      printed += (printed.size() > 1 ? ", " : "") + chunk_repr(*chunk);
    }
    printed += "]";
  }
  return core::finished_prefix(*this) + "Successfully formatted references:\n" + printed;
}

std::string chunk_repr(const core::Chunk& chunk) {
  return "Chunk(id=" + core::py_repr(chunk.id) + ", content=" + content_repr(chunk) +
         ", metadata=" + core::py_repr(chunk.metadata) +
         ", score=" + (chunk.score ? core::py_float_repr(*chunk.score) : "None") + ")";
}

}  // namespace zelq::generation::reference_formatter
