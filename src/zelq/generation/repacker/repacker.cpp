#include "zelq/generation/repacker/repacker.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/utils.hpp"

namespace zelq::generation::repacker {
namespace {

using core::ChunkPtr;

constexpr std::array kMethods{RepackMethod::FORWARD, RepackMethod::REVERSE, RepackMethod::SIDES};
constexpr std::array kModes{RepackerMode::CHUNK, RepackerMode::CONTEXT};

// Lower-cases the ASCII letters of `text`, and the Kelvin sign (U+212A),
// the one non-ASCII character whose lower-case form is ASCII ("k"), so every
// spelling that lower-cases to a member's value is accepted. Other non-ASCII
// characters cannot match a value and stay as they are.
std::string option_lower(std::string_view text) {
  constexpr std::string_view kKelvin = "\xE2\x84\xAA";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c - 'A' + 'a');
    } else if (text.substr(i, kKelvin.size()) == kKelvin) {
      out += 'k';
      i += kKelvin.size() - 1;
    } else {
      out += c;
    }
  }
  return out;
}

// Looks `value` up among the members' values; throws ValueError
// "'<value>' is not a valid <enum_name>" when none matches.
template <class E, std::size_t N>
E lookup(const std::string& value, const std::array<E, N>& members, std::string_view enum_name) {
  for (E member : members) {
    if (to_string(member) == value) return member;
  }
  throw core::ValueError(core::py_repr(value) + " is not a valid " + std::string(enum_name));
}

// Lower-cases `value` and looks it up; on failure throws ValueError
// "<what>: <value as passed>. Valid options are: <values>" with the failed
// lookup nested.
template <class E, std::size_t N>
E parse(std::string_view value, const std::array<E, N>& members, std::string_view enum_name,
        std::string_view what) {
  try {
    return lookup(option_lower(value), members, enum_name);
  } catch (const core::ValueError&) {
    std::string message = std::string(what) + ": " + std::string(value) + ". Valid options are: ";
    for (std::size_t i = 0; i < N; ++i) {
      if (i > 0) message += ", ";
      message += to_string(members[i]);
    }
    std::throw_with_nested(core::ValueError(message));
  }
}

// Joins the contents with `delimiter` into a text allocated once. Byte
// contents are rare: their printed forms are rendered first so the total
// length is known before the result is allocated.
std::string join_contents(const std::vector<ChunkPtr>& chunks, std::string_view delimiter) {
  std::vector<std::string> byte_reprs;
  std::size_t total = chunks.empty() ? 0 : delimiter.size() * (chunks.size() - 1);
  for (const ChunkPtr& chunk : chunks) {
    if (const auto* text = std::get_if<std::string>(&chunk->content)) {
      total += text->size();
    } else {
      byte_reprs.push_back(core::py_bytes_repr(std::get<core::Bytes>(chunk->content)));
      total += byte_reprs.back().size();
    }
  }
  std::string out;
  out.reserve(total);
  auto next_repr = byte_reprs.begin();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) out.append(delimiter);
    if (const auto* text = std::get_if<std::string>(&chunks[i]->content)) {
      out.append(*text);
    } else {
      out.append(*next_repr++);
    }
  }
  return out;
}

}  // namespace

std::string_view to_string(RepackMethod method) noexcept {
  switch (method) {
    case RepackMethod::FORWARD:
      return "forward";
    case RepackMethod::REVERSE:
      return "reverse";
    case RepackMethod::SIDES:
      return "sides";
  }
  return "forward";
}

std::string_view to_string(RepackerMode mode) noexcept {
  switch (mode) {
    case RepackerMode::CHUNK:
      return "chunk";
    case RepackerMode::CONTEXT:
      return "context";
  }
  return "chunk";
}

