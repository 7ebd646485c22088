// BaseContextEnricher: the contract of every context enricher, which returns
// the chunks a retriever found enriched with additional context.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/component.hpp"

namespace zelq::generation::context_enricher {

// The base of every context enricher, which adds context to retrieved
// chunks. The base owns the public entry `enrich` and its input check; a
// concrete enricher provides `_enrich`.
class BaseContextEnricher : public core::Component {
 public:
  // Enriches `chunks` and returns what _enrich returns, unchanged: for the
  // enrichers of this library, the same chunk pointers, whose chunks were
  // changed in place (the change is visible through the caller's pointers).
  // An empty list is valid.
  //
  // Throws ValueError "`chunks` must be a list of Chunk objects." when an
  // item is null, before _enrich runs; whatever _enrich throws propagates
  // unchanged, leaving behind what it had already done to the chunks.
  // `*this` must outlive the returned awaitable. Cancellation reaches only
  // the await of _enrich.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> enrich(
      std::vector<core::ChunkPtr> chunks) const;

 protected:
  // Does the work of one kind of enricher on a validated list (no null
  // items, possibly empty). The base's body throws NotImplementedError.
  virtual boost::asio::awaitable<std::vector<core::ChunkPtr>> _enrich(
      std::vector<core::ChunkPtr> chunks) const = 0;
};

}  // namespace zelq::generation::context_enricher
