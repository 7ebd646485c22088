// A first-in, first-out counting semaphore for coroutines.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include <boost/asio/awaitable.hpp>

namespace zelq::core {

// Lets at most `count` holders through at a time; the others wait, without
// polling, and are let through strictly in the order in which they asked.
// A released permit goes straight to the oldest waiter, so a newcomer never
// overtakes a queued one. Held by shared pointer (create()); permits keep it
// alive. Thread-safe: waiters may run on different executors, and a permit
// may be released from any thread.
class AsyncSemaphore : public std::enable_shared_from_this<AsyncSemaphore> {
 public:
  // The right to proceed. Move-only; gives the permit back when released or
  // destroyed. An empty permit (default-built or moved from) holds nothing.
  class Permit {
   public:
    Permit() = default;
    Permit(Permit&& other) noexcept = default;
    Permit& operator=(Permit&& other) noexcept;
    ~Permit() { release(); }

    // Gives the permit back now; no effect when empty.
    void release() noexcept;
    explicit operator bool() const noexcept { return owner_ != nullptr; }

   private:
    friend class AsyncSemaphore;
    explicit Permit(std::shared_ptr<AsyncSemaphore> owner) : owner_(std::move(owner)) {}

    std::shared_ptr<AsyncSemaphore> owner_;
  };

  // A semaphore with `count` permits. Throws zelq::core::ValueError when
  // `count` is 0.
  static std::shared_ptr<AsyncSemaphore> create(std::size_t count);

  // Returns a permit, at once when one is free and nobody waits, otherwise
  // once every earlier waiter has been served and a permit is released.
  // Cancellation (terminal, partial or total) of the waiting coroutine
  // removes it from the queue and throws boost::system::system_error with
  // operation_aborted; a permit granted at the same moment is passed on.
  boost::asio::awaitable<Permit> acquire();

  // The permit acquire() would return at once, without a coroutine: a free
  // one when nobody waits, else nullopt (and nothing queued).
  std::optional<Permit> try_acquire();

  // Permits free now, and coroutines waiting now (for diagnostics).
  std::size_t available() const;
  std::size_t waiting() const;

 private:
  struct Waiter;
  class WaitGuard;

  explicit AsyncSemaphore(std::size_t count) : available_(count) {}
  void release_one() noexcept;
  void hand_over_locked() noexcept;
  void abandon(Waiter& waiter) noexcept;

  mutable std::mutex mutex_;
  std::size_t available_;
  // Waiters live in the frames of the acquiring coroutines; each removes
  // itself (under the mutex) before its frame lets go of it.
  std::deque<Waiter*> waiters_;
};

}  // namespace zelq::core
