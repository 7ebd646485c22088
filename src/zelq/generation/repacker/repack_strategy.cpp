#include "zelq/generation/repacker/repack_strategy.hpp"

namespace zelq::generation::repacker {

template class BaseRepackStrategy<core::ChunkPtr>;
template class ForwardRepackStrategy<core::ChunkPtr>;
template class ReverseRepackStrategy<core::ChunkPtr>;
template class SidesRepackStrategy<core::ChunkPtr>;

}  // namespace zelq::generation::repacker
