// BaseCompressor: the contract of every compressor of prompt components.
#pragma once

#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/component.hpp"
#include "zelq/core/value.hpp"

namespace zelq::generation::compressor {

// The optional arguments of BaseCompressor::compress.
struct CompressOptions {
  // An instruction to be considered during compression; passed on as given.
  std::optional<std::string> instruction = std::nullopt;
  // Settings for this call; which keys are supported depends on the
  // compressor. Null means none; passed on as given, not validated here.
  core::Value options = nullptr;
};

// The base of every compressor: shortens a prompt's context against its
// query (and an instruction, when the compressor takes one). The base owns
// the public entry `compress` and its input check; a concrete compressor
// provides `_compress`.
class BaseCompressor : public core::Component {
 public:
  // Compresses `context` (an already packed context text) against `query`
  // and returns the compressed context exactly as _compress returns it.
  //
  // Throws ValueError "'context' must be a non-empty string." when the
  // context is empty or only whitespace (Python's Unicode whitespace set),
  // checked first; then ValueError "'query' must be a non-empty string." for
  // the query; both before any work. Texts are passed on unstripped. Errors
  // of _compress propagate unchanged. `*this` must outlive the returned
  // awaitable. Keep `options` in a named variable when awaiting (GCC 12).
  // Cancellation reaches only the await of _compress.
  boost::asio::awaitable<std::string> compress(std::string context, std::string query,
                                               CompressOptions options) const;
  // As above, with no instruction and no options.
  boost::asio::awaitable<std::string> compress(std::string context, std::string query) const;

 protected:
  // Does the compression of one kind of compressor, on validated texts. The
  // base's body throws NotImplementedError.
  virtual boost::asio::awaitable<std::string> _compress(std::string context, std::string query,
                                                        std::optional<std::string> instruction,
                                                        core::Value options) const = 0;
};

}  // namespace zelq::generation::compressor
