#include "zelq/providers/orvo/orvo_client.hpp"

#include <cctype>
#include <mutex>
#include <utility>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"

namespace zelq::providers::orvo {

namespace {

struct FactoryRegistry {
  std::mutex mutex;
  ClientFactory factory;
};

FactoryRegistry& registry() {
  static FactoryRegistry instance;
  return instance;
}

}  // namespace

BlockingTaskStream::BlockingTaskStream(Step next_blocking) {
  if (!next_blocking) throw core::ValueError("A BlockingTaskStream needs a step function.");
  step_ = std::make_shared<Step>(std::move(next_blocking));
}

boost::asio::awaitable<std::optional<StreamEvent>> BlockingTaskStream::next() {
  // The pool job holds the step by shared pointer, so a step that outlives a
  // cancelled caller still has its iterator.
  auto run_step = core::asyncify([](const std::shared_ptr<Step>& step) { return (*step)(); });
  co_return co_await run_step(step_);
}

void register_client_factory(ClientFactory factory) {
  std::lock_guard lock(registry().mutex);
  registry().factory = std::move(factory);
}

ClientFactory registered_client_factory() {
  std::lock_guard lock(registry().mutex);
  return registry().factory;
}

bool is_uuid_key(std::string_view name) {
  constexpr std::string_view kShape = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool hyphen = kShape[i] == '-';
    if (hyphen ? name[i] != '-' : !std::isxdigit(static_cast<unsigned char>(name[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace zelq::providers::orvo