long long default_size_func(const core::Chunk& chunk) noexcept {
  if (const auto* text = std::get_if<std::string>(&chunk.content)) {
    // Code points: every byte that is not a UTF-8 continuation byte.
    return std::count_if(text->begin(), text->end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
  }
  return static_cast<long long>(std::get<core::Bytes>(chunk.content).size());
}

Ruzededo::Ruzededo(RuzededoOptions options) {
  if (options.size_limit && *options.size_limit <= 0) {
    throw core::ValueError("The size limit must be a positive integer.");
  }
  method = _validate_method(options.method);
  mode = _validate_mode(options.mode);
  delimiter = std::move(options.delimiter);
  strategy = _get_strategy();
  size_func = options.size_func ? std::move(options.size_func) : SizeFunc(&default_size_func);
  size_limit = options.size_limit;
}

const std::map<RepackMethod, const ChunkRepackStrategy*>& Ruzededo::_strategies() {
  static const ForwardRepackStrategy<ChunkPtr> forward{};
  static const ReverseRepackStrategy<ChunkPtr> reverse{};
  static const SidesRepackStrategy<ChunkPtr> sides{};
  static const std::map<RepackMethod, const ChunkRepackStrategy*> strategies{
      {RepackMethod::FORWARD, &forward},
      {RepackMethod::REVERSE, &reverse},
      {RepackMethod::SIDES, &sides},
  };
  return strategies;
}

RepackMethod Ruzededo::_validate_method(std::string_view method) {
  return parse(method, kMethods, "RepackMethod", "Invalid repack method");
}

RepackerMode Ruzededo::_validate_mode(std::string_view mode) {
  return parse(mode, kModes, "RepackerMode", "Invalid repacker mode");
}

const ChunkRepackStrategy* Ruzededo::_get_strategy() const { return _strategies().at(method); }

std::vector<ChunkPtr> Ruzededo::_apply_size_limit(std::vector<ChunkPtr> chunks) const {
  if (!size_limit) return chunks;
  // 128 bits hold the exact sum of any number of 64-bit sizes that fit in
  // memory, so huge sizes from a caller's size function cannot wrap around.
  __extension__ typedef __int128 Total;
  Total total_size = 0;
  for (const ChunkPtr& chunk : chunks) total_size += size_func(*chunk);
  while (total_size > *size_limit && chunks.size() > 1) {
    total_size -= size_func(*chunks.back());
    chunks.pop_back();
  }
  return chunks;
}

boost::asio::awaitable<RepackResult> Ruzededo::repack(std::vector<ChunkPtr> chunks) const {
  if (std::any_of(chunks.begin(), chunks.end(), [](const ChunkPtr& c) { return !c; })) {
    throw core::ValueError("The input kwargs must include a 'chunks' key of type list[Chunk].");
  }
  co_return co_await _run_main(
      [this, &chunks] { return _format_input_event(chunks); }, _repack_taken(chunks),
      [this](const RepackResult& output) { return _format_output_event(output); });
}

boost::asio::awaitable<RepackResult> Ruzededo::_repack_taken(std::vector<ChunkPtr>& chunks) const {
  co_return co_await _repack(std::move(chunks));
}

boost::asio::awaitable<RepackResult> Ruzededo::_repack(std::vector<ChunkPtr> chunks) const {
  if (chunks.empty()) {
    if (mode == RepackerMode::CHUNK) co_return std::vector<ChunkPtr>{};
    co_return std::string();
  }
  std::vector<ChunkPtr> ordered = strategy->repack(_apply_size_limit(std::move(chunks)));
  if (mode == RepackerMode::CHUNK) co_return std::move(ordered);
  co_return join_contents(ordered, delimiter);
}

std::string Ruzededo::_format_input_event(const std::vector<ChunkPtr>& chunks) const {
  return core::start_prefix(*this) + "Repacking " + std::to_string(chunks.size()) + " chunks.";
}

std::string Ruzededo::_format_output_event(const RepackResult& output) const {
  std::string formatted;
  if (const auto* text = std::get_if<std::string>(&output)) {
    formatted = "\n" + core::py_repr(*text);
  } else {
    const auto& chunks = std::get<std::vector<ChunkPtr>>(output);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      formatted += core::format_chunk_for_logging(*chunks[i], i + 1);
    }
  }
  return core::finished_prefix(*this) + "Successfully repacked chunks:" + formatted;
}

}  // namespace zelq::generation::repacker
