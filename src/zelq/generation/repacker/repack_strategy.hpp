// Ordering strategies of the repacker: forward, reverse, and from the sides
// inward. A strategy reorders a list of any element type and never looks at
// the elements; the repacker uses them with chunk pointers.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::generation::repacker {

// Abstract ordering of a list whose first item is the most relevant one.
// Strategies hold no state, take no constructor arguments and are
// synchronous, so one object may serve any number of callers on any threads.
template <class T>
class BaseRepackStrategy {
 public:
  virtual ~BaseRepackStrategy() = default;

  // Returns the items of `chunks` in the strategy's order. Takes the list by
  // value: pass an rvalue to hand it over without a copy. The base version
  // throws NotImplementedError with an empty message.
  virtual std::vector<T> repack(std::vector<T> chunks) const = 0;
};

template <class T>
std::vector<T> BaseRepackStrategy<T>::repack(std::vector<T> /*chunks*/) const {
  throw core::NotImplementedError();
}

// Keeps the input order: returns the argument itself, moved through.
template <class T>
class ForwardRepackStrategy : public BaseRepackStrategy<T> {
 public:
  // Returns `chunks` unchanged. Never throws.
  std::vector<T> repack(std::vector<T> chunks) const override { return chunks; }
};

// Reverses the order: c1..cn becomes cn..c1.
template <class T>
class ReverseRepackStrategy : public BaseRepackStrategy<T> {
 public:
  // Returns the items of `chunks` last first. Throws only std::bad_alloc.
  std::vector<T> repack(std::vector<T> chunks) const override {
    std::vector<T> out;
    out.reserve(chunks.size());
    for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) out.push_back(std::move(*it));
    return out;
  }
};

// Puts the most relevant items at both ends of the list, for models that pay
// less attention to the middle of a long context. Walking the input from its
// last item to its first, even steps go to the front and odd steps to the
// back; equivalently: the items whose distance from the end is even, in input
// order, then the others in reverse input order. With an odd count c1 comes
// first and c2 last; with an even count c2 comes first and c1 last.
template <class T>
class SidesRepackStrategy : public BaseRepackStrategy<T> {
 public:
  // Returns the items of `chunks` in sides order. Throws only std::bad_alloc.
  std::vector<T> repack(std::vector<T> chunks) const override {
    const std::size_t n = chunks.size();
    std::vector<T> out;
    out.reserve(n);
    // Index k lies at distance n-1-k from the end: even distance means k has
    // the parity of n-1.
    for (std::size_t k = (n + 1) % 2; k < n; k += 2) out.push_back(std::move(chunks[k]));
    for (std::size_t k = n; k >= 2;) {
      k -= 2;
      out.push_back(std::move(chunks[k]));
    }
    return out;
  }
};

// The repacker's instantiations live in repack_strategy.cpp.
extern template class BaseRepackStrategy<core::ChunkPtr>;
extern template class ForwardRepackStrategy<core::ChunkPtr>;
extern template class ReverseRepackStrategy<core::ChunkPtr>;
extern template class SidesRepackStrategy<core::ChunkPtr>;

// The strategy type the repacker holds.
using ChunkRepackStrategy = BaseRepackStrategy<core::ChunkPtr>;

}  // namespace zelq::generation::repacker
