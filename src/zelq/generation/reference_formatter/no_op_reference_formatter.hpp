// The reference formatter that treats every candidate chunk as a reference.
#pragma once

#include <string>
#include <vector>

#include "zelq/generation/reference_formatter/reference_formatter.hpp"

namespace zelq::generation::reference_formatter {

// Selects every candidate chunk, in input order, without a model call: the
// reference text covers all of them (the default renderers drop repeated
// entries), and with stringify off the result is the caller's own chunk
// list. Everything else is BaseReferenceFormatter's.
class NoOpReferenceFormatter : public BaseReferenceFormatter {
 public:
  // Throws what BaseReferenceFormatter's constructor throws.
  explicit NoOpReferenceFormatter(ReferenceFormatterOptions options = {});

  std::string class_name() const override { return "NoOpReferenceFormatter"; }

 protected:
  // Returns `chunks` unchanged; `response` is not used.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> _get_relevant_chunks(
      std::string response, std::vector<core::ChunkPtr> chunks) const override;
};

}  // namespace zelq::generation::reference_formatter
