#include "zelq/net/detail/spare_memory.hpp"

#include <new>
#include <utility>

namespace zelq::net::detail {

namespace {

// Each block starts with its size (of what follows), in a header that keeps
// the memory after it aligned as operator new aligns.
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
constexpr std::size_t kPage = 4096;

std::size_t& size_of(void* block) noexcept {
  return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - kHeader);
}

void free_block(void* block) noexcept { ::operator delete(static_cast<char*>(block) - kHeader); }

// What this thread keeps: plain pointers, freed by the guard below when the
// thread ends. Once the guard is gone (memory given back during the
// thread's last clean-up), what is given back is freed at once.
thread_local void* kept_block = nullptr;
thread_local std::string* kept_text = nullptr;
thread_local bool kept_gone = false;

struct KeptGuard {
  ~KeptGuard() {
    kept_gone = true;
    if (void* block = std::exchange(kept_block, nullptr)) free_block(block);
    delete std::exchange(kept_text, nullptr);
  }
};

// Made at the first memory kept, so that a thread that never keeps any
// registers nothing.
void guard_this_thread() {
  thread_local KeptGuard guard;
}

}  // namespace

void* take_block(std::size_t bytes) {
  if (bytes >= kSpareBlockMin) {
    bytes = (bytes + kPage - 1) / kPage * kPage;
    if (kept_block != nullptr && size_of(kept_block) >= bytes) {
      return std::exchange(kept_block, nullptr);
    }
  }
  void* block = static_cast<char*>(::operator new(kHeader + bytes)) + kHeader;
  size_of(block) = bytes;
  return block;
}

void give_back_block(void* block) noexcept {
  if (block == nullptr) return;
  const std::size_t bytes = size_of(block);
  if (kept_gone || bytes < kSpareBlockMin || bytes > kSpareBlockMax ||
      (kept_block != nullptr && size_of(kept_block) >= bytes)) {
    free_block(block);
    return;
  }
  guard_this_thread();
  if (void* smaller = std::exchange(kept_block, block)) free_block(smaller);
}

std::string take_text() {
  if (kept_text == nullptr) return {};
  std::string text = std::move(*kept_text);
  delete std::exchange(kept_text, nullptr);
  return text;
}

void give_back_text(std::string&& text) noexcept {
  if (kept_gone || kept_text != nullptr || text.capacity() < kSpareBlockMin ||
      text.capacity() > kSpareBlockMax) {
    return;
  }
  try {
    guard_this_thread();
    kept_text = new std::string(std::move(text));
  } catch (...) {
    // Not kept: the text is freed by its owner.
  }
}

std::size_t kept_bytes() noexcept {
  return (kept_block != nullptr ? size_of(kept_block) : 0) +
         (kept_text != nullptr ? kept_text->capacity() : 0);
}

}  // namespace zelq::net::detail
