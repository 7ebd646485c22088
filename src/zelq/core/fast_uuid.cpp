#include "zelq/core/fast_uuid.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace zelq::core {

std::string fast_uuid() {
  thread_local boost::uuids::random_generator_mt19937 generator;
  return boost::uuids::to_string(generator());
}

}  // namespace zelq::core
