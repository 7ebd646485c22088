#include "zelq/inference/retry_activity.hpp"

#include <functional>
#include <utility>

namespace zelq::inference {

namespace {

using BeforeRetry = std::function<boost::asio::awaitable<void>(const core::RetryNotice&)>;

// The callable and the emitter are the policy's, which outlives the
// awaitable; the notice lives until it completes.
boost::asio::awaitable<void> announce(const BeforeRetry& own,
                                      const std::shared_ptr<core::EventEmitter>& emitter,
                                      const core::RetryNotice& notice) {
  if (own) co_await own(notice);
  core::Event event = ActivityEvent::from_activity(RetryActivity(notice));
  co_await emitter->emit(std::move(event));
}

}  // namespace

RetryActivity::RetryActivity(const core::RetryNotice& notice)
    : Activity("retry", core::Value{{"attempt", notice.attempt},
                                    {"max_attempts", notice.max_attempts},
                                    {"reason", notice.reason}}) {}

core::RetryConfig announce_retries(core::RetryConfig policy,
                                   std::shared_ptr<core::EventEmitter> emitter) {
  if (!emitter) return policy;
  policy.before_retry = [own = std::move(policy.before_retry),
                         emitter = std::move(emitter)](const core::RetryNotice& notice) {
    return announce(own, emitter, notice);
  };
  return policy;
}

}  // namespace zelq::inference
