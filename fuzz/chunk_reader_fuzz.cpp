// The fast readers of streamed chat-completion chunks and of whole answers
// (simdjson, no Value) accept only texts the full path (a Value read by
// read_choice) accepts, and give the same part for them.
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

std::optional<ChoicePart> read_full(std::string_view data, std::string_view choice_key = "delta") {
  try {
    zelq::core::Value chunk =
        zelq::core::parse_json(data, "A streamed chunk", zelq::providers::openai::kMaxAnswerSize);
    if (!chunk.is_object()) return std::nullopt;
    return zelq::providers::openai::read_choice(chunk, choice_key, "A streamed chunk", {});
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
  if (const std::optional<ChoicePart> answer = zelq::providers::openai::read_answer_fast(
          chunk, zelq::providers::openai::kMaxAnswerSize)) {
    const std::optional<ChoicePart> full = read_full(chunk, "message");
    if (!full) {
      zelq::fuzz::fail("the fast answer reader accepts an answer the full path rejects",
                       "fast: " + describe(*answer));
    }
    if (answer->text != full->text || answer->thinking != full->thinking ||
        answer->refusal != full->refusal || answer->finish_reason != full->finish_reason) {
      zelq::fuzz::fail("the fast answer reader and read_choice disagree",
                       "fast: " + describe(*answer) + "\nfull: " + describe(*full));
    }
  }
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
