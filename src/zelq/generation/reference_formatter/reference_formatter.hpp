// The reference formatter contract: BaseReferenceFormatter, and the default
// renderers that turn selected chunks into one numbered reference text.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/component.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/value.hpp"

namespace zelq::generation::reference_formatter {

// Renders one chunk as its reference entry. An entry is usually a text, but
// may be null or another value (the default renderer returns a chunk's bare
// title value when it has no link), so it is a Value.
using FormatChunkFunc = std::function<core::Value(const core::Chunk&)>;
// Joins the rendered entries into the whole reference text.
using FormatReferencesFunc = std::function<std::string(const std::vector<core::Value>&)>;

// What format_reference returns: the reference text (stringify on) or the
// selected chunks, the caller's own pointers (stringify off).
using ReferenceResult = std::variant<std::string, std::vector<core::ChunkPtr>>;

// The numbered reference text of `formatted_chunks`: "" for an empty list;
// otherwise "References:" followed, for each distinct entry in order of its
// first occurrence, by "\n<n>. <entry>" with n counting 1, 2, 3 over the
// kept entries. Entries are equal as Python's == finds them (so null and the
// text "None" are distinct, 1 and 1.0 are not); each is written as Python's
// str() writes it (null as "None", byte strings as b'...'). Linear in the
// number of entries. Never throws (except bad_alloc).
std::string format_references_as_string(const std::vector<core::Value>& formatted_chunks);

// A renderer of one chunk through `metadata_map`, whose "title" and "url"
// entries name the chunk metadata keys of the title and the link (other
// entries are ignored; a missing or non-text entry reads nothing). A chunk
// whose link value is truthy renders as the text "[<title>](<url>)", each
// written as str() writes it (a missing title as "None"); otherwise as its
// title value itself, unconverted (null when missing). Nothing is escaped.
//
// This form shares the map: it is read at every call, so changes made to it
// later (not while a call runs) govern later calls. Throws ValueError when
// the pointer is null or the map is not an object.
FormatChunkFunc format_chunk_as_string(std::shared_ptr<const core::Value> metadata_map);
// The same over a copy of `metadata_map`.
FormatChunkFunc format_chunk_as_string(core::Value metadata_map);

// {"title": "file_name", "url": "file_url"}: the metadata map of the default
// renderer. Built once, during static initialisation of the library, and
// never changed; safe to read from any thread (not from another translation
// unit's static initialisers: use detail::default_format_chunk_metadata_map()
// there).
extern const core::Value& DEFAULT_FORMAT_CHUNK_METADATA_MAP;

namespace detail {
// The map DEFAULT_FORMAT_CHUNK_METADATA_MAP refers to, built on first call.
const core::Value& default_format_chunk_metadata_map();
}  // namespace detail

// Constructor options shared by every reference formatter, in parameter
// order.
struct ReferenceFormatterOptions {
  // Return one reference text (true) or the list of selected chunks.
  bool stringify = true;
  // Joins the rendered entries; empty uses format_references_as_string.
  FormatReferencesFunc format_references_func{};
  // Renders one chunk; empty uses format_chunk_as_string over the metadata
  // map below.
  FormatChunkFunc format_chunk_func{};
  // The metadata map of the default renderer (an object, copied); null or an
  // empty object uses DEFAULT_FORMAT_CHUNK_METADATA_MAP. Not used when
  // `format_chunk_func` is given.
  core::Value format_chunk_metadata_map = nullptr;
  // Whether the result may be sent as reference events to the caller's
  // emitter.
  bool streamable = true;
};

// Arguments of BaseReferenceFormatter::format_reference.
struct FormatReferenceOptions {
  // The synthesized response; required, and not blank.
  std::optional<std::string> response{};
  // The candidate chunks; required (an empty list is fine), no null item.
  std::optional<std::vector<core::ChunkPtr>> chunks{};
  // Receives the reference events; null sends nothing.
  std::shared_ptr<core::EventEmitter> event_emitter{};
};

// The base of every reference formatter: validates a call, lets the concrete
// class select the chunks that back the response (_get_relevant_chunks),
// renders the selection as one reference text or returns it, and sends it to
// the caller's emitter as reference events. Holds only its configuration;
// one instance may serve several calls at once.
class BaseReferenceFormatter : public core::Component {
 public:
  // Stores the configuration, filling in the default renderers. Throws
  // ValueError when format_chunk_metadata_map is used and is neither null
  // nor an object.
  explicit BaseReferenceFormatter(ReferenceFormatterOptions options);

  // Selects and formats the references of `options.response` among
  // `options.chunks`.
  //
  // Checks first, before anything else runs: ValueError "The input kwargs for
  // reference formatter must include a non-empty `response` key of type
  // `str`." when the response is missing or blank (whitespace only), then
  // ValueError "The input kwargs for reference formatter must include a
  // `chunks` key of type `list[Chunk]`." when the chunks are missing or one
  // is null.
  //
  // Then awaits the selection once and returns the reference text (stringify
  // true) or the selection. When `streamable` is true, an emitter is given
  // and the result is not empty, it first sends the result as reference
  // events under one fresh id (see _create_reference_events), one after the
  // other; nothing is sent for an empty result, and no id is drawn then.
  // Errors of the selection, the renderers and the emitter propagate
  // unchanged (events already sent stay sent). With debug logging on, the
  // hook texts are logged around the call. The formatter must outlive the
  // returned awaitable; cancellation propagates.
  boost::asio::awaitable<ReferenceResult> format_reference(FormatReferenceOptions options) const;
  // The same from positional arguments.
  boost::asio::awaitable<ReferenceResult> format_reference(
      std::string response, std::vector<core::ChunkPtr> chunks,
      std::shared_ptr<core::EventEmitter> event_emitter = nullptr) const;

  // The reference events of one result, all with id `id_` and type
  // "reference": one event holding the whole text for a text result; one
  // per chunk, in order, holding its model_dump(), for a list.
  static std::vector<core::Event> _create_reference_events(const std::string& id_,
                                                           const ReferenceResult& values);

  // format_references_func over format_chunk_func of each chunk, in order.
  std::string _format_as_string(const std::vector<core::ChunkPtr>& chunks) const;

  // Configuration, read at every call (do not change it while calls run).
  bool stringify = true;
  FormatReferencesFunc format_references_func;
  FormatChunkFunc format_chunk_func;
  bool streamable = true;

 protected:
  // The selection, most relevant first or in input order as the concrete
  // class chooses; the chunks returned must be non-null. The base's own
  // body throws NotImplementedError (empty message) when awaited.
  virtual boost::asio::awaitable<std::vector<core::ChunkPtr>> _get_relevant_chunks(
      std::string response, std::vector<core::ChunkPtr> chunks) const = 0;

  // "[Start '<class>'] Formatting references using <n> candidate chunks."
  virtual std::string _format_input_event(const std::vector<core::ChunkPtr>& chunks) const;
  // "[Finished '<class>'] Successfully formatted references:\n" and the
  // printed representation of the result (a text in quotes with escapes, a
  // list as [Chunk(id=..., content=..., metadata=..., score=...), ...]).
  virtual std::string _format_output_event(const ReferenceResult& output) const;

 private:
  boost::asio::awaitable<ReferenceResult> _format_selected(
      std::string response, std::vector<core::ChunkPtr> chunks,
      std::shared_ptr<core::EventEmitter> emitter) const;
};

// The printed representation of a chunk, as Python's repr of the record:
// Chunk(id='...', content='...', metadata={...}, score=None).
std::string chunk_repr(const core::Chunk& chunk);

}  // namespace zelq::generation::reference_formatter
