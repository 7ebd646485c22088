// The one dynamic value type of the library: mappings, hyperparameters,
// prompt variables, metadata, configuration, credentials and event values.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelq::core {

// Keeps insertion order, as Python dicts do; an update keeps the key's
// position. Byte strings are held as the binary kind.
using Value = nlohmann::ordered_json;

// A byte string (Python bytes).
using Bytes = std::vector<std::uint8_t>;

// Builds a binary Value from bytes.
inline Value bytes_value(Bytes bytes) { return Value::binary(std::move(bytes)); }

}  // namespace zelq::core
