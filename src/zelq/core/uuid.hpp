// Random identifiers.
#pragma once

#include <string>

namespace zelq::core {

// A fresh random (version 4) UUID as 36 lower-case characters with hyphens.
// Thread-safe.
std::string new_uuid();

}  // namespace zelq::core
