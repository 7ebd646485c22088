// Ruzededo: incorporates retrieved chunks into a prompt as context. Trims the
// chunks to a size limit, orders them, and returns them as a list or joined
// into one context text.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/component.hpp"
#include "zelq/generation/repacker/repack_strategy.hpp"

namespace zelq::generation::repacker {

// The ordering method of a repacker.
enum class RepackMethod {
  FORWARD,  // keep the input order (the default)
  REVERSE,  // reverse the order
  SIDES,    // most relevant chunks at both ends
};

// The output mode of a repacker.
enum class RepackerMode {
  CHUNK,    // repack returns the list of chunks (the default)
  CONTEXT,  // repack returns one text
};

// The member's value: "forward", "reverse", "sides".
std::string_view to_string(RepackMethod method) noexcept;
// The member's value: "chunk", "context".
std::string_view to_string(RepackerMode mode) noexcept;

// Measures one chunk for the size limit.
using SizeFunc = std::function<long long(const core::Chunk&)>;

// The default size of a chunk: the number of code points of a text content,
// or the number of bytes of a byte content. Never allocates, never throws.
long long default_size_func(const core::Chunk& chunk) noexcept;

// What repack returns: the ordered chunks in chunk mode, the joined text in
// context mode (read it with std::get<std::string>).
using RepackResult = std::variant<std::vector<core::ChunkPtr>, std::string>;

// Constructor options of Ruzededo, in parameter order.
struct RuzededoOptions {
  // One of "forward", "reverse", "sides", in any letter case.
  std::string method = "forward";
  // One of "chunk", "context", in any letter case.
  std::string mode = "chunk";
  // Placed between two neighbouring contents in context mode; may be empty.
  std::string delimiter = "\n\n";
  // Size of one chunk; empty selects default_size_func.
  SizeFunc size_func = {};
  // Largest total size of the chunks kept; must be positive when present.
  std::optional<long long> size_limit = std::nullopt;
};

// Trims, orders and packs chunks. The chunks come in the retriever's order,
// most relevant first. When a size limit is set, chunks are dropped from the
// end of that input order (never the first one) until their total size fits;
// then the survivors are ordered by the method's shared strategy and returned
// as a list (chunk mode) or joined with the delimiter (context mode).
//
// The public members are read afresh at each call and may be changed between
// calls; assigning `method` does not change `strategy`. A call changes
// nothing in the repacker, so one repacker may serve several calls at once.
// Chunks are never changed; results hold the caller's chunk pointers.
class Ruzededo : public core::Component {
 public:
  // Throws ValueError "The size limit must be a positive integer." when
  // `size_limit` is zero or negative (checked first), then the method and
  // mode errors of _validate_method and _validate_mode.
  explicit Ruzededo(RuzededoOptions options = {});

  // "Ruzededo"; a derived class returns its own name, which names its logger
  // and appears in its log texts.
  std::string class_name() const override { return "Ruzededo"; }

  // Trims, orders and packs `chunks`. Context mode joins the contents, a
  // text as is and a byte content in its printed form (b'...'). An empty
  // list gives an empty list or "". With the forward method and no size
  // limit the argument's storage is moved through uncopied.
  // Throws ValueError "The input kwargs must include a 'chunks' key of type
  // list[Chunk]." when an item is null, before any other work; errors of the
  // size function propagate unchanged. With debug logging on, the texts of
  // _format_input_event and _format_output_event are logged around the work.
  // `*this` must outlive the returned awaitable. The work does not suspend,
  // so cancellation has no effect.
  boost::asio::awaitable<RepackResult> repack(std::vector<core::ChunkPtr> chunks) const;

  // The ordering method, as validated at construction.
  RepackMethod method = RepackMethod::FORWARD;
  // Whether repack returns chunks or one text.
  RepackerMode mode = RepackerMode::CHUNK;
  // Placed between two neighbouring contents in context mode.
  std::string delimiter;
  // The shared strategy for `method`, chosen at construction; never null.
  // Points to a process-wide object that outlives every repacker.
  const ChunkRepackStrategy* strategy = nullptr;
  // Measures one chunk; never empty after construction.
  SizeFunc size_func;
  // Largest total size of the chunks kept; none means no limit.
  std::optional<long long> size_limit;

 protected:
  // The shared strategy objects, one per method, created once per process.
  static const std::map<RepackMethod, const ChunkRepackStrategy*>& _strategies();

  // Lower-cases `method` and returns the member with that value. Throws
  // ValueError "Invalid repack method: <method as passed>. Valid options
  // are: forward, reverse, sides", with the failed lookup (a ValueError) as
  // its nested cause. Blanks are not trimmed.
  static RepackMethod _validate_method(std::string_view method);
  // The same for modes: "Invalid repacker mode: <mode as passed>. Valid
  // options are: chunk, context".
  static RepackerMode _validate_mode(std::string_view mode);

  // The shared strategy for `method`.
  const ChunkRepackStrategy* _get_strategy() const;

  // Drops chunks from the end until the total size is at most `size_limit`,
  // always keeping the first. Calls size_func once per chunk, and again for
  // each chunk dropped; not at all without a limit.
  virtual std::vector<core::ChunkPtr> _apply_size_limit(std::vector<core::ChunkPtr> chunks) const;

  // Trims, orders and packs a validated list (no null items).
  virtual boost::asio::awaitable<RepackResult> _repack(std::vector<core::ChunkPtr> chunks) const;

  // "[Start '<class>'] Repacking <count> chunks."
  virtual std::string _format_input_event(const std::vector<core::ChunkPtr>& chunks) const;
  // "[Finished '<class>'] Successfully repacked chunks:" followed by "\n"
  // and the printed form of a text result, or by format_chunk_for_logging of
  // each chunk (indices from 1), concatenated.
  virtual std::string _format_output_event(const RepackResult& output) const;

 private:
  // Runs _repack on the list that `chunks` refers to, taking it over only
  // when started, so the input hook still sees it. `chunks` lives in the
  // frame of the awaiting repack call.
  boost::asio::awaitable<RepackResult> _repack_taken(std::vector<core::ChunkPtr>& chunks) const;
};

}  // namespace zelq::generation::repacker
