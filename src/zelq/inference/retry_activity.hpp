// Telling the caller's event handlers that a failed attempt is run again.
#pragma once

#include <memory>

#include "zelq/core/event.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/inference/events.hpp"

namespace zelq::inference {

// "Schema for a retry activity.": type "retry", the number of the attempt
// about to run ("attempt", from 2), the attempts allowed ("max_attempts")
// and why the attempt before failed ("reason", one line). Sent before the
// events of the new attempt, so that a reader can tell them from the failed
// attempt's: an application prints "retrying (attempt 2 of 4): <reason>".
struct RetryActivity : Activity {
  explicit RetryActivity(const core::RetryNotice& notice);
};

// `policy` whose before_retry also sends an activity event of RetryActivity
// to `emitter` (after the policy's own before_retry, when it has one); a
// null emitter leaves the policy as it is. The emitter is kept by the
// policy; what it throws ends the call. Throws nothing.
core::RetryConfig announce_retries(core::RetryConfig policy,
                                   std::shared_ptr<core::EventEmitter> emitter);

}  // namespace zelq::inference
