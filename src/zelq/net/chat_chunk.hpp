// Reads the fields of a streamed chat-completion chunk that clients use,
// without building a core::Value of the rest. The JSON parse is most of the
// CPU per streamed piece, and some services repeat large fields in every
// chunk (Perplexity sends the whole answer so far in each choice's
// "message"): those are skipped, not materialised.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelq::net {

// A choice's "delta": each field a text when the chunk has one (absent or
// null gives nullopt).
struct ChatDelta {
  // Made member by member, not zero-filled first as a defaulted constructor
  // would be: a reader makes one per chunk.
  ChatDelta() noexcept {}  // NOLINT(modernize-use-equals-default)

  std::optional<std::string> content{};
  std::optional<std::string> refusal{};
  std::optional<std::string> reasoning_content{};
  std::optional<std::string> reasoning{};
};

struct ChatChoice {
  ChatChoice() noexcept {}  // NOLINT(modernize-use-equals-default): as ChatDelta's

  // nullopt when the choice has no delta (absent or null); a whole answer's
  // "message" (see ChatChunkReader::read).
  std::optional<ChatDelta> delta{};
  std::optional<std::string> finish_reason{};
};

struct ChatChunk {
  std::vector<ChatChoice> choices{};
  // The JSON text of the chunk's "search_results", a list of objects (as
  // sent, between its brackets); nullopt when the chunk has none (absent or
  // null). Kept as text: a service that repeats the same list in every
  // chunk lets its reader compare the text rather than parse it again.
  std::optional<std::string> search_results{};
};

namespace detail {
struct ChatChunkState;
}  // namespace detail

// Reads the chunks of one stream with simdjson's on-demand parser, owned by
// the stream's reader. A read holds at most the reader's `max_memory` bytes
// of heap, counted as it builds: its parsers, its copy of the chunk and
// the chunk it makes; a chunk that would take more is not read (read()
// gives null), so that the caller's parse, held to the same budget, names
// what is wrong. The parser's memory is taken when a read needs it and
// given back by release(), which a stream calls before it waits for more
// bytes: a stream that waits holds none. Given back, the state of a read
// that holds at most kKeptStateBytes is kept for the next reader on the
// same thread (one at most), so a stream that reads a few chunks per wait
// allocates nothing per read; what a thread keeps between reads is at most
// that, whatever chunk came last. A larger one is freed when given back,
// or at the reader's next read.
// Move-only; one read at a time.
class ChatChunkReader {
 public:
  // The most heap the state a thread keeps between reads holds.
  static constexpr std::size_t kKeptStateBytes = std::size_t{64} << 10;

  // `max_memory`: the most heap one read may hold (see above); a reader
  // given less than kKeptStateBytes reads nothing.
  explicit ChatChunkReader(std::size_t max_memory) noexcept;
  ChatChunkReader(ChatChunkReader&& other) noexcept;
  ChatChunkReader& operator=(ChatChunkReader&& other) noexcept;
  ~ChatChunkReader();

  // Reads the chunk `data`. Returns it, valid until the next call on the
  // reader, or null when the chunk is anything but a plain, valid chunk: not
  // JSON (fields it does not use are read through as well, as the full
  // parse reads them), nested deeper than 512 levels, not an object, holding
  // "error", repeating a key it reads (the full parse keeps the last value),
  // "choices" that is not a list of objects, a delta that is neither an
  // object nor null, a delta field or finish reason that is neither a text
  // nor null, "search_results" that is neither a list of objects nor null,
  // or anything after the object. It also gives null for some valid JSON it
  // does not read, numbers beyond 64 bits or out of a double's range among
  // them, and for a chunk whose reading would hold more than max_memory. The caller then reads the
  // chunk as a core::Value, which names what is wrong or takes what is right. Never throws.
  //
  // With Part::MESSAGE, `data` is a whole (not streamed) answer: each
  // choice's "message" is read as the delta of a chunk is, into
  // ChatChoice::delta, and "delta" is a field it does not use.
  enum class Part { DELTA, MESSAGE };
  ChatChunk* read(std::string_view data, Part part = Part::DELTA) noexcept;

  // Gives back the parser's memory (see above); the next read takes it again.
  void release() noexcept;

  // The largest chunk the reader's parser takes without growing; 0 when the
  // reader holds no parser.
  std::size_t capacity() const noexcept;
  // The heap the reader holds (an estimate from above, as a read counts
  // it); 0 when it holds no state.
  std::size_t held() const noexcept;

 private:
  std::unique_ptr<detail::ChatChunkState> state_;
  std::size_t max_memory_;
};

// The chunk `data` read by a reader of its own with `max_memory` (see
// ChatChunkReader::read); nullopt where that gives null.
std::optional<ChatChunk> read_chat_chunk(std::string_view data, std::size_t max_memory) noexcept;

}  // namespace zelq::net
