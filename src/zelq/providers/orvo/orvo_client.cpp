#include "zelq/providers/orvo/orvo_client.hpp"

#include <cctype>
#include <mutex>
#include <utility>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/service.hpp"

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

// The blocking iterator and the lock that keeps its steps apart: a caller
// that was cancelled leaves its step running on the pool, and the next
// step must not enter the iterator while it does.
struct BlockingTaskStream::Iterator {
  std::mutex mutex;
  Step step;
};

BlockingTaskStream::BlockingTaskStream(Step next_blocking) {
  if (!next_blocking) throw core::ValueError("A BlockingTaskStream needs a step function.");
  iterator_ = std::make_shared<Iterator>();
  iterator_->step = std::move(next_blocking);
}

boost::asio::awaitable<std::optional<StreamEvent>> BlockingTaskStream::next() {
  // The pool job holds the iterator by shared pointer, so a step that
  // outlives a cancelled caller still has it.
  auto run_step = core::asyncify([](const std::shared_ptr<Iterator>& iterator) {
    std::lock_guard lock(iterator->mutex);
    return iterator->step();
  });
  co_return co_await run_step(iterator_);
}

DeepResearchClient::DeepResearchClient(const core::Value& client_params)
    : QuotingHolder(net::quoting_of(client_params, {API_KEY_ENV})) {}

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
