// The fast reader of streamed chat-completion chunks (simdjson, no Value)
// accepts only chunks the full path (a Value read by read_choice) accepts,
// and gives the same part for them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/json.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"

namespace {

using zelq::providers::openai::ChoicePart;

std::optional<ChoicePart> read_full(std::string_view data) {
  try {
    zelq::core::Value chunk = zelq::core::parse_json(data, "A streamed chunk");
    if (!chunk.is_object()) return std::nullopt;
    return zelq::providers::openai::read_choice(chunk, "delta", "A streamed chunk", "");
  } catch (const zelq::core::ValueError&) {  // nested too deep
    return std::nullopt;
  } catch (const zelq::core::RuntimeError&) {  // the chunk reports an error
    return std::nullopt;
  }
}

std::string show(const std::optional<std::string>& field) {
  return field ? "'" + zelq::fuzz::escaped(*field) + "'" : "-";
}

std::string describe(const ChoicePart& part) {
  return "text=" + show(part.text) + " thinking=" + show(part.thinking) +
         " refusal=" + show(part.refusal) + " finish_reason=" + show(part.finish_reason);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view chunk(reinterpret_cast<const char*>(data), size);
  const std::optional<ChoicePart> fast = zelq::providers::openai::read_chunk_fast(chunk);
  if (!fast) return 0;
  const std::optional<ChoicePart> full = read_full(chunk);
  if (!full) {
    zelq::fuzz::fail("the fast chunk reader accepts a chunk the full path rejects",
                     "fast: " + describe(*fast));
  }
  if (fast->text != full->text || fast->thinking != full->thinking ||
      fast->refusal != full->refusal || fast->finish_reason != full->finish_reason) {
    zelq::fuzz::fail("the fast chunk reader and read_choice disagree",
                     "fast: " + describe(*fast) + "\nfull: " + describe(*full));
  }
  return 0;
}
