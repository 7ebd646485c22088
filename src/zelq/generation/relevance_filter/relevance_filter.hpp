// BaseRelevanceFilter: the contract every relevance filter keeps.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/component.hpp"

namespace zelq::generation::relevance_filter {

// The base of every relevance filter. A filter keeps, of the chunks
// retrieved for a query, those relevant to it, and returns them as a new list
// of the caller's own chunk pointers, in input order (never copies, never
// changed chunks; a pointer listed twice is judged per occurrence).
class BaseRelevanceFilter : public core::Component {
 public:
  // The chunks of `chunks` relevant to `query`.
  //
  // Checks, in this order, before any work of the concrete filter: a null
  // pointer among `chunks` throws ValueError "The input kwargs must include a
  // 'chunks' key of type list[Chunk]."; a missing query (nullopt, the
  // counterpart of a non-text value) or one that is empty after stripping
  // Python's Unicode white space throws ValueError "The input kwargs must
  // include a 'query' key of type str and it should not be empty.". Then
  // returns what _filter returns for the list and the query as given (not
  // stripped), and lets its errors through unchanged. An empty list is not
  // an error: every concrete filter returns an empty list for it without
  // calling a model. The filter must outlive the returned awaitable;
  // cancellation reaches the model or embedding calls in progress and
  // propagates.
  boost::asio::awaitable<std::vector<core::ChunkPtr>> filter(
      std::vector<core::ChunkPtr> chunks, std::optional<std::string> query) const;

 protected:
  BaseRelevanceFilter() = default;

  // Executes provider-specific relevance filtering. Receives the validated
  // list and query. The base body throws NotImplementedError with no
  // message, for a subclass that awaits it.
  virtual boost::asio::awaitable<std::vector<core::ChunkPtr>> _filter(
      std::vector<core::ChunkPtr> chunks, std::string query) const = 0;
};

}  // namespace zelq::generation::relevance_filter
