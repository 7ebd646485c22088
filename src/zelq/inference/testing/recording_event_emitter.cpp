#include "zelq/inference/testing/recording_event_emitter.hpp"

#include "zelq/core/errors.hpp"

namespace zelq::inference::testing {

boost::asio::awaitable<void> RecordingEventEmitter::emit(core::Event event) {
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    if (auto it = failures_.find(emits_++); it != failures_.end()) {
      failure = it->second;
    } else {
      events_.push_back(event);
    }
  }
  if (failure) std::rethrow_exception(failure);
  co_await core::EventEmitter::emit(std::move(event));
}

void RecordingEventEmitter::fail_at(std::size_t emit_index, std::exception_ptr error) {
  if (!error) {
    error = std::make_exception_ptr(
        core::RuntimeError("Scripted failure of emit " + std::to_string(emit_index) + "."));
  }
  std::lock_guard lock(mutex_);
  failures_[emit_index] = std::move(error);
}

std::vector<core::Event> RecordingEventEmitter::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> RecordingEventEmitter::types() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> types;
  for (const auto& event : events_) types.push_back(event.type);
  return types;
}

void RecordingEventEmitter::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace zelq::inference::testing
