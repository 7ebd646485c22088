// An event emitter that records what it is given, for tests.
#pragma once

#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zelq/core/event.hpp"

namespace zelq::inference::testing {

// Records every event in emission order, then hands it to the registered
// handlers as the base emitter does. fail_at(n) makes the n-th emit (from 0)
// fail instead, after recording nothing. Thread-safe recording.
class RecordingEventEmitter : public core::EventEmitter {
 public:
  using core::EventEmitter::emit;
  using core::EventEmitter::EventEmitter;

  boost::asio::awaitable<void> emit(core::Event event) override;

  // Emit `emit_index` fails with `error` (RuntimeError "Scripted failure of
  // emit <n>." when null).
  void fail_at(std::size_t emit_index, std::exception_ptr error = nullptr);

  std::vector<core::Event> events() const;
  // The type of every recorded event, in order.
  std::vector<std::string> types() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::size_t emits_ = 0;
  std::map<std::size_t, std::exception_ptr> failures_;
  std::vector<core::Event> events_;
};

}  // namespace zelq::inference::testing
