// Event ids made at the rate of a stream.
#pragma once

#include <string>

namespace zelq::core {

// A new lower-case v4 UUID text, as new_uuid() gives, drawn from a
// per-thread pseudo-random generator (mt19937_64) that the system's entropy
// seeds once per thread. For ids made per streamed piece (an event block
// each): new_uuid() asks the system for entropy on every call, one system
// call per id. Not for secrets. Throws std::bad_alloc, and what
// std::random_device throws when the first call of a thread finds no
// entropy source.
std::string fast_uuid();

}  // namespace zelq::core
