#include "zelq/inference/em_invoker.hpp"

#include "zelq/core/errors.hpp"

namespace zelq::inference {

boost::asio::awaitable<Embedding> BaseEMInvoker::invoke(std::string text) {
  std::vector<EMContent> contents;
  contents.emplace_back(std::move(text));
  std::vector<Embedding> vectors = co_await _invoke(std::move(contents));
  if (vectors.empty()) throw core::RuntimeError("The embedding invoker returned no vector.");
  co_return std::move(vectors.front());
}

boost::asio::awaitable<std::vector<Embedding>> BaseEMInvoker::invoke(
    std::vector<EMContent> contents) {
  co_return co_await _invoke(std::move(contents));
}

}  // namespace zelq::inference
