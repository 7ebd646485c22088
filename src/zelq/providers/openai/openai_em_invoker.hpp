// The embedding invoker of OpenAI and OpenAI-compatible servers.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/value.hpp"
#include "zelq/inference/em_invoker.hpp"
#include "zelq/inference/model_id.hpp"
#include "zelq/providers/openai/openai_client.hpp"

namespace zelq::providers::openai {

// Calls "{base_url}/embeddings" with the model and the input texts, at most
// batch_size texts per request (the requests of one call run concurrently
// within max_concurrency), and returns the vectors in input order, placed by
// each item's "index" rather than by the order of the answer.
class OpenAIEMInvoker : public inference::BaseEMInvoker {
 public:
  // Like OpenAILMInvoker's constructor; `config` takes the OpenAISettings
  // keys, "dimensions" (a positive integer, sent with every request) and
  // "batch_size" (a positive integer, default DEFAULT_BATCH_SIZE). Throws
  // zelq::core::ValueError naming the bad value.
  OpenAIEMInvoker(const inference::ModelIdArg& model_id, const core::Value& credentials = nullptr,
                  const core::Value& config = nullptr);

  static constexpr std::size_t DEFAULT_BATCH_SIZE = 512;

  const std::string& model_name() const noexcept { return model_name_; }
  const OpenAISettings& settings() const noexcept { return client_->settings(); }

 protected:
  // Throws zelq::core::ValueError naming the index of the first bytes content
  // before any request; zelq::core::RuntimeError when an answer does not hold
  // exactly one vector of numbers for each index of its batch; and the
  // errors of OpenAIClient::post_json. No request is made for no contents.
  // Cancellation stops every request of the call and propagates.
  boost::asio::awaitable<std::vector<inference::Embedding>> _invoke(
      std::vector<inference::EMContent> contents) override;

 private:
  std::string model_name_;
  std::optional<long long> dimensions_;
  std::size_t batch_size_ = DEFAULT_BATCH_SIZE;
  std::shared_ptr<const OpenAIClient> client_;
};

}  // namespace zelq::providers::openai
