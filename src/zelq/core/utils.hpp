// Small utilities shared by the components.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/value.hpp"

namespace zelq::core {

struct CheckOptionalPackagesOptions {
  // The install extra (the CMake option suffix) that provides the package.
  std::string extras;
};

// Marks an optional package as available in this process. Optional parts
// register themselves when they are built in and their runtime loads.
void register_optional_package(std::string_view package);

// Returns when `package` is available; otherwise throws MissingPackageError
// naming the package and how to enable it, for example
// "The optional package 'llmlingua' is not available. Rebuild zelq_generation
// with -DZELQ_WITH_LLMLINGUA=ON (extra 'llmlingua') and install it."
void check_optional_packages(std::string_view package,
                             const CheckOptionalPackagesOptions& options = {});

// A one-line-per-field description of a chunk for log messages:
// "\nChunk <index>:\n  ID: <id>\n  Content: <repr of content, first 50
// characters then '...'>\n  Metadata: <repr>\n  Score: <score or None>".
std::string format_chunk_for_logging(const Chunk& chunk, std::size_t index);

enum class BinaryHandlingStrategy { BASE64, HEX, NONE };

// "base64", "hex" or "none".
std::string_view to_string(BinaryHandlingStrategy strategy);
// Case-insensitive parse; throws ValueError listing the valid values.
BinaryHandlingStrategy parse_binary_handling_strategy(std::string_view text);

// Turns one byte string into a text, or nullopt to leave the value out.
using BinaryHandler = std::function<std::optional<std::string>(const Bytes&)>;

// BASE64: standard padded base64; HEX: lower-case hexadecimal; NONE: nullopt.
BinaryHandler binary_handler_factory(BinaryHandlingStrategy strategy);

std::string base64_encode(const Bytes& bytes);
std::string hex_encode(const Bytes& bytes);

// Cosine similarity of `query` with each of `vectors`, in order. Each vector
// is scaled by its largest magnitude before the norms are taken, so every
// pair of finite non-zero vectors gives a value in [-1, 1], however tiny or
// huge their components. A zero or empty vector on either side, or a
// non-finite component, gives NaN. Throws ValueError when a vector's
// dimension differs from the query's.
std::vector<double> cosine(const std::vector<double>& query,
                           const std::vector<std::vector<double>>& vectors);

}  // namespace zelq::core
