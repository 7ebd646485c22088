#include "zelq/generation/compressor/compressor.hpp"

#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"

namespace zelq::generation::compressor {

boost::asio::awaitable<std::string> BaseCompressor::compress(std::string context, std::string query,
                                                             CompressOptions options) const {
  if (core::py_is_blank(context)) throw core::ValueError("'context' must be a non-empty string.");
  if (core::py_is_blank(query)) throw core::ValueError("'query' must be a non-empty string.");
  const std::size_t length = context.size();
  auto body = _compress(std::move(context), std::move(query), std::move(options.instruction),
                        std::move(options.options));
  auto run = _run_main(
      [this, length] {
        return core::start_prefix(*this) + "Compressing a context of " + std::to_string(length) +
               " bytes.";
      },
      std::move(body),
      [this](const std::string& output) {
        return core::finished_prefix(*this) + "Compressed the context to " +
               std::to_string(output.size()) + " bytes.";
      });
  co_return co_await std::move(run);
}

boost::asio::awaitable<std::string> BaseCompressor::compress(std::string context,
                                                             std::string query) const {
  auto call = compress(std::move(context), std::move(query), CompressOptions{});
  co_return co_await std::move(call);
}

boost::asio::awaitable<std::string> BaseCompressor::_compress(std::string /*context*/,
                                                              std::string /*query*/,
                                                              std::optional<std::string>,
                                                              core::Value) const {
  throw core::NotImplementedError();
  co_return std::string();
}

}  // namespace zelq::generation::compressor
