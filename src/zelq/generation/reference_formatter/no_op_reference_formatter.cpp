#include "zelq/generation/reference_formatter/no_op_reference_formatter.hpp"

#include <utility>

namespace zelq::generation::reference_formatter {

NoOpReferenceFormatter::NoOpReferenceFormatter(ReferenceFormatterOptions options)
    : BaseReferenceFormatter(std::move(options)) {}

boost::asio::awaitable<std::vector<core::ChunkPtr>> NoOpReferenceFormatter::_get_relevant_chunks(
    std::string, std::vector<core::ChunkPtr> chunks) const {
  co_return chunks;
}

}  // namespace zelq::generation::reference_formatter
