#include "zelq/inference/testing/fake_em_invoker.hpp"

#include <cmath>
#include <cstdint>

#include "zelq/core/errors.hpp"

namespace zelq::inference::testing {
namespace {

std::uint64_t fnv1a(const unsigned char* data, std::size_t size) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void normalise(Embedding& vector) {
  double norm = 0;
  for (double x : vector) norm += x * x;
  if (norm == 0) return;
  norm = std::sqrt(norm);
  for (double& x : vector) x /= norm;
}

}  // namespace

FakeEMInvoker::FakeEMInvoker(std::size_t dimensions) : dimensions_(dimensions) {
  if (dimensions_ == 0) throw core::ValueError("FakeEMInvoker needs at least one dimension.");
}

void FakeEMInvoker::set_vector(std::string text, Embedding vector) {
  std::lock_guard lock(mutex_);
  vectors_.insert_or_assign(std::move(text), std::move(vector));
}

void FakeEMInvoker::fail_at(std::size_t call_index, std::exception_ptr error) {
  if (!error) {
    error = std::make_exception_ptr(core::RuntimeError("Scripted failure of embedding call " +
                                                       std::to_string(call_index) + "."));
  }
  std::lock_guard lock(mutex_);
  failures_[call_index] = std::move(error);
}

void FakeEMInvoker::set_responder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

Embedding FakeEMInvoker::embed(const EMContent& content) const {
  Embedding vector(dimensions_, 0.0);
  if (const auto* bytes = std::get_if<core::Bytes>(&content)) {
    vector[fnv1a(bytes->data(), bytes->size()) % dimensions_] = 1.0;
    return vector;
  }
  const std::string& text = std::get<std::string>(content);
  {
    std::lock_guard lock(mutex_);
    if (auto it = vectors_.find(text); it != vectors_.end()) return it->second;
  }
  std::string word;
  auto flush = [&] {
    if (word.empty()) return;
    const auto* data = reinterpret_cast<const unsigned char*>(word.data());
    vector[fnv1a(data, word.size()) % dimensions_] += 1.0;
    word.clear();
  };
  for (char c : text) {
    if (is_word_char(c)) {
      word += lower(c);
    } else {
      flush();
    }
  }
  flush();
  normalise(vector);
  return vector;
}

std::vector<std::vector<EMContent>> FakeEMInvoker::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakeEMInvoker::call_count() const {
  std::lock_guard lock(mutex_);
  return calls_.size();
}

boost::asio::awaitable<std::vector<Embedding>> FakeEMInvoker::_invoke(
    std::vector<EMContent> contents) {
  std::exception_ptr failure;
  Responder responder;
  {
    std::lock_guard lock(mutex_);
    if (auto it = failures_.find(calls_.size()); it != failures_.end()) failure = it->second;
    responder = responder_;
    calls_.push_back(contents);
  }
  if (failure) std::rethrow_exception(failure);
  if (responder) co_return responder(contents);
  std::vector<Embedding> vectors;
  vectors.reserve(contents.size());
  for (const auto& content : contents) vectors.push_back(embed(content));
  co_return vectors;
}

}  // namespace zelq::inference::testing
