#include "zelq/core/async_semaphore.hpp"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/errors.hpp"

namespace zelq::core {

namespace asio = boost::asio;

// One queued acquire. It lives in the frame of the acquiring coroutine, so
// its channel, which belongs to the execution context of the waiter's
// executor, is only ever destroyed by that coroutine, on its own side, never
// by a releasing thread that may outlive the context. The channel (capacity
// 1, so a grant sent before the waiter starts to listen is kept) wakes the
// waiter through its own executor. `granted` and `claimed` are guarded by the
// semaphore's mutex.
struct AsyncSemaphore::Waiter {
  explicit Waiter(const asio::any_io_executor& executor) : ready(executor, 1) {}

  asio::experimental::concurrent_channel<void(boost::system::error_code)> ready;
  bool granted = false;
  bool claimed = false;
};

// Leaves the queue (or passes on a permit granted but never claimed) when the
// acquiring coroutine ends without taking its permit: cancellation, or its
// frame destroyed with a stopped io_context. Declared after the waiter, so it
// runs before the waiter is destroyed.
class AsyncSemaphore::WaitGuard {
 public:
  WaitGuard(AsyncSemaphore& owner, Waiter& waiter) : owner_(owner), waiter_(waiter) {}
  WaitGuard(const WaitGuard&) = delete;
  WaitGuard& operator=(const WaitGuard&) = delete;
  ~WaitGuard() { owner_.abandon(waiter_); }

  // True, and the permit is the caller's, when the waiter was granted one.
  bool claim() {
    std::lock_guard lock(owner_.mutex_);
    waiter_.claimed = waiter_.granted;
    return waiter_.claimed;
  }

 private:
  AsyncSemaphore& owner_;
  Waiter& waiter_;
};

AsyncSemaphore::Permit& AsyncSemaphore::Permit::operator=(Permit&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::move(other.owner_);
  }
  return *this;
}

void AsyncSemaphore::Permit::release() noexcept {
  if (auto owner = std::move(owner_)) owner->release_one();
}

std::shared_ptr<AsyncSemaphore> AsyncSemaphore::create(std::size_t count) {
  if (count == 0) throw core::ValueError("An AsyncSemaphore needs at least one permit, got 0.");
  return std::shared_ptr<AsyncSemaphore>(new AsyncSemaphore(count));
}

std::optional<AsyncSemaphore::Permit> AsyncSemaphore::try_acquire() {
  std::lock_guard lock(mutex_);
  if (available_ == 0 || !waiters_.empty()) return std::nullopt;
  --available_;
  return Permit(shared_from_this());
}

asio::awaitable<AsyncSemaphore::Permit> AsyncSemaphore::acquire() {
  // A free permit needs no waiter, whose channel costs two allocations.
  if (std::optional<Permit> free = try_acquire()) co_return std::move(*free);
  auto self = shared_from_this();
  Waiter waiter(co_await asio::this_coro::executor);
  {
    std::lock_guard lock(mutex_);
    if (available_ > 0 && waiters_.empty()) {
      --available_;
      co_return Permit(std::move(self));
    }
    waiters_.push_back(&waiter);
  }
  WaitGuard guard(*this, waiter);
  // The outcome is read from the grant, not from the error code: a grant and
  // a cancellation may meet.
  (void)co_await waiter.ready.async_receive(asio::as_tuple(asio::use_awaitable));
  if (guard.claim()) co_return Permit(std::move(self));
  throw boost::system::system_error(asio::error::operation_aborted);
}

void AsyncSemaphore::release_one() noexcept {
  std::lock_guard lock(mutex_);
  hand_over_locked();
}

// Gives a free permit to the oldest waiter, or back to the count. The grant is
// sent under the mutex, while the waiter is certainly still waiting in its
// frame (it cannot claim or leave without the mutex), so its channel and the
// context behind it are alive. The send only posts the waiter's resumption to
// its own executor; nothing of the waiter runs or is destroyed here.
void AsyncSemaphore::hand_over_locked() noexcept {
  if (waiters_.empty()) {
    ++available_;
    return;
  }
  Waiter* next = waiters_.front();
  waiters_.pop_front();
  next->granted = true;
  next->ready.try_send(boost::system::error_code{});
}

void AsyncSemaphore::abandon(Waiter& waiter) noexcept {
  std::lock_guard lock(mutex_);
  if (waiter.claimed) return;
  if (!waiter.granted) {
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), &waiter), waiters_.end());
    return;
  }
  waiter.claimed = true;
  hand_over_locked();
}

std::size_t AsyncSemaphore::available() const {
  std::lock_guard lock(mutex_);
  return available_;
}

std::size_t AsyncSemaphore::waiting() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
}

}  // namespace zelq::core
