// Embedding invokers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"

namespace zelq::inference {

using Embedding = std::vector<double>;
// One content to embed: a text or bytes (the content of a Chunk).
using EMContent = core::Chunk::Content;

// Turns contents into embedding vectors. Held by shared pointer; one invoker
// may serve several calls at once.
class BaseEMInvoker {
 public:
  BaseEMInvoker() = default;
  BaseEMInvoker(const BaseEMInvoker&) = delete;
  BaseEMInvoker& operator=(const BaseEMInvoker&) = delete;
  virtual ~BaseEMInvoker() = default;

  // The vector of one text. Throws RuntimeError when the provider returns
  // no vector, and whatever the provider throws.
  boost::asio::awaitable<Embedding> invoke(std::string text);
  // One vector per content, in order, as the provider returns them: the
  // count is not checked here, so a caller that pairs them must check it.
  // The invoker must outlive the returned awaitables; cancellation
  // propagates.
  boost::asio::awaitable<std::vector<Embedding>> invoke(std::vector<EMContent> contents);

 protected:
  virtual boost::asio::awaitable<std::vector<Embedding>> _invoke(
      std::vector<EMContent> contents) = 0;
};

using EMInvokerPtr = std::shared_ptr<BaseEMInvoker>;

}  // namespace zelq::inference
