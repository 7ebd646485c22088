// Internal to zelq_net: the large buffers of a streamed read, kept for the
// next read on the same thread. A stream that reads a burst of bytes takes a
// buffer, uses it up and gives it back before it waits again, so that a
// waiting stream holds none. Freed and taken again at every read, such a
// buffer would cost the allocator's trimming of the heap and the kernel's
// zero-filled pages each time. What a thread keeps between reads is bounded
// whatever the server sent last: one block and one text of at most
// kSpareBlockMax bytes each (128 KiB together, and the allocator's headers);
// a larger one is freed when it is given back. None is kept past the
// thread's end.
#pragma once

#include <cstddef>
#include <string>

namespace zelq::net::detail {

// Memory for a read buffer of `bytes` (never null; throws std::bad_alloc):
// the block kept on this thread when it is large enough, else a new one. A
// block of kSpareBlockMin bytes or more is rounded up to whole pages, so
// that buffers of nearly the same size share it.
void* take_block(std::size_t bytes);
// Gives back a block of take_block(). It is kept when it is large enough,
// at most kSpareBlockMax bytes, and larger than the one kept, which is
// then freed; otherwise it is freed. Any thread may give back a block.
void give_back_block(void* block) noexcept;

inline constexpr std::size_t kSpareBlockMin = std::size_t{4} << 10;
inline constexpr std::size_t kSpareBlockMax = std::size_t{64} << 10;

// A Beast (standard) allocator over take_block() and give_back_block().
template <class T>
struct SpareBlockAllocator {
  using value_type = T;

  SpareBlockAllocator() noexcept = default;
  template <class U>
  SpareBlockAllocator(const SpareBlockAllocator<U>&) noexcept {
  }  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) { return static_cast<T*>(take_block(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) noexcept { give_back_block(p); }

  template <class U>
  bool operator==(const SpareBlockAllocator<U>&) const noexcept {
    return true;
  }
};

// A text to read body bytes into: the one kept on this thread (its bytes
// stale, its size left as it was, so that resizing it within that size
// writes nothing), else an empty one.
std::string take_text();
// Gives back a text of read bytes that is used up. It is kept when none is
// and its capacity is at least kSpareBlockMin and at most kSpareBlockMax;
// otherwise it is freed.
void give_back_text(std::string&& text) noexcept;

// The bytes this thread keeps now: its block and its text's capacity.
std::size_t kept_bytes() noexcept;

}  // namespace zelq::net::detail
