// A deterministic embedding invoker for tests and examples.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zelq/inference/em_invoker.hpp"

namespace zelq::inference::testing {

// Embeds each content as a hashed bag of words: a text's lower-cased ASCII
// letter-and-digit words each add 1 to the dimension their FNV-1a hash picks,
// and the vector is scaled to unit length, so texts sharing words are
// similar and equal texts are equal. A text without words is the zero
// vector. Bytes are hashed whole into one dimension. A vector scripted with
// set_vector() replaces the hashed one for that exact text.
//
// Calls are recorded; fail_at() makes a call fail and set_responder() takes
// over whole calls (for example to return fewer vectors than contents).
// Thread-safe.
class FakeEMInvoker : public BaseEMInvoker {
 public:
  using Responder = std::function<std::vector<Embedding>(const std::vector<EMContent>&)>;

  explicit FakeEMInvoker(std::size_t dimensions = 64);

  void set_vector(std::string text, Embedding vector);
  // Call `call_index` (from 0) fails with `error` (RuntimeError "Scripted
  // failure of embedding call <n>." when null).
  void fail_at(std::size_t call_index, std::exception_ptr error = nullptr);
  void set_responder(Responder responder);

  // The vector this invoker gives `content`.
  Embedding embed(const EMContent& content) const;

  // The contents of every call, in call order.
  std::vector<std::vector<EMContent>> calls() const;
  std::size_t call_count() const;

 protected:
  boost::asio::awaitable<std::vector<Embedding>> _invoke(std::vector<EMContent> contents) override;

 private:
  std::size_t dimensions_;
  mutable std::mutex mutex_;
  std::map<std::string, Embedding> vectors_;
  std::map<std::size_t, std::exception_ptr> failures_;
  Responder responder_;
  std::vector<std::vector<EMContent>> calls_;
};

}  // namespace zelq::inference::testing
